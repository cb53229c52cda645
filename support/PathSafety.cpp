#include "support/PathSafety.h"

#include "support/TextConvert.h"

#include <cstddef>
#include <cstdint>

namespace {

template <typename Char>
bool isSeparator(Char c)
{
    return c == Char('/') || c == Char('\\');
}

template <typename Char>
std::uint32_t codeOf(Char c)
{
    return static_cast<std::uint32_t>(static_cast<typename std::make_unsigned<Char>::type>(c));
}

// Windows counts the superscript digits as digits in COM and LPT names, but only
// in wide text; as bytes they would be parts of other characters.
template <typename Char>
bool isDeviceDigit(Char c)
{
    const std::uint32_t code = codeOf(c);
    if (code >= '1' && code <= '9')
        return true;
    return sizeof(Char) > 1 && (code == 0xB9 || code == 0xB2 || code == 0xB3);
}

// CON, NUL, COM1 ... name devices in every directory on Windows, with any
// extension and with blanks before it.
template <typename Char>
bool isDeviceName(const std::basic_string<Char>& component)
{
    std::size_t end = component.find(Char('.'));
    if (end == std::basic_string<Char>::npos)
        end = component.size();
    while (end > 0 && component[end - 1] == Char(' '))
        --end;
    std::string upper;
    for (std::size_t i = 0; i < end; ++i) {
        const std::uint32_t code = codeOf(component[i]);
        if (i == 3 && end == 4 && isDeviceDigit(component[i]))
            upper += '1';
        else if (code >= 'a' && code <= 'z')
            upper += static_cast<char>(code - 'a' + 'A');
        else if (code < 0x80)
            upper += static_cast<char>(code);
        else
            return false;
    }
    return upper == "CON" || upper == "PRN" || upper == "AUX" || upper == "NUL" || upper == "CONIN$" ||
           upper == "CONOUT$" || upper == "COM1" || upper == "LPT1";
}

template <typename Char>
bool isConfined(const std::basic_string<Char>& name)
{
    if (name.empty() || isSeparator(name[0]))
        return false;  // empty, rooted, UNC ("\\server") or device ("\\.\", "\\?\")
    for (Char c : name)
        if (c == Char(':') || c == Char(0))
            return false;  // a drive, a stream, or a name cut short

    int depth = 0;  // levels below the base after each component
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t end = start;
        while (end < name.size() && !isSeparator(name[end]))
            ++end;
        const std::basic_string<Char> component = name.substr(start, end - start);
        if (component.empty() || component == std::basic_string<Char>(1, Char('.'))) {
            // "a//b" and "a/./b" stay where they are
        } else if (component == std::basic_string<Char>(2, Char('.'))) {
            if (--depth < 0)
                return false;
        } else if (component.back() == Char('.') || component.back() == Char(' ')) {
            return false;  // Windows drops trailing dots and blanks: "..." would be ".."
        } else if (isDeviceName(component)) {
            return false;
        } else {
            ++depth;
        }
        start = end + 1;
    }
    return depth > 0;
}

}  // namespace

bool isConfinedRelativePath(const std::string& name)
{
    return isConfined(name);
}

bool isConfinedRelativePath(const std::wstring& name)
{
    return isConfined(name);
}

boost::optional<std::wstring> confinedPath(const std::string& name)
{
    boost::optional<std::wstring> wide = narrowToWideExact(name);
    if (!wide || !isConfined(*wide))
        return boost::none;
    return wide;
}
