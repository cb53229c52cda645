#include "support/BlockSync.h"

#include "support/InputFile.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace {

const std::uint64_t kToEnd = std::numeric_limits<std::uint64_t>::max();
const std::uint32_t kNoEntry = 0xffffffffu;

bool sameDigest(const unsigned char* data, std::size_t size, const unsigned char* expected,
                std::size_t length)
{
    unsigned char digest[32];
    return strongDigest(data, size, digest, length) && std::memcmp(digest, expected, length) == 0;
}

// The small blocks still sought, sorted by weak sum and strong digest, with an
// open-addressed table from a weak sum to the first of its entries.
class SoughtBlocks {
public:
    SoughtBlocks(const BlockIndex& index, std::vector<std::uint32_t> blocks)
        : index_(index), blocks_(std::move(blocks))
    {
        std::sort(blocks_.begin(), blocks_.end(), [&](std::uint32_t a, std::uint32_t b) {
            const std::uint32_t wa = index_.weak(a);
            const std::uint32_t wb = index_.weak(b);
            if (wa != wb)
                return wa < wb;
            const int order = std::memcmp(index_.smallDigest(a), index_.smallDigest(b), kSmallDigestSize);
            return order != 0 ? order < 0 : a < b;
        });
        bits_ = 4;
        while ((std::size_t(1) << bits_) < blocks_.size() + blocks_.size() / 2)
            ++bits_;
        table_.assign(std::size_t(1) << bits_, kNoEntry);
        for (std::size_t i = 0; i < blocks_.size(); ++i) {
            if (i > 0 && index_.weak(blocks_[i]) == index_.weak(blocks_[i - 1]))
                continue;
            std::size_t slot = slotOf(index_.weak(blocks_[i]));
            while (table_[slot] != kNoEntry)
                slot = (slot + 1) & (table_.size() - 1);
            table_[slot] = static_cast<std::uint32_t>(i);
        }
    }

    // Position in blocks() of the first entry with this weak sum, or kNoEntry.
    std::uint32_t find(std::uint32_t weak) const
    {
        std::size_t slot = slotOf(weak);
        for (;;) {
            const std::uint32_t at = table_[slot];
            if (at == kNoEntry || index_.weak(blocks_[at]) == weak)
                return at;
            slot = (slot + 1) & (table_.size() - 1);
        }
    }

    const std::vector<std::uint32_t>& blocks() const { return blocks_; }

private:
    std::size_t slotOf(std::uint32_t weak) const { return (weak * 2654435761u) >> (32 - bits_); }

    const BlockIndex& index_;
    std::vector<std::uint32_t> blocks_;
    std::vector<std::uint32_t> table_;
    unsigned bits_;
};

// Rolls the weak sum over local regions and gives each sought block the first
// local offset whose window has its content.
class Roller {
public:
    Roller(InputFile& local, const BlockIndex& index, const SoughtBlocks& sought,
           std::vector<std::int64_t>& source)
        : local_(local),
          index_(index),
          sought_(sought),
          source_(source),
          buffer_(kLargeBlockSize + kSmallBlockSize),
          remaining_(sought.blocks().size()),
          budget_(16 * std::uint64_t(sought.blocks().size()) + (1u << 20))
    {
    }

    bool done() const { return remaining_ == 0; }

    // Windows starting in [start, end) and ending by `end`. False on a read error.
    bool roll(std::uint64_t start, std::uint64_t end)
    {
        if (!local_.seek(static_cast<std::int64_t>(start)))
            return false;
        bufferOffset_ = start;
        at_ = 0;
        length_ = 0;
        eof_ = false;
        WeakChecksum weak;
        bool fresh = false;
        const std::size_t window = kSmallBlockSize;
        while (remaining_ > 0) {
            if (!available(window + (fresh ? 1 : 0)))
                return !failed_;
            if (bufferOffset_ + at_ + window + (fresh ? 1 : 0) > end)
                return true;
            if (fresh) {
                weak.roll(buffer_[at_], buffer_[at_ + window], window);
                ++at_;
            } else {
                weak.reset(&buffer_[at_], window);
                fresh = true;
            }
            if (matchAt(weak.value())) {
                at_ += window;
                fresh = false;
            }
        }
        return true;
    }

private:
    // At least `count` bytes from at_ in the buffer, unless the file ends first.
    bool available(std::size_t count)
    {
        if (length_ - at_ >= count)
            return true;
        if (eof_)
            return false;
        std::memmove(buffer_.data(), buffer_.data() + at_, length_ - at_);
        bufferOffset_ += at_;
        length_ -= at_;
        at_ = 0;
        const std::int64_t got = local_.read(reinterpret_cast<char*>(buffer_.data() + length_),
                                             static_cast<std::int64_t>(buffer_.size() - length_));
        if (got < 0) {
            failed_ = true;
            eof_ = true;
            return false;
        }
        length_ += static_cast<std::size_t>(got);
        if (length_ < buffer_.size())
            eof_ = true;
        return length_ - at_ >= count;
    }

