#include "tools/launcher-publish/Delta.h"
#include "tools/launcher-publish/BlockIndexWriter.h"

#include "support/DeltaIndex.h"
#include "support/FileDigest.h"
#include "support/MappedFile.h"
#include "support/Patch.h"
#include "support/SignedRelease.h"
#include "tools/common/NameEncoding.h"

#include <boost/filesystem/fstream.hpp>
#include <boost/filesystem/operations.hpp>

// The window limits are in the part of the API Debian's library exports but
// marks as still settling.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <map>
#include <memory>
#include <set>
#include <vector>

namespace fs = boost::filesystem;

namespace publish {

namespace {

struct CCtxFree {
    void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};

void check(std::size_t status, const std::string& what)
{
    if (ZSTD_isError(status))
        throw Error(what + ": " + ZSTD_getErrorName(status));
}

unsigned windowLogFor(std::uint64_t size)
{
    unsigned log = ZSTD_WINDOWLOG_MIN;
    while (log < static_cast<unsigned>(ZSTD_WINDOWLOG_MAX) && (std::uint64_t(1) << log) < size)
        ++log;
    return log;
}

void mapFile(MappedFile& map, const fs::path& path)
{
    const std::string reason = map.openForReading(path.wstring());
    if (!reason.empty())
        throw Error("cannot read " + quoted(path) + ": " + reason);
}

bool isDeltaName(const std::string& name)
{
    return name.compare(0, std::string(kDeltaDirectory).size(), kDeltaDirectory) == 0;
}

struct FileFacts {
    std::uint64_t size = 0;
    std::string sha1;
};

FileFacts factsOf(const fs::path& path)
{
    FileFacts facts;
    boost::system::error_code error;
    facts.size = fs::file_size(path, error);
    if (error)
        throw Error("cannot read " + quoted(path) + ": " + error.message());
    facts.sha1 = computeFileSha1(path.wstring());
    return facts;
}

// A regular file at `path`, not followed through a link.
bool isPlainFile(const fs::path& path)
{
    boost::system::error_code error;
    return fs::is_regular_file(fs::symlink_status(path, error));
}

// Moves `temporary` to the content name `<SHA-256 hex><suffix>` in `directory`;
// returns its piece record (path on the host below delta/).
DeltaPiece nameByContent(const fs::path& temporary, const fs::path& directory, const std::string& suffix)
{
    ReleaseFile digest;
    if (!fileSha256(temporary.wstring(), digest))
        throw Error("cannot read " + quoted(temporary));
    const std::string name = digest.sha256 + suffix;
    boost::system::error_code error;
    fs::rename(temporary, directory / name, error);
    if (error)
        throw Error("cannot write " + quoted(directory / name) + ": " + error.message());
    return DeltaPiece{std::string(kDeltaDirectory) + name, digest.size, digest.sha256};
}

}  // namespace

void writePatch(const fs::path& oldPath, const fs::path& newPath, const fs::path& patchPath)
{
    MappedFile oldFile;
    MappedFile newFile;
    mapFile(oldFile, oldPath);
    mapFile(newFile, newPath);
    if (oldFile.size() > kMaxPatchReference)
        throw Error(quoted(oldPath) + " is larger than a patch can refer back (2 GiB)");

    std::unique_ptr<ZSTD_CCtx, CCtxFree> context(ZSTD_createCCtx());
    if (!context)
        throw Error("cannot start compression");
    ZSTD_CCtx* c = context.get();
    check(ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, kPatchLevel), "compression level");
    // The window reaches from the end of the new file back to the start of the
    // old one, so that every part of the old file is a reference; long-distance
    // matching finds the far matches that level 19's own search would not.
    check(ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog,
                                 static_cast<int>(windowLogFor(oldFile.size() + newFile.size()))),
          "window");
    check(ZSTD_CCtx_setParameter(c, ZSTD_c_enableLongDistanceMatching, 1), "long-distance matching");
    // One worker, as zstd's own program runs: it finds the long-distance matches
    // serially over the whole window, the old file included. The library's
    // single-threaded path misses most of those into a large prefix (measured:
    // a patch 20 times larger on a 64 MiB pack with 1 % of its blocks changed).
    check(ZSTD_CCtx_setParameter(c, ZSTD_c_nbWorkers, 1), "worker");
    // The starter checks the frame's size before it stages anything, and its
    // checksum catches a wrong old file before the digest would.
    check(ZSTD_CCtx_setParameter(c, ZSTD_c_contentSizeFlag, 1), "content size");
    check(ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 1), "checksum");
    check(ZSTD_CCtx_setPledgedSrcSize(c, newFile.size()), "size");
    if (oldFile.size() > 0)
        check(ZSTD_CCtx_refPrefix(c, oldFile.data(), static_cast<std::size_t>(oldFile.size())), "reference");

    fs::ofstream out(patchPath, std::ios::binary | std::ios::trunc);
    if (!out)
        throw Error("cannot write " + quoted(patchPath));
    std::vector<char> buffer(ZSTD_CStreamOutSize());
    char nothing = 0;
    ZSTD_inBuffer in = {newFile.size() > 0 ? newFile.data() : &nothing,
                        static_cast<std::size_t>(newFile.size()), 0};
    std::size_t remaining;
    do {
        ZSTD_outBuffer piece = {buffer.data(), buffer.size(), 0};
        remaining = ZSTD_compressStream2(c, &piece, &in, ZSTD_e_end);
        check(remaining, "compressing " + quoted(newPath));
        out.write(buffer.data(), static_cast<std::streamsize>(piece.pos));
    } while (remaining != 0);
    out.close();
    if (!out)
        throw Error("cannot write " + quoted(patchPath));
}

