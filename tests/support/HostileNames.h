#pragma once
// One table of names a hostile server or package could send, run through every
// place where a name from outside becomes a path. The installation is the
// current directory; the canary directory beside it must survive every name.

#include "support/TextConvert.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace hostile {

// Where a name is refused: on every build, or only where the narrow text is
// UTF-8 (POSIX) or code page 936 (the Windows tests under wine). A name refused
// by one conversion only is one the other reads as a harmless name inside.
enum class Refused { Everywhere, WhereUtf8, WhereGbk };

struct Name {
    const char* label;
    std::string bytes;
    Refused refused;
};

inline const std::vector<Name>& names()
{
    using R = Refused;
    static const std::vector<Name> table = {
        {"dot_dot", "../canary/keep.txt", R::Everywhere},
        {"climbs_after_descending", "a/../../canary/keep.txt", R::Everywhere},
        {"mixed_separators", "a\\..\\../canary\\keep.txt", R::Everywhere},
        {"absolute", "/canary/keep.txt", R::Everywhere},
        {"unc", "\\\\host\\share\\keep.txt", R::Everywhere},
        {"device_path", "\\\\.\\canary\\keep.txt", R::Everywhere},
        {"base_itself", "a/..", R::Everywhere},
        {"drive_relative", "C:../canary/keep.txt", R::Everywhere},
        {"stream", "keep.txt:hidden", R::Everywhere},
        {"default_stream", "keep.txt::$DATA", R::Everywhere},
        {"trailing_dot", "keep.txt.", R::Everywhere},
        {"trailing_blank_directory", "sub /keep.txt", R::Everywhere},
        {"three_dots", ".../canary/keep.txt", R::Everywhere},
        {"dot_dot_blank", ".. /canary/keep.txt", R::Everywhere},
        {"device", "CON", R::Everywhere},
        {"device_with_extension", "sub/nul.txt", R::Everywhere},
        {"device_two_extensions", "Com1.tar.gz", R::Everywhere},
        {"device_blank_extension", "aux .log", R::Everywhere},
        {"zero_byte", std::string("keep.txt\0.dll", 13), R::Everywhere},
        // A GBK lead byte takes the 0x5C after it as its trail byte: bytewise one
        // level deep, after conversion one (then two) levels above.
        {"gbk_trail_backslash", "\x81\\x\\..\\..\\canary\\keep.txt", R::Everywhere},
        {"gbk_trail_backslash_twice", "\x81\\\x81\\x\\..\\..\\..\\canary\\keep.txt", R::Everywhere},
        // Valid UTF-8 ("中" then a backslash) whose last byte and the backslash are one GBK character.
        {"utf8_ending_in_gbk_lead", "\xE4\xB8\xAD\\x\\..\\..\\canary\\keep.txt", R::WhereGbk},
        // Overlong UTF-8: "..", "/" and a zero in disguise; in GBK they are plain characters.
        {"overlong_dot_dot", "\xC0\xAE\xC0\xAE/canary", R::WhereUtf8},
        {"overlong_dot_dot_twice", "\xC0\xAE\xC0\xAE/\xC0\xAE\xC0\xAE/canary/keep.txt", R::WhereUtf8},
        {"overlong_slash",
         "..\xC0\xAF"
         "canary\xC0\xAFkeep.txt",
         R::WhereUtf8},
        {"overlong_zero", "keep.txt\xC0\x80.dll", R::WhereUtf8},
        {"three_byte_overlong_dot", "\xE0\x80\xAE\xE0\x80\xAE/canary", R::WhereUtf8},
        {"surrogate", "\xED\xA0\x80.txt", R::WhereUtf8},
        {"stray_continuation", "\x80keep.txt", R::WhereUtf8},
        {"not_utf8", "\xFF.txt", R::WhereUtf8},
        {"cut_off_sequence", "keep\xE4\xB8", R::WhereUtf8},
    };
    return table;
}

inline void PrintTo(const Name& name, std::ostream* os)
{
    *os << name.label;
}

inline bool narrowIsGbk()
{
    return narrowToWide("\xD6\xD0") == L"\u4E2D";
}

// Whether this build must refuse the name; otherwise it may take it, inside.
inline bool refusedHere(const Name& name)
{
    if (name.refused == Refused::Everywhere)
        return true;
    return narrowIsGbk() == (name.refused == Refused::WhereGbk);
}

inline std::string label(const testing::TestParamInfo<Name>& info)
{
    return info.param.label;
}

// The name for the inside of a quoted INFO string: backslashes, quotes and zeros escaped.
inline std::string infoEscaped(const std::string& bytes)
{
    std::string text;
    for (char c : bytes) {
        if (c == '\\' || c == '"')
            text += '\\';
        text += c == '\0' ? std::string("\\0") : std::string(1, c);
    }
    return text;
}

inline std::string infoQuoted(const std::string& bytes)
{
    return "\"" + infoEscaped(bytes) + "\"";
}

// A directory "canary" beside the installation (an absolute path), holding
// keep.txt. damage() says what changed below `top` (the installation's parent
// unless given) outside the installation since the canary was made, so that a
// name climbing two levels shows too when `top` is higher.
class Canary {
public:
    explicit Canary(const boost::filesystem::path& installation)
        : Canary(installation, installation.parent_path())
    {
    }
    Canary(const boost::filesystem::path& installation, const boost::filesystem::path& top)
        : installation_(installation),
          top_(top),
          canary_((installation.parent_path() / "canary").lexically_relative(top).generic_string())
    {
        const boost::filesystem::path dir = installation.parent_path() / "canary";
        boost::filesystem::create_directories(dir);
        std::ofstream((dir / "keep.txt").string(), std::ios::binary) << "canary";
        before_ = listing();
    }

    std::string damage() const
    {
        const std::string now = listing();
        return now == before_ ? std::string() : "before:\n" + before_ + "after:\n" + now;
    }

private:
    // Every entry below `top` but outside the installation, and what the canary's
    // files hold (other files, such as a server's log, may grow).
    std::string listing() const
    {
        namespace fs = boost::filesystem;
        std::set<std::string> entries;
        boost::system::error_code error;
        for (fs::recursive_directory_iterator it(top_, error), end; it != end; it.increment(error)) {
            if (it->path() == installation_) {
                it.disable_recursion_pending();
                continue;
            }
            std::string entry = it->path().lexically_relative(top_).generic_string();
            if (entry.compare(0, canary_.size(), canary_) == 0 && fs::is_regular_file(it->path())) {
                std::ifstream in(it->path().string(), std::ios::binary);
                entry += " = " + std::string(std::istreambuf_iterator<char>(in), {});
            }
            entries.insert(entry);
        }
        std::string text;
        for (const std::string& entry : entries)
            text += entry + "\n";
        return text;
    }

    boost::filesystem::path installation_;
    boost::filesystem::path top_;
    std::string canary_;  // relative to top
    std::string before_;
};

}  // namespace hostile
