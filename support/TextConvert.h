#pragma once
// Narrow text is the system's ANSI code page on Windows and UTF-8 on POSIX. It
// becomes wide through our own decoders (exact, or best effort), and narrow
// again through Boost.Filesystem's path conversion.

#include <boost/filesystem/path.hpp>
#include <boost/optional.hpp>

#include <string>

// Text that converts exactly: nothing when this system's conversion would not
// carry it unchanged. On POSIX strict UTF-8 (overlong forms, surrogates and bytes
// that are not UTF-8 are refused); on Windows the ANSI code page, refused when
// it has no character for the bytes or would not give the same bytes back.
boost::optional<std::wstring> narrowToWideExact(const std::string& text);

// Never fails: text that does not convert exactly comes out with replacement
// characters. Never use it for a name from outside that becomes a path
// (support/PathSafety.h decides those).
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
