#pragma once
// What the log needs of the system.

#include <cstdio>
#include <ctime>
#include <string>

namespace logplatform {

// Thread-safe local-time conversion; false when the time is out of range.
bool toLocalTime(std::time_t time, std::tm& out);

// Opens the log file for writing in text mode, truncated, readable and writable
// by others but not deletable while the process runs. Null on failure.
std::FILE* openLogFile(const std::wstring& path);

}  // namespace logplatform