    bool matchAt(std::uint32_t weak)
    {
        std::uint32_t first = sought_.find(weak);
        if (first == kNoEntry)
            return false;
        unsigned char digest[32];
        if (!strongDigest(&buffer_[at_], kSmallBlockSize, digest, kSmallDigestSize))
            return false;
        const std::uint64_t here = bufferOffset_ + at_;
        forward_ = Forward::Unknown;
        const std::vector<std::uint32_t>& blocks = sought_.blocks();
        // Entries are sorted by weak sum, digest and block, so equal blocks (runs
        // of zeros, say) sit together and are found all at once. A few candidates
        // per position, and a budget for the whole roll after which the rest is
        // fetched, keep a local copy full of equal blocks from costing each
        // position all of them.
        const auto same = [&](std::size_t i) {
            return i < blocks.size() && index_.weak(blocks[i]) == weak &&
                   std::memcmp(index_.smallDigest(blocks[i]), digest, kSmallDigestSize) == 0;
        };
        std::size_t i = first;
        std::size_t examined = 0;
        while (i < blocks.size() && index_.weak(blocks[i]) == weak && !same(i)) {
            if (++examined == kCandidatesPerPosition || !spend())
                return false;
            ++i;
        }
        if (!same(i))
            return false;
        // Equal blocks are taken together, so the first one tells for all.
        if (source_[blocks[i]] != kMissingBlock)
            return true;
        bool confirmed = false;
        for (std::size_t k = i; !confirmed && same(k) && examined < kCandidatesPerPosition; ++k, ++examined) {
            if (!spend())
                return false;
            confirmed = neighbourLinesUp(blocks[k], here);
        }
        if (!confirmed)
            return false;
        for (std::size_t k = i; same(k); ++k) {
            source_[blocks[k]] = static_cast<std::int64_t>(here);
            --remaining_;
        }
        return true;
    }

    bool spend()
    {
        if (budget_ == 0) {
            remaining_ = 0;
            return false;
        }
        --budget_;
        return true;
    }

    // The block before `block` was found just before `here`, or the block after it
    // matches the window right after.
    bool neighbourLinesUp(std::uint32_t block, std::uint64_t here)
    {
        if (block > 0 && source_[block - 1] == static_cast<std::int64_t>(here - kSmallBlockSize))
            return true;
        const std::uint32_t next = block + 1;
        if (next >= index_.smallCount() || !index_.hasGroup(next / kSmallPerLarge) ||
            index_.smallLength(next) != kSmallBlockSize)
            return false;
        if (forward_ == Forward::Unknown) {
            forward_ = Forward::None;
            if (available(2 * kSmallBlockSize)) {
                const unsigned char* window = &buffer_[at_ + kSmallBlockSize];
                if (strongDigest(window, kSmallBlockSize, forwardDigest_, kSmallDigestSize)) {
                    forwardWeak_ = weakChecksum(window, kSmallBlockSize);
                    forward_ = Forward::Known;
                }
            }
        }
        return forward_ == Forward::Known && forwardWeak_ == index_.weak(next) &&
               std::memcmp(forwardDigest_, index_.smallDigest(next), kSmallDigestSize) == 0;
    }

    static const std::size_t kCandidatesPerPosition = 64;
    enum class Forward { Unknown, None, Known };
    Forward forward_ = Forward::Unknown;  // the window after the current one
    std::uint32_t forwardWeak_ = 0;
    unsigned char forwardDigest_[32] = {};
    InputFile& local_;
    const BlockIndex& index_;
    const SoughtBlocks& sought_;
    std::vector<std::int64_t>& source_;
    std::vector<unsigned char> buffer_;
    std::uint64_t bufferOffset_ = 0;  // of buffer_[0] in the local copy
    std::size_t at_ = 0;
    std::size_t length_ = 0;
    bool eof_ = false;
    bool failed_ = false;
    std::size_t remaining_;
    std::uint64_t budget_;
};

