#pragma once
// The delta files of a release: for every file of the download directory that
// differs from the file at the same path in an older release's download
// directory, a zstd patch from the old file (content-named, under delta/), and
// the delta index that lists them (delta/index-<16 hex>.cfg; support/DeltaIndex.h).
//
// A patch larger than half its file is left out: the whole file costs little
// more on the wire and nothing to apply. So is a patch from an old file beyond
// zstd's reference (kMaxPatchReference). Files under delta/ are never patched
// or patched from. A second run on the same directory replaces the index and
// leaves no patch or block index behind that the new index does not list.
// Failures are publish::Error with the file concerned; the index is written
// last, so a failed run leaves the previous index in force.

#include "tools/launcher-publish/Publish.h"

#include <boost/filesystem/path.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace publish {

// What a player on one older release downloads for the new one.
struct DeltaSavings {
    boost::filesystem::path oldDirectory;
    std::uint64_t withPatches = 0;
    std::uint64_t withoutPatches = 0;
};

struct DeltaReport {
    std::string indexPath;  // relative to the download directory
    std::size_t patches = 0;
    std::size_t blockIndexes = 0;
    std::vector<DeltaSavings> releases;  // in the order given
};

// The zstd level of a patch: the highest of the ordinary levels, which with
// long-distance matching over a window that covers the old file and the new
// one finds what a patch can use; the "ultra" levels above it cost far more
// memory and time for a few per cent.
const int kPatchLevel = 19;

// Writes `patchPath`: the new file as one zstd frame with the old file as its
// raw prefix, content size and checksum included.
void writePatch(const boost::filesystem::path& oldPath, const boost::filesystem::path& newPath,
                const boost::filesystem::path& patchPath);

DeltaReport writeDelta(const boost::filesystem::path& newDirectory,
                       const std::vector<boost::filesystem::path>& oldDirectories);

}  // namespace publish
