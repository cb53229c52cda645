#pragma once
// Unpacking of ".quiv" packages: a zlib stream holding a marker, then for each
// entry its name and its data, each after a little-endian 32-bit length.

#include "support/FileManager.h"

#include <functional>
#include <string>

extern const char packageMarker[14];  // "abc_morvelant"

// The entry an extraction could not write, and the system's reason when it gave one.
struct ExtractionFailure {
    std::wstring entry;
    std::string reason;
};

// Unpacks a zlib-compressed package into `destinationDirectory`. Entries whose
// names would leave the directory, or whose lengths run past the stream, fail it;
// a directory that createDirectories refuses makes the result refused. An entry
// that cannot be written fails it too, is removed rather than left cut short, and
// is named in `failure` when given. Entries whose relative name `leaveOut`
// accepts are read past and not written (files that another source owns).
typedef std::function<bool(const std::wstring& relativeName)> PackageEntryFilter;
FileResult extractPackage(const std::wstring& destinationDirectory, const std::wstring& packagePath,
                          ExtractionFailure* failure = nullptr, const PackageEntryFilter& leaveOut = nullptr);