// Local regions whose content did not line up: the differing large blocks and
// whatever follows the new file's end, widened so that a window across a border
// is seen too.
std::vector<ByteRange> rollingSpans(const LargeComparison& comparison)
{
    std::vector<ByteRange> spans;
    const std::uint64_t margin = kSmallBlockSize - 1;
    auto add = [&](std::uint64_t start, std::uint64_t end) {
        start = start > margin ? start - margin : 0;
        if (!spans.empty() && start <= spans.back().end())
            spans.back().size = end - spans.back().offset;
        else
            spans.push_back(ByteRange{start, end - start});
    };
    const std::uint32_t count = static_cast<std::uint32_t>(comparison.differs.size());
    for (std::uint32_t i = 0; i < count; ++i) {
        if (comparison.differs[i])
            add(std::uint64_t(i) * kLargeBlockSize, std::uint64_t(i + 1) * kLargeBlockSize + margin);
    }
    add(std::uint64_t(count) * kLargeBlockSize, kToEnd);
    return spans;
}

void coalesce(const BlockIndex& index, const BlockSyncOptions& options, BlockPlan& plan)
{
    plan.missing.clear();
    for (std::uint32_t j = 0; j < index.smallCount(); ++j) {
        if (plan.source[j] != kMissingBlock)
            continue;
        const ByteRange block{std::uint64_t(j) * kSmallBlockSize, index.smallLength(j)};
        if (!plan.missing.empty() && block.offset - plan.missing.back().end() <= options.joinGap) {
            // The local blocks in between are fetched too, so the plan must say so.
            for (std::uint64_t gap = plan.missing.back().end(); gap < block.offset; gap += kSmallBlockSize)
                plan.source[gap / kSmallBlockSize] = kMissingBlock;
            plan.missing.back().size = block.end() - plan.missing.back().offset;
        } else {
            plan.missing.push_back(block);
        }
    }
    plan.missingBytes = 0;
    for (const ByteRange& range : plan.missing)
        plan.missingBytes += range.size;
    plan.localBytes = plan.fileSize - plan.missingBytes;
}

}  // namespace

bool compareLargeBlocks(const std::wstring& localPath, const BlockIndex& index, LargeComparison& comparison,
                        std::string& reason)
{
    comparison = LargeComparison();
    comparison.differs.assign(index.largeCount(), true);
    comparison.differing = index.largeCount();
    InputFile local(localPath);
    if (!local.isOpen())
        return true;
    std::vector<unsigned char> buffer(kLargeBlockSize);
    for (std::uint32_t i = 0; i < index.largeCount(); ++i) {
        const std::int64_t got = local.read(reinterpret_cast<char*>(buffer.data()), kLargeBlockSize);
        if (got < 0) {
            reason = "无法读取本地文件";
            return false;
        }
        comparison.localSize += static_cast<std::uint64_t>(got);
        const std::uint32_t length = index.largeLength(i);
        if (got >= static_cast<std::int64_t>(length) &&
            sameDigest(buffer.data(), length, index.largeDigest(i), kLargeDigestSize)) {
            comparison.differs[i] = false;
            --comparison.differing;
        }
        if (got < static_cast<std::int64_t>(kLargeBlockSize))
            break;
    }
    return true;
}

std::vector<ByteRange> groupRangesToFetch(const BlockIndex& index, const LargeComparison& comparison)
{
    std::vector<ByteRange> ranges;
    // With nothing local there is nothing to look up.
    if (comparison.localSize == 0)
        return ranges;
    for (std::uint32_t i = 0; i < index.largeCount() && i < comparison.differs.size(); ++i) {
        if (!comparison.differs[i] || index.hasGroup(i))
            continue;
        const ByteRange group = index.groupRange(i);
        if (!ranges.empty() && ranges.back().end() == group.offset)
            ranges.back().size += group.size;
        else
            ranges.push_back(group);
    }
    return ranges;
}

