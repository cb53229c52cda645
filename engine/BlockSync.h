#pragma once
// One file brought up to date by blocks: the parts of its block index the local
// copy needs (fetched by range and each checked against the index's own checks),
// the plan, the choice by bytes, and the missing ranges fetched many to a request
// over a lane's connection, several requests in flight, into a staged copy built
// from local and fetched blocks. The caller checks the result exactly as a whole
// download (size, SHA-1, signed SHA-256) before placing it, and falls back to the
// whole file on any failure: nothing here touches the local copy or the file in
// place.
//
// Memory: the plan's tables (support/BlockSync.h, at most about 14 MiB for the
// largest file) and one body piece; the local copy is streamed. Nothing is
// written beyond the new file's size. Throws only when memory runs out.

#include "net/HttpConnection.h"
#include "support/BlockSync.h"
#include "support/DeltaIndex.h"
#include "support/StagedFile.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace engine_detail {

struct BlockSyncOutcome {
    enum class Kind {
        Built,           // the staged copy holds the new file, still to be checked
        WholeIsCheaper,  // the plan would cost about as much as the file
        Failed,          // `failure` says why, for the log
    };
    Kind kind = Kind::Failed;
    std::string failure;
    std::uint64_t localBytes = 0;    // of the new file taken from the local copy
    std::uint64_t fetchedBytes = 0;  // of the new file the host sent
    std::uint64_t wireBytes = 0;     // every body byte the host sent, the index's included
};

class BlockSync {
public:
    // `onWire` hears of body bytes as they arrive.
    BlockSync(gametool::HttpConnection& connection, std::string host,
              std::function<void(std::uint64_t)> onWire, BlockSyncOptions options = BlockSyncOptions());

    // Builds the file at `path` on the host (`size` bytes) into `output`, from
    // `localCopy` (never the output itself) and the block index `index`.
    BlockSyncOutcome run(const std::string& path, std::uint64_t size, const DeltaPiece& index,
                         const std::wstring& localCopy, StagedFile& output);

    // How many multi-range requests go out ahead of the one whose reply is read.
    static const std::size_t kRequestsAhead = 3;

private:
    // Takes a part's bytes at their offset; false with `refused` set to stop.
    using PartSink =
        std::function<bool(std::uint64_t offset, const char* data, std::size_t size, std::string& refused)>;

    // The index's header and large table.
    bool fetchTop(const DeltaPiece& index, std::uint64_t size, std::string& bytes, std::string& failure);
    // `ranges` (in order, disjoint) of the file at `path`, many to a request.
    bool fetchRanges(const std::string& path, std::uint64_t size, const std::vector<ByteRange>& ranges,
                     const PartSink& sink, std::string& failure);
    bool fetchGroups(const DeltaPiece& index, const std::vector<ByteRange>& groups, BlockIndex& blocks,
                     std::string& failure);
    // The index's top, the comparison, the groups that differ, the plan and its cost.
    bool plan(std::uint64_t size, const DeltaPiece& index, const std::wstring& localCopy, BlockPlan& plan,
              WireEstimate& estimate, std::string& failure);

    gametool::HttpConnection& connection_;
    const std::string host_;
    const std::function<void(std::uint64_t)> onWire_;
    const BlockSyncOptions options_;
    std::uint64_t wire_ = 0;
};

}  // namespace engine_detail
