#pragma once
// Conversions behind TextConvert that differ per system. They never fail: text
// that cannot be converted exactly comes out with replacement characters.

#include <cstddef>
#include <string>

namespace textconvert {

// Narrow text of this system (ANSI code page on Windows, UTF-8 on POSIX) to wide.
std::wstring widenBestEffort(const std::string& text);
std::string narrowBestEffort(const std::wstring& text);

}  // namespace textconvert
