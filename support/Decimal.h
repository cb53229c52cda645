#pragma once
// Strict decimal numbers, as servers and configuration files write them.

#include <charconv>
#include <cstdint>
#include <string>
#include <system_error>

// True when `text` is a plain unsigned decimal number that fits: digits only, not
// empty, no sign or blank. `value` is set only then.
inline bool parseDecimal(const std::string& text, std::uint64_t& value)
{
    const char* end = text.data() + text.size();
    std::uint64_t result = 0;
    const std::from_chars_result parsed = std::from_chars(text.data(), end, result);
    if (text.empty() || parsed.ec != std::errc() || parsed.ptr != end)
        return false;
    value = result;
    return true;
}
