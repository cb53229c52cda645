#include "support/PathSafety.h"

#include <cctype>
#include <cstddef>

namespace {

bool isSeparator(char c)
{
    return c == '/' || c == '\\';
}

// Windows strips trailing dots and blanks from a name, so "...", ". ." and ".. "
// would not mean what they look like; none of them is a real name.
bool isDotsAndBlanksOnly(const std::string& component)
{
    for (char c : component)
        if (c != '.' && c != ' ')
            return false;
    return true;
}

// CON, NUL, COM1 ... name devices in every directory on Windows, with any extension.
bool isDeviceName(const std::string& component)
{
    std::string base = component.substr(0, component.find('.'));
    while (!base.empty() && base.back() == ' ')
        base.pop_back();
    std::string upper;
    for (char c : base)
        upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (upper == "CON" || upper == "PRN" || upper == "AUX" || upper == "NUL" || upper == "CONIN$" ||
        upper == "CONOUT$")
        return true;
    if (upper.size() == 4 && (upper.compare(0, 3, "COM") == 0 || upper.compare(0, 3, "LPT") == 0))
        return upper[3] >= '1' && upper[3] <= '9';
    return false;
}

}  // namespace

bool isConfinedRelativePath(const std::string& name)
{
    if (name.empty() || isSeparator(name[0]))
        return false;  // empty, rooted, UNC ("\\server") or device ("\\.\", "\\?\")
    if (name.size() >= 2 && name[1] == ':')
        return false;  // "C:", "C:x", "C:\x"
    if (name.find('\0') != std::string::npos)
        return false;  // the system would cut the name short there

    int depth = 0;  // levels below the base after each component
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t end = start;
        while (end < name.size() && !isSeparator(name[end]))
            ++end;
        std::string component = name.substr(start, end - start);
        if (component.empty() || component == ".") {
            // "a//b" and "a/./b" stay where they are
        } else if (component == "..") {
            if (--depth < 0)
                return false;
        } else if (isDotsAndBlanksOnly(component) || isDeviceName(component)) {
            return false;
        } else {
            ++depth;
        }
        start = end + 1;
    }
    return depth > 0;
}
