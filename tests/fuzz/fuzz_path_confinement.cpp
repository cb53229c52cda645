// Path confinement on any name, decided on the text that is opened. Two properties:
//  - this build: a name confinedPath takes reaches open() as the same bytes
//    (the exact conversion carries them unchanged), with no zero, and resolved
//    against a base directory it names something strictly below that base;
//  - code page 936: the same bytes read the way the Windows build reads them (a
//    portable model of GBK lead and trail bytes, where a trail byte may be 0x5C)
//    and decided by the same rule on wide text stay strictly below the base too.

#include "support/PathSafety.h"
#include "support/SystemPath.h"
#include "support/TextConvert.h"

#include <boost/filesystem/path.hpp>
#include <boost/optional.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

// Lexically, with both separators, as the file calls of either system read them.
bool staysBelowBase(const std::string& utf8Relative)
{
    std::string generic = utf8Relative;
    std::replace(generic.begin(), generic.end(), '\\', '/');
    const std::string resolved =
        boost::filesystem::path("/base/" + generic).lexically_normal().generic_string();
    return resolved.compare(0, 6, "/base/") == 0 && resolved.size() > 6 && resolved != "/base/.";
}

// Code page 936 as MultiByteToWideChar with MB_ERR_INVALID_CHARS reads it: a lead
// byte 0x81-0xFE takes the next byte 0x40-0x7E or 0x80-0xFE as its trail, 0x80
// alone is the euro sign, and anything else above 0x7F is refused. Each
// two-byte character becomes one private-use character, never a separator.
boost::optional<std::wstring> gbkModel(const std::string& bytes)
{
    std::wstring wide;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const unsigned char b = static_cast<unsigned char>(bytes[i]);
        if (b < 0x80) {
            wide += static_cast<wchar_t>(b);
        } else if (b == 0x80) {
            wide += L'\u20AC';
        } else if (b == 0xFF || i + 1 == bytes.size()) {
            return boost::none;
        } else {
            const unsigned char t = static_cast<unsigned char>(bytes[++i]);
            if (t < 0x40 || t == 0x7F || t == 0xFF)
                return boost::none;
            wide += static_cast<wchar_t>(0xF0000 + (b << 8) + t);
        }
    }
    return wide;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    initPathConversion();
    const std::string name(reinterpret_cast<const char*>(data), size);

    if (const boost::optional<std::wstring> wide = confinedPath(name)) {
        const std::string opened = systemPath(joinPath(L"/base", *wide));
        std::string expected = "/base/" + name;
        std::replace(expected.begin(), expected.end(), '\\', '/');
        if (opened != expected || opened.find('\0') != std::string::npos || !staysBelowBase(name))
            std::abort();
    }

    const boost::optional<std::wstring> gbk = gbkModel(name);
    if (gbk && isConfinedRelativePath(*gbk) && !staysBelowBase(wideToNarrow(*gbk)))
        std::abort();
    return 0;
}
