#include "support/TextConvert.h"

#include "support/TextConvertPlatform.h"

#include <exception>

std::wstring narrowToWide(const std::string& text)
{
    // Not through Boost.Filesystem: its UTF-8 facet accepts overlong forms.
    if (boost::optional<std::wstring> exact = narrowToWideExact(text))
        return *exact;
    // Bytes that are not valid in the narrow encoding: keep what can be kept.
    return textconvert::widenBestEffort(text);
}

std::string wideToNarrow(const std::wstring& text)
{
    initPathConversion();
    try {
        return boost::filesystem::path(text).string();
    } catch (const std::exception&) {
        return textconvert::narrowBestEffort(text);
    }
}

namespace {

bool isSeparator(wchar_t c)
{
    return c == L'/' || c == L'\\';
}

}  // namespace

std::wstring joinPath(const std::wstring& left, const std::wstring& right)
{
    if (right.empty())
        return left;
    std::wstring result = left;
    if (!left.empty() && !isSeparator(left.back()) && left.back() != L':' && !isSeparator(right.front()))
        result += static_cast<wchar_t>(boost::filesystem::path::preferred_separator);
    result += right;
    return result;
}
