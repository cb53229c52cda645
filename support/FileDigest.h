#pragma once
// SHA-1 digest text of a file, and the unpacking of ".quiv" packages.

#include "support/FileManager.h"

#include <string>

// 40 lower-case hexadecimal characters; a file that cannot be read gives the
// digest of the bytes read (empty input when it cannot be opened).
std::string computeFileSha1(const std::wstring& path);

extern const char packageMarker[14];  // "abc_morvelant"

// Unpacks a zlib-compressed package into `destinationDirectory`. Entries whose
// names would leave the directory, or whose lengths run past the stream, fail it;
// a directory that createDirectories refuses makes the result refused.
FileResult extractPackage(const std::wstring& destinationDirectory, const std::wstring& packagePath);
