#pragma once
// Block indexes of a release's download directory: for each file large enough,
// delta/<SHA-256 hex of the index>.blocks, the node the delta index lists.
//
// Content-named, so a second run writes the same name for the same file and a
// starter never mixes an index with another file's. An unreadable file or a
// failed write is a publish::Error naming the file; nothing is left half written.

#include "tools/launcher-publish/Publish.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace publish {

struct BlockIndexNode {
    std::string path;  // below the download directory, "delta/<64 hex>.blocks"
    std::uint64_t size = 0;
    std::string sha256;  // 64 lower-case hexadecimal digits
};

// Writes the block index of `file` into `wwwDirectory`/delta. False (nothing
// written) for a file that gets none: under 1 MiB or over 2 GiB.
bool writeBlockIndex(const boost::filesystem::path& wwwDirectory, const boost::filesystem::path& file,
                     BlockIndexNode& node);

// writeBlockIndex for every file of `wwwDirectory` outside delta/, by relative
// name in byte-wise order.
std::vector<std::pair<std::string, BlockIndexNode>> writeBlockIndexes(
    const boost::filesystem::path& wwwDirectory);

}  // namespace publish
