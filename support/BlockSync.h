#pragma once
// Block sync: which blocks of a new file a local copy already holds (the old
// file, or a part left by an earlier run), which ranges must come from the host,
// what that costs on the wire, and the new file built from both.
//
// The steps, each usable on its own by a caller that fetches in parallel:
//   1. compareLargeBlocks: the local copy's aligned 1 MiB blocks against the top
//      of the index (repair: only the damaged large blocks differ).
//   2. groupRangesToFetch: the index ranges with the small entries of the large
//      blocks that differ, adjacent groups joined into one request.
//   3. planBlocks: aligned small blocks first, then a rolling weak sum over the
//      local regions that did not line up (content that moved), each weak match
//      confirmed by the short strong digest and a neighbour that lines up too
//      (see BlockIndex.h). Gives a source for every small block and the missing
//      ranges, coalesced. The roll has a work budget: a local copy built to
//      defeat it costs bytes (blocks left missing), never a stall.
//   4. estimateWire / wholeFileCheaper: decide by bytes.
//   5. BlockAssembler: writes local blocks and fetched ranges into the staged
//      output, never outside the new file.
// planWithIndex runs steps 1 to 4 with a function that fetches index ranges.
//
// Memory: the local copy is read in pieces of at most 1 MiB, never mapped; the
// plan holds at most about 26 bytes per small block of the new file: 14 MiB with
// the buffers for kMaxBlockFileSize. A local copy of any size is fine. Failures
// are values with a reason for the log; nothing here throws. The local copy must
// not be the staged output itself.
//
// The estimate assumes missing ranges asked for many to a request
// (MultipartRanges.h); one request per range costs about 270 bytes more each.

#include "support/BlockIndex.h"
#include "support/FileManager.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct BlockSyncOptions {
    // Bytes of one ranged request and the head of its reply.
    std::uint64_t requestOverhead = 400;
    // Missing ranges asked for in one request (see MultipartRanges.h), and the
    // bytes each adds to the request and to the multipart reply.
    std::uint64_t rangesPerRequest = 64;
    std::uint64_t rangeOverhead = 130;
    // Missing ranges this close are fetched as one, the local bytes between them
    // included: only when the gap costs fewer bytes than asking for a range.
    std::uint64_t joinGap = 130;
    // The whole file is fetched when the sync would cost more than this share of it.
    double wholeFileShare = 0.8;
};

struct LargeComparison {
    std::uint64_t localSize = 0;
    std::vector<bool> differs;  // per large block of the new file
    std::uint32_t differing = 0;
};

const std::int64_t kMissingBlock = -1;

struct BlockPlan {
    std::uint64_t fileSize = 0;
    std::vector<std::int64_t> source;  // per small block: offset in the local copy, or kMissingBlock
    std::vector<ByteRange> missing;    // ranges of the new file to fetch, in order, disjoint
    std::uint64_t localBytes = 0;
    std::uint64_t missingBytes = 0;
};

struct WireEstimate {
    std::uint64_t indexBytes = 0;
    std::uint64_t missingBytes = 0;
    std::uint64_t requests = 0;  // index parts, then missing ranges rangesPerRequest at a time
    std::uint64_t total = 0;     // all of the above, requests and ranges at their overhead
};

// Step 1. Needs the index's top. False with a reason when the local copy cannot
// be read; a missing or short copy is not a failure (its blocks differ).
bool compareLargeBlocks(const std::wstring& localPath, const BlockIndex& index, LargeComparison& comparison,
                        std::string& reason);

// Step 2: the index ranges holding the groups of the differing large blocks
// (none when the local copy is missing or empty).
std::vector<ByteRange> groupRangesToFetch(const BlockIndex& index, const LargeComparison& comparison);

// Step 3. Needs the groups of every differing large block (a block whose group
// is missing stays missing). False with a reason when the local copy cannot be
// read.
bool planBlocks(const std::wstring& localPath, const BlockIndex& index, const LargeComparison& comparison,
                const BlockSyncOptions& options, BlockPlan& plan, std::string& reason);

// Step 4.
WireEstimate estimateWire(const BlockIndex& index, const std::vector<ByteRange>& groupRanges,
                          const BlockPlan& plan, const BlockSyncOptions& options);
bool wholeFileCheaper(const WireEstimate& estimate, std::uint64_t fileSize, const BlockSyncOptions& options);

// Fetches `range` of the block index into `bytes` (exactly range.size bytes);
// false when it could not.
using IndexRangeFetch = std::function<bool(const ByteRange& range, std::string& bytes)>;

// Steps 1 to 4 for a new file of `fileSize` bytes (as the delta index lists
// it). False with a reason when a fetch fails, an index part is refused (its
// check, or a file size other than `fileSize`) or the local copy cannot be read.
bool planWithIndex(const std::wstring& localPath, std::uint64_t fileSize, const IndexRangeFetch& fetch,
                   const BlockSyncOptions& options, BlockPlan& plan, WireEstimate& estimate,
                   std::string& reason);

// Step 5: builds the new file in `output` (a file opened by StagedFile::open)
// from the plan. Local blocks and fetched ranges may come in any order; each
// fetched range is written front to back, and may start again from its start
// (a retried request). Nothing is written outside the new file's size.
class BlockAssembler {
public:
    BlockAssembler(const BlockPlan& plan, FileManager::File& output);

    // Copies every local block, read in pieces of at most 1 MiB. False with a
    // reason when the local copy is shorter than the plan expects or unreadable.
    bool copyLocal(const std::wstring& localPath, std::string& reason);
    // Bytes of the new file at `offset` that the host sent. False with a reason
    // (and nothing written) unless they continue a missing range where its last
    // write ended, or restart it.
    bool writeFetched(std::uint64_t offset, const void* data, std::size_t size, std::string& reason);
    // Every local block copied and every missing range written whole.
    bool complete() const;

    std::uint64_t localBytes() const { return copied_; }
    std::uint64_t fetchedBytes() const;

private:
    const BlockPlan& plan_;
    FileManager::File& output_;
    std::vector<std::uint64_t> filled_;  // bytes written of each missing range
    std::uint64_t copied_ = 0;
    bool localDone_ = false;
};