bool planBlocks(const std::wstring& localPath, const BlockIndex& index, const LargeComparison& comparison,
                const BlockSyncOptions& options, BlockPlan& plan, std::string& reason)
{
    plan = BlockPlan();
    plan.fileSize = index.fileSize();
    plan.source.assign(index.smallCount(), kMissingBlock);
    InputFile local(localPath);
    std::vector<std::uint32_t> sought;
    std::vector<unsigned char> buffer;
    for (std::uint32_t i = 0; i < index.largeCount(); ++i) {
        const std::uint32_t first = i * kSmallPerLarge;
        const std::uint32_t last = std::min(first + kSmallPerLarge, index.smallCount());
        const std::uint64_t start = std::uint64_t(i) * kLargeBlockSize;
        if (i < comparison.differs.size() && !comparison.differs[i]) {
            for (std::uint32_t j = first; j < last; ++j)
                plan.source[j] = static_cast<std::int64_t>(std::uint64_t(j) * kSmallBlockSize);
            continue;
        }
        if (!index.hasGroup(i))
            continue;
        // Repair: most small blocks of a damaged large block are still in place.
        std::int64_t got = 0;
        if (local.isOpen() && start < comparison.localSize) {
            buffer.resize(kLargeBlockSize);
            if (!local.seek(static_cast<std::int64_t>(start)) ||
                (got = local.read(reinterpret_cast<char*>(buffer.data()), index.largeLength(i))) < 0) {
                reason = "无法读取本地文件";
                return false;
            }
        }
        for (std::uint32_t j = first; j < last; ++j) {
            const std::uint64_t at = std::uint64_t(j - first) * kSmallBlockSize;
            const std::uint32_t length = index.smallLength(j);
            if (at + length <= static_cast<std::uint64_t>(got) &&
                weakChecksum(&buffer[at], length) == index.weak(j) &&
                sameDigest(&buffer[at], length, index.smallDigest(j), kSmallDigestSize))
                plan.source[j] = static_cast<std::int64_t>(std::uint64_t(j) * kSmallBlockSize);
            else if (length == kSmallBlockSize)
                sought.push_back(j);
        }
    }
    std::vector<unsigned char>().swap(buffer);
    if (!sought.empty() && local.isOpen()) {
        const SoughtBlocks table(index, std::move(sought));
        Roller roller(local, index, table, plan.source);
        for (const ByteRange& span : rollingSpans(comparison)) {
            if (roller.done())
                break;
            const std::uint64_t end = span.size > kToEnd - span.offset ? kToEnd : span.end();
            if (!roller.roll(span.offset, end)) {
                reason = "无法读取本地文件";
                return false;
            }
        }
    }
    coalesce(index, options, plan);
    return true;
}

WireEstimate estimateWire(const BlockIndex& index, const std::vector<ByteRange>& groupRanges,
                          const BlockPlan& plan, const BlockSyncOptions& options)
{
    WireEstimate estimate;
    estimate.indexBytes = BlockIndex::topSize(index.fileSize());
    for (const ByteRange& range : groupRanges)
        estimate.indexBytes += range.size;
    estimate.missingBytes = plan.missingBytes;
    // The index's groups go many to a request, as the missing ranges do.
    const std::uint64_t perRequest = std::max<std::uint64_t>(1, options.rangesPerRequest);
    const auto requestsFor = [perRequest](std::uint64_t ranges) {
        return (ranges + perRequest - 1) / perRequest;
    };
    estimate.requests = 1 + requestsFor(groupRanges.size()) + requestsFor(plan.missing.size());
    estimate.total =
        estimate.indexBytes + estimate.missingBytes + estimate.requests * options.requestOverhead;
    if (perRequest > 1)
        estimate.total += (groupRanges.size() + plan.missing.size()) * options.rangeOverhead;
    return estimate;
}

bool wholeFileCheaper(const WireEstimate& estimate, std::uint64_t fileSize, const BlockSyncOptions& options)
{
    return static_cast<double>(estimate.total) >
           options.wholeFileShare * static_cast<double>(fileSize + options.requestOverhead);
}

