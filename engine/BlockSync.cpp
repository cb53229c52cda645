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

bool BlockSync::fetchIndexRange(const DeltaPiece& index, const ByteRange& range, std::string& bytes)
{
    bytes.clear();
    // The delta index gave the index's size and the size was matched to the file's:
    // nothing beyond it is asked for, so `bytes` stays within the index.
    if (range.size == 0 || range.offset > index.size || range.size > index.size - range.offset) {
        indexFailure_ = "块索引范围超出文件";
        return false;
    }
    const gametool::HttpRequest request{index.path, range.offset, range.end() - 1, {}};
    bytes.reserve(static_cast<std::size_t>(range.size));
    const gametool::Exchange exchange = connection_.fetch(host_, request, {}, gametool::exactRange(request),
                                                          [&](const char* data, std::size_t size) {
                                                              wire_ += size;
                                                              if (onWire_)
                                                                  onWire_(size);
                                                              bytes.append(data, size);
                                                              return true;
                                                          });
    indexFailure_ = exchange.failure;
    return exchange.failure.empty();
}

bool BlockSync::fetchMissing(const std::string& path, std::uint64_t size, const BlockPlan& plan,
                             BlockAssembler& assembler, std::string& failure)
{
    std::vector<gametool::HttpRequest> requests;
    for (std::size_t at = 0; at < plan.missing.size(); at += kMaxRangesPerRequest) {
        const std::size_t end = std::min(plan.missing.size(), at + kMaxRangesPerRequest);
        gametool::HttpRequest request;
        request.path = path;
        request.ranges =
            rangeHeaderValue(std::vector<ByteRange>(plan.missing.begin() + at, plan.missing.begin() + end));
        requests.push_back(std::move(request));
    }
    std::string refused;
    const auto parts = [&](std::uint64_t offset, const char* data, std::size_t count) {
        wire_ += count;
        if (onWire_)
            onWire_(count);
        return assembler.writeFetched(offset, data, count, refused);
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
    std::string reason;
    const auto fetch = [&](const ByteRange& range, std::string& bytes) {
        return fetchIndexRange(index, range, bytes);
    };
    const bool planned = planWithIndex(localCopy, size, fetch, options_, plan, estimate, reason);
    outcome.wireBytes = wire_;
    if (!planned) {
        outcome.failure = indexFailure_.empty() ? reason : reason + " " + indexFailure_;
        return outcome;
    }
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
        const bool built =
            assembler.copyLocal(localCopy, reason) && fetchMissing(path, size, plan, assembler, reason);
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
