#include "tools/launcher-publish/BlockIndexWriter.h"

#include "support/BlockIndex.h"
#include "support/Hash.h"

#include <boost/filesystem.hpp>

namespace fs = boost::filesystem;

namespace publish {

namespace {

std::string sha256Hex(const std::string& bytes)
{
    static const char kDigits[] = "0123456789abcdef";
    Hash hash(HashKind::Sha256);
    if (!hash.ready())
        throw Error("SHA-256 is not available");
    hash.update(bytes.data(), bytes.size());
    std::string text;
    for (unsigned char c : hash.finish()) {
        text += kDigits[c >> 4];
        text += kDigits[c & 0x0F];
    }
    return text;
}

}  // namespace

bool writeBlockIndex(const fs::path& wwwDirectory, const fs::path& file, BlockIndexNode& node)
{
    boost::system::error_code error;
    const std::uintmax_t size = fs::file_size(file, error);
    if (error)
        throw Error("cannot read " + quoted(file) + ": " + error.message());
    if (size < kMinBlockFileSize || size > kMaxBlockFileSize)
        return false;
    std::string index;
    std::string reason;
    if (!buildBlockIndex(file.wstring(), index, reason))
        throw Error("cannot index " + quoted(file) + ": " + reason);
    node.sha256 = sha256Hex(index);
    node.size = index.size();
    node.path = "delta/" + node.sha256 + ".blocks";
    const fs::path target = wwwDirectory / "delta" / (node.sha256 + ".blocks");
    fs::create_directories(target.parent_path(), error);
    if (error)
        throw Error("cannot make " + quoted(target.parent_path()) + ": " + error.message());
    writeOutput(target, index);
    return true;
}

std::vector<std::pair<std::string, BlockIndexNode>> writeBlockIndexes(const fs::path& wwwDirectory)
{
    std::vector<std::pair<std::string, BlockIndexNode>> written;
    for (const std::string& name : listFiles(wwwDirectory)) {
        if (name.compare(0, 6, "delta/") == 0)
            continue;
        BlockIndexNode node;
        if (writeBlockIndex(wwwDirectory, wwwDirectory / fs::path(name), node))
            written.emplace_back(name, node);
    }
    return written;
}

}  // namespace publish