DeltaReport writeDelta(const fs::path& newDirectory, const std::vector<fs::path>& oldDirectories)
{
    std::vector<std::string> names;
    for (const std::string& name : listFiles(newDirectory)) {
        if (!isDeltaName(name))
            names.push_back(name);
    }
    for (const fs::path& old : oldDirectories) {
        boost::system::error_code error;
        if (!fs::is_directory(old, error))
            throw Error("not a directory: " + quoted(old));
        if (fs::equivalent(old, newDirectory, error))
            throw Error(quoted(old) + " is the new release itself");
    }
    const fs::path deltaDirectory = newDirectory / kDeltaDirectory;
    boost::system::error_code error;
    fs::create_directories(deltaDirectory, error);
    if (error)
        throw Error("cannot make " + quoted(deltaDirectory) + ": " + error.message());

    DeltaReport report;
    for (const fs::path& old : oldDirectories)
        report.releases.push_back(DeltaSavings{old, 0, 0});

    DeltaIndex index;
    const fs::path temporary = deltaDirectory / ".patch.part";
    for (const std::string& name : names) {
        const fs::path newPath = newDirectory / name;
        const FileFacts now = factsOf(newPath);
        DeltaFile entry;
        entry.size = now.size;
        entry.sha1 = now.sha1;
        // One patch per distinct old content, however many releases hold it.
        std::map<std::string, std::uint64_t> patchSizeFrom;  // by old SHA-1; 0: none made
        for (DeltaSavings& savings : report.releases) {
            const fs::path oldPath = savings.oldDirectory / name;
            if (!isPlainFile(oldPath)) {
                savings.withPatches += now.size;
                savings.withoutPatches += now.size;
                continue;
            }
            const FileFacts before = factsOf(oldPath);
            if (before.size == now.size && before.sha1 == now.sha1)
                continue;
            savings.withoutPatches += now.size;
            auto made = patchSizeFrom.find(before.sha1);
            if (made == patchSizeFrom.end()) {
                std::uint64_t size = 0;
                if (before.size <= kMaxPatchReference) {
                    writePatch(oldPath, newPath, temporary);
                    const std::uint64_t patchSize = fs::file_size(temporary);
                    if (patchSize * 2 <= now.size) {
                        DeltaPatch patch;
                        patch.fromSha1 = before.sha1;
                        patch.fromSize = before.size;
                        patch.patch = nameByContent(temporary, deltaDirectory, ".patch");
                        entry.patches.push_back(patch);
                        size = patchSize;
                    }
                }
                made = patchSizeFrom.emplace(before.sha1, size).first;
            }
            savings.withPatches += made->second > 0 ? made->second : now.size;
        }
        fs::remove(temporary, error);
        // A block index serves any old copy, and a damaged one, where no patch starts.
        BlockIndexNode blocks;
        if (writeBlockIndex(newDirectory, newPath, blocks)) {
            entry.blocks = DeltaPiece{blocks.path, blocks.size, blocks.sha256};
            ++report.blockIndexes;
        }
        if (!entry.patches.empty() || entry.blocks) {
            report.patches += entry.patches.size();
            index.files.emplace(percentEncodePath(name), std::move(entry));
        }
    }

    // Named by its own digest, so a starter that cached an older index never
    // takes it for this one.
    const std::string text = deltaIndexText(index);
    const fs::path indexTemporary = deltaDirectory / ".index.part";
    writeOutput(indexTemporary, text);
    ReleaseFile digest;
    if (!fileSha256(indexTemporary.wstring(), digest))
        throw Error("cannot read " + quoted(indexTemporary));
    const std::string indexName = "index-" + digest.sha256.substr(0, 16) + ".cfg";
    fs::rename(indexTemporary, deltaDirectory / indexName, error);
    if (error)
        throw Error("cannot write " + quoted(deltaDirectory / indexName) + ": " + error.message());
    report.indexPath = std::string(kDeltaDirectory) + indexName;

    // What the new index does not list goes: earlier indexes, and patches and
    // block indexes of earlier runs.
    std::set<std::string> listed = {report.indexPath};
    for (const auto& file : index.files) {
        for (const DeltaPatch& patch : file.second.patches)
            listed.insert(patch.patch.path);
        if (file.second.blocks)
            listed.insert(file.second.blocks->path);
    }
    for (const std::string& name : listFiles(deltaDirectory)) {
        const std::string path = std::string(kDeltaDirectory) + name;
        if (!listed.count(path))
            fs::remove(deltaDirectory / name, error);
    }
    return report;
}

}  // namespace publish
