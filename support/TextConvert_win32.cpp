#include "support/TextConvert.h"

#include "support/TextConvertPlatform.h"

#include <windows.h>

#include <climits>
#include <vector>

// Boost.Filesystem converts through the ANSI code page on Windows by default,
// which is the narrow encoding of this program; nothing needs to be set up.
void initPathConversion() {}

namespace textconvert {

std::wstring widenBestEffort(const std::string& text)
{
    if (text.empty())
        return std::wstring();
    int size = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (size <= 0)
        return std::wstring();
    std::wstring out(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &out[0], size);
    return out;
}

std::string narrowBestEffort(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    int size = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                   nullptr);
    if (size <= 0)
        return std::string();
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &out[0], size, nullptr,
                        nullptr);
    return out;
}

}  // namespace textconvert

boost::optional<std::wstring> narrowToWideExact(const std::string& text)
{
    if (text.empty())
        return std::wstring();
    if (text.size() > static_cast<std::size_t>(INT_MAX / 2))
        return boost::none;
    const int length = static_cast<int>(text.size());
    // Without MB_ERR_INVALID_CHARS a byte with no character becomes a default one.
    int size = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
    if (size <= 0)
        return boost::none;
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), length, &wide[0], size) != size)
        return boost::none;
    // Back again: a code page that maps two byte forms to one character would
    // make the name the system keeps differ from the one that was decided on.
    int back = WideCharToMultiByte(CP_ACP, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
    if (back != length)
        return boost::none;
    std::string bytes(static_cast<std::size_t>(back), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.data(), size, &bytes[0], back, nullptr, nullptr);
    if (bytes != text)
        return boost::none;
    return wide;
}

void WideToUtf8(const wchar_t* text, std::string& out)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::vector<char> buffer(static_cast<std::size_t>(size > 0 ? size : 0) + 1, '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer.data(), size, nullptr, nullptr);
    out.assign(buffer.data());
}

void Utf8ToWide(const std::string& text, std::wstring& out)
{
    int size = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    std::vector<wchar_t> buffer(static_cast<std::size_t>(size > 0 ? size : 0) + 1, L'\0');
    if (size > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, buffer.data(), size);
    out.assign(buffer.data());
}
