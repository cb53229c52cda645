#pragma once
// Narrow text is the system's ANSI code page on Windows and UTF-8 on POSIX; it
// becomes a wide path, and back, through Boost.Filesystem's path conversion.

#include <boost/filesystem/path.hpp>

#include <string>

std::wstring narrowToWide(const std::string& text);
std::string wideToNarrow(const std::wstring& text);

// Joins like path's append operator: a separator is inserted unless the left part
// is empty or ends in a separator or drive colon, or the right part begins with one.
std::wstring joinPath(const std::wstring& left, const std::wstring& right);

// UTF-8 conversions used only for the command line; both stop at the first zero.
void WideToUtf8(const wchar_t* text, std::string& out);
void Utf8ToWide(const std::string& text, std::wstring& out);

// Makes Boost.Filesystem convert narrow text the way this program expects
// (UTF-8 on POSIX). Called once at start; the conversions above call it too.
void initPathConversion();