bool planWithIndex(const std::wstring& localPath, std::uint64_t fileSize, const IndexRangeFetch& fetch,
                   const BlockSyncOptions& options, BlockPlan& plan, WireEstimate& estimate,
                   std::string& reason)
{
    if (fileSize < kMinBlockFileSize || fileSize > kMaxBlockFileSize) {
        reason = "块索引的文件大小超出范围";
        return false;
    }
    BlockIndex index;
    std::string bytes;
    const ByteRange top{0, BlockIndex::topSize(fileSize)};
    if (!fetch(top, bytes) || bytes.size() != top.size) {
        reason = "无法获取块索引";
        return false;
    }
    if (!index.parseTop(bytes.data(), bytes.size(), reason))
        return false;
    if (index.fileSize() != fileSize) {
        reason = "块索引的文件大小不符";
        return false;
    }
    LargeComparison comparison;
    if (!compareLargeBlocks(localPath, index, comparison, reason))
        return false;
    const std::vector<ByteRange> groups = groupRangesToFetch(index, comparison);
    for (const ByteRange& range : groups) {
        if (!fetch(range, bytes) || bytes.size() != range.size) {
            reason = "无法获取块索引";
            return false;
        }
        if (!index.addGroups(range.offset, bytes.data(), bytes.size(), reason))
            return false;
    }
    // The plan's tables come next: the fetched groups' text is not kept beside them.
    std::string().swap(bytes);
    if (!planBlocks(localPath, index, comparison, options, plan, reason))
        return false;
    estimate = estimateWire(index, groups, plan, options);
    return true;
}

BlockAssembler::BlockAssembler(const BlockPlan& plan, FileManager::File& output)
    : plan_(plan), output_(output), filled_(plan.missing.size(), 0)
{
}

bool BlockAssembler::copyLocal(const std::wstring& localPath, std::string& reason)
{
    InputFile local(localPath);
    std::vector<char> buffer;
    const std::size_t count = plan_.source.size();
    for (std::size_t j = 0; j < count;) {
        if (plan_.source[j] == kMissingBlock) {
            ++j;
            continue;
        }
        // One read for a run of blocks that lie in the same order locally.
        const std::uint64_t newStart = std::uint64_t(j) * kSmallBlockSize;
        const std::int64_t localStart = plan_.source[j];
        std::uint64_t length = 0;
        do {
            length +=
                std::min<std::uint64_t>(kSmallBlockSize, plan_.fileSize - std::uint64_t(j) * kSmallBlockSize);
            ++j;
        } while (j < count && length < kLargeBlockSize &&
                 plan_.source[j] == localStart + static_cast<std::int64_t>(length));
        buffer.resize(static_cast<std::size_t>(length));
        if (!local.isOpen() || !local.seek(localStart) ||
            local.read(buffer.data(), static_cast<std::int64_t>(length)) !=
                static_cast<std::int64_t>(length)) {
            reason = "本地文件无法读取或已改变";
            return false;
        }
        if (!output_.seekTo(static_cast<std::int64_t>(newStart)) ||
            !output_.write(buffer.data(), static_cast<std::int64_t>(length))) {
            reason = output_.failure().empty() ? "无法写入文件" : output_.failure();
            return false;
        }
        copied_ += length;
    }
    localDone_ = true;
    return true;
}

bool BlockAssembler::writeFetched(std::uint64_t offset, const void* data, std::size_t size,
                                  std::string& reason)
{
    const auto after =
        std::upper_bound(plan_.missing.begin(), plan_.missing.end(), offset,
                         [](std::uint64_t value, const ByteRange& range) { return value < range.offset; });
    if (after == plan_.missing.begin()) {
        reason = "收到的数据不在缺少的范围内";
        return false;
    }
    const std::size_t r = static_cast<std::size_t>(after - plan_.missing.begin()) - 1;
    const ByteRange& range = plan_.missing[r];
    if ((offset != range.offset && offset != range.offset + filled_[r]) || offset >= range.end() ||
        size > range.end() - offset) {
        reason = "收到的数据不在缺少的范围内";
        return false;
    }
    if (!output_.seekTo(static_cast<std::int64_t>(offset)) ||
        !output_.write(data, static_cast<std::int64_t>(size))) {
        reason = output_.failure().empty() ? "无法写入文件" : output_.failure();
        return false;
    }
    filled_[r] = offset - range.offset + size;
    return true;
}

bool BlockAssembler::complete() const
{
    if (!localDone_)
        return false;
    for (std::size_t r = 0; r < filled_.size(); ++r) {
        if (filled_[r] != plan_.missing[r].size)
            return false;
    }
    return true;
}

std::uint64_t BlockAssembler::fetchedBytes() const
{
    std::uint64_t total = 0;
    for (std::uint64_t filled : filled_)
        total += filled;
    return total;
}
