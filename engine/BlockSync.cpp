#include "engine/BlockSync.h"

#include "support/MultipartRanges.h"

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

namespace engine_detail {

BlockSync::BlockSync(gametool::HttpConnection& connection, std::string host,
                     std::function<void(std::uint64_t)> onWire, BlockSyncOptions options)
    : connection_(connection), host_(std::move(host)), onWire_(std::move(onWire)), options_(options)
{
}

bool BlockSync::fetchTop(const DeltaPiece& index, std::uint64_t size, std::string& bytes,
                         std::string& failure)
{
    // Within the index: its size was matched to the file's before.
    const gametool::HttpRequest request{index.path, 0, BlockIndex::topSize(size) - 1, {}};
    bytes.reserve(static_cast<std::size_t>(request.last + 1));
    const gametool::Exchange exchange = connection_.fetch(host_, request, {}, gametool::exactRange(request),
                                                          [&](const char* data, std::size_t count) {
                                                              wire_ += count;
                                                              if (onWire_)
                                                                  onWire_(count);
                                                              bytes.append(data, count);
                                                              return true;
                                                          });
    failure = exchange.failure;
    return failure.empty();
}

bool BlockSync::fetchRanges(const std::string& path, std::uint64_t size, const std::vector<ByteRange>& ranges,
                            const PartSink& sink, std::string& failure)
{
    std::vector<gametool::HttpRequest> requests;
    for (std::size_t at = 0; at < ranges.size(); at += kMaxRangesPerRequest) {
        const std::size_t end = std::min(ranges.size(), at + kMaxRangesPerRequest);
        gametool::HttpRequest request;
        request.path = path;
        request.ranges = rangeHeaderValue(std::vector<ByteRange>(ranges.begin() + at, ranges.begin() + end));
        requests.push_back(std::move(request));
    }
    std::string refused;
    const auto parts = [&](std::uint64_t offset, const char* data, std::size_t count) {
        wire_ += count;
        if (onWire_)
            onWire_(count);
        return sink(offset, data, count, refused);
    };
    for (std::size_t at = 0; at < requests.size(); ++at) {
        // Requests still to be sent go out behind this one, so that the host
        // never waits for the next while this reply is read.
        const gametool::RequestQueue& queue = connection_.queue();
        const bool due =
            queue.isOpen() && queue.host() == host_ && queue.due() > 0 && queue.oldest() == requests[at];
        std::vector<gametool::HttpRequest> ahead;
        for (std::size_t next = at + 1; !due && next < requests.size() && next <= at + kRequestsAhead; ++next)
            ahead.push_back(requests[next]);
        const gametool::RangesReply reply = gametool::rangesReply(size, parts);
        const gametool::Exchange exchange =
            connection_.fetch(host_, requests[at], ahead, reply.check, reply.sink);
        const std::string why = !refused.empty()            ? refused
                                : !exchange.failure.empty() ? exchange.failure
                                                            : reply.failure();
        if (!why.empty()) {
            failure = why;
            connection_.drop();
            return false;
        }
    }
    return true;
}

bool BlockSync::fetchGroups(const DeltaPiece& index, const std::vector<ByteRange>& groups, BlockIndex& blocks,
                            std::string& failure)
{
    // A group is checked whole: each range's bytes are kept until it is.
    std::vector<std::string> bytes(groups.size());
    const auto sink = [&](std::uint64_t offset, const char* data, std::size_t count, std::string& refused) {
        const auto after = std::upper_bound(
            groups.begin(), groups.end(), offset,
            [](std::uint64_t value, const ByteRange& range) { return value < range.offset; });
        const std::size_t r = static_cast<std::size_t>(after - groups.begin()) - 1;
        if (after == groups.begin() || offset != groups[r].offset + bytes[r].size() ||
            count > groups[r].size - bytes[r].size()) {
            refused = "服务器返回的块索引范围不符";
            return false;
        }
        bytes[r].append(data, count);
        return true;
    };
    if (!fetchRanges(index.path, index.size, groups, sink, failure))
        return false;
    for (std::size_t r = 0; r < groups.size(); ++r) {
        if (bytes[r].size() != groups[r].size) {
            failure = "服务器没有返回全部块索引";
            return false;
        }
        if (!blocks.addGroups(groups[r].offset, bytes[r].data(), bytes[r].size(), failure))
            return false;
        std::string().swap(bytes[r]);
    }
    return true;
}

bool BlockSync::plan(const std::uint64_t size, const DeltaPiece& index, const std::wstring& localCopy,
                     BlockPlan& plan, WireEstimate& estimate, std::string& failure)
{
    BlockIndex blocks;
    std::string top;
    if (!fetchTop(index, size, top, failure)) {
        failure = "无法获取块索引 " + failure;
        return false;
    }
    if (!blocks.parseTop(top.data(), top.size(), failure))
        return false;
    if (blocks.fileSize() != size) {
        failure = "块索引的文件大小不符";
        return false;
    }
    LargeComparison comparison;
    if (!compareLargeBlocks(localCopy, blocks, comparison, failure))
        return false;
    // Only the groups of the large blocks that differ, many to a request.
    const std::vector<ByteRange> groups = groupRangesToFetch(blocks, comparison);
    if (!fetchGroups(index, groups, blocks, failure)) {
        failure = "无法获取块索引 " + failure;
        return false;
    }
    if (!planBlocks(localCopy, blocks, comparison, options_, plan, failure))
        return false;
    estimate = estimateWire(blocks, groups, plan, options_);
    return true;
}

BlockSyncOutcome BlockSync::run(const std::string& path, std::uint64_t size, const DeltaPiece& index,
                                const std::wstring& localCopy, StagedFile& output)
{
    BlockSyncOutcome outcome;
    if (size < kMinBlockFileSize || size > kMaxBlockFileSize || index.size != BlockIndex::indexSize(size)) {
        outcome.failure = "块索引与文件大小不符";
        return outcome;
    }
    BlockPlan plan;
    WireEstimate estimate;
    const bool planned = this->plan(size, index, localCopy, plan, estimate, outcome.failure);
    outcome.wireBytes = wire_;
    if (!planned)
        return outcome;
    outcome.localBytes = plan.localBytes;
    if (wholeFileCheaper(estimate, size, options_)) {
        outcome.kind = BlockSyncOutcome::Kind::WholeIsCheaper;
        return outcome;
    }
    {
        // Closed before the caller reads it back for the check.
        const std::unique_ptr<FileManager::File> file = output.open(false);
        if (!file) {
            outcome.failure = "无法打开文件";
            return outcome;
        }
        BlockAssembler assembler(plan, *file);
        const auto write = [&assembler](std::uint64_t offset, const char* data, std::size_t count,
                                        std::string& refused) {
            return assembler.writeFetched(offset, data, count, refused);
        };
        std::string reason;
        const bool built =
            assembler.copyLocal(localCopy, reason) && fetchRanges(path, size, plan.missing, write, reason);
        outcome.wireBytes = wire_;
        outcome.fetchedBytes = assembler.fetchedBytes();
        outcome.localBytes = assembler.localBytes();
        if (!built || !assembler.complete()) {
            outcome.failure = built ? "服务器没有返回全部缺少的范围" : reason;
            return outcome;
        }
    }
    outcome.kind = BlockSyncOutcome::Kind::Built;
    return outcome;
}

}  // namespace engine_detail
