#include "support/BlockIndex.h"

#include "support/Hash.h"
#include "support/InputFile.h"

#include <algorithm>
#include <cstring>

namespace {

const unsigned char kMagic[8] = {'Q', 'B', 'L', 'K', 'I', 'D', 'X', 1};
const std::size_t kCheckSize = 4;
const std::size_t kHeaderCheckOffset = 28;

void putLe(unsigned char* out, std::uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out[i] = static_cast<unsigned char>(value >> (8 * i));
}

std::uint64_t getLe(const unsigned char* in, int bytes)
{
    std::uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = (value << 8) | in[i];
    return value;
}

std::uint64_t ceilDiv(std::uint64_t value, std::uint64_t unit)
{
    return (value + unit - 1) / unit;
}

// The header as this version writes it, without its top check.
void composeHeader(std::uint64_t fileSize, unsigned char* header)
{
    std::memcpy(header, kMagic, sizeof kMagic);
    putLe(header + 8, fileSize, 8);
    putLe(header + 16, kSmallBlockSize, 4);
    putLe(header + 20, kLargeBlockSize, 4);
    header[24] = kLargeDigestSize;
    header[25] = 4;
    header[26] = kSmallDigestSize;
    header[27] = kCheckSize;
    putLe(header + kHeaderCheckOffset, 0, 4);
}

bool topCheck(const unsigned char* header, const unsigned char* largeTable, std::size_t largeSize,
              unsigned char* check)
{
    Hash hash(HashKind::Sha256);
    if (!hash.ready())
        return false;
    hash.update(header, kHeaderCheckOffset);
    hash.update(largeTable, largeSize);
    const std::vector<unsigned char> digest = hash.finish();
    std::memcpy(check, digest.data(), kCheckSize);
    return true;
}

}  // namespace

void WeakChecksum::reset(const unsigned char* data, std::size_t size)
{
    std::uint32_t a = 0;
    std::uint32_t b = 0;
    for (std::size_t i = 0; i < size; ++i) {
        a += data[i] + 31u;
        b += static_cast<std::uint32_t>(size - i) * (data[i] + 31u);
    }
    a_ = a & 0xffff;
    b_ = b & 0xffff;
}

std::uint32_t weakChecksum(const unsigned char* data, std::size_t size)
{
    WeakChecksum sum;
    sum.reset(data, size);
    return sum.value();
}

bool strongDigest(const void* data, std::size_t size, unsigned char* digest, std::size_t length)
{
    Hash hash(HashKind::Sha256);
    if (!hash.ready())
        return false;
    hash.update(data, size);
    const std::vector<unsigned char> full = hash.finish();
    if (full.size() < length)
        return false;
    std::memcpy(digest, full.data(), length);
    return true;
}

std::uint64_t BlockIndex::topSize(std::uint64_t fileSize)
{
    return kBlockIndexHeaderSize + ceilDiv(fileSize, kLargeBlockSize) * kLargeEntrySize;
}

std::uint64_t BlockIndex::indexSize(std::uint64_t fileSize)
{
    return topSize(fileSize) + ceilDiv(fileSize, kSmallBlockSize) * kSmallEntrySize;
}

bool BlockIndex::parseTop(const void* data, std::size_t size, std::string& reason)
{
    *this = BlockIndex();
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    if (size < kBlockIndexHeaderSize) {
        reason = "块索引不完整";
        return false;
    }
    unsigned char expected[kBlockIndexHeaderSize];
    const std::uint64_t fileSize = getLe(bytes + 8, 8);
    composeHeader(fileSize, expected);
    if (std::memcmp(bytes, expected, kHeaderCheckOffset) != 0) {
        reason = "块索引格式不符";
        return false;
    }
    if (fileSize < kMinBlockFileSize || fileSize > kMaxBlockFileSize) {
        reason = "块索引的文件大小超出范围";
        return false;
    }
    if (size < topSize(fileSize)) {
        reason = "块索引不完整";
        return false;
    }
    const std::size_t largeSize = static_cast<std::size_t>(topSize(fileSize) - kBlockIndexHeaderSize);
    unsigned char check[kCheckSize];
    if (!topCheck(bytes, bytes + kBlockIndexHeaderSize, largeSize, check) ||
        std::memcmp(check, bytes + kHeaderCheckOffset, kCheckSize) != 0) {
        reason = "块索引校验失败";
        return false;
    }
    fileSize_ = fileSize;
    largeCount_ = static_cast<std::uint32_t>(ceilDiv(fileSize, kLargeBlockSize));
    smallCount_ = static_cast<std::uint32_t>(ceilDiv(fileSize, kSmallBlockSize));
    top_.assign(bytes + kBlockIndexHeaderSize, bytes + kBlockIndexHeaderSize + largeSize);
    hasGroup_.assign(largeCount_, false);
    return true;
}

ByteRange BlockIndex::groupRange(std::uint32_t large) const
{
    ByteRange range;
    if (large >= largeCount_)
        return range;
    const std::uint64_t first = static_cast<std::uint64_t>(large) * kSmallPerLarge;
    const std::uint64_t last = std::min<std::uint64_t>(first + kSmallPerLarge, smallCount_);
    range.offset = topSize(fileSize_) + first * kSmallEntrySize;
    range.size = (last - first) * kSmallEntrySize;
    return range;
}

bool BlockIndex::addGroups(std::uint64_t offset, const void* data, std::size_t size, std::string& reason)
{
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    const std::uint64_t tableStart = topSize(fileSize_);
    if (!parsed() || offset < tableStart || (offset - tableStart) % (kSmallPerLarge * kSmallEntrySize) != 0 ||
        offset > indexSize(fileSize_) || size > indexSize(fileSize_) - offset) {
        reason = "块索引片段位置无效";
        return false;
    }
    const std::uint32_t firstGroup =
        static_cast<std::uint32_t>((offset - tableStart) / (kSmallPerLarge * kSmallEntrySize));
    std::uint32_t group = firstGroup;
    std::size_t at = 0;
    while (at < size) {
        const ByteRange range = groupRange(group);
        unsigned char check[kCheckSize];
        if (range.size == 0 || range.size > size - at) {
            reason = "块索引片段位置无效";
            return false;
        }
        if (!strongDigest(bytes + at, static_cast<std::size_t>(range.size), check, kCheckSize) ||
            std::memcmp(check, largeDigest(group) + kLargeDigestSize, kCheckSize) != 0) {
            reason = "块索引校验失败";
            return false;
        }
        at += static_cast<std::size_t>(range.size);
        ++group;
    }
    // Checked whole: now keep it.
    if (small_.empty())
        small_.resize(static_cast<std::size_t>(smallCount_) * kSmallEntrySize);
    std::memcpy(&small_[static_cast<std::size_t>(offset - tableStart)], bytes, size);
    for (std::uint32_t g = firstGroup; g < group; ++g)
        hasGroup_[g] = true;
    return true;
}

bool BlockIndex::parseWhole(const void* data, std::size_t size, std::string& reason)
{
    if (!parseTop(data, size, reason))
        return false;
    const std::uint64_t top = topSize(fileSize_);
    if (size != indexSize(fileSize_)) {
        *this = BlockIndex();
        reason = "块索引大小不符";
        return false;
    }
    if (!addGroups(top, static_cast<const unsigned char*>(data) + top, static_cast<std::size_t>(size - top),
                   reason)) {
        *this = BlockIndex();
        return false;
    }
    return true;
}

std::uint32_t BlockIndex::weak(std::uint32_t small) const
{
    return static_cast<std::uint32_t>(getLe(&small_[static_cast<std::size_t>(small) * kSmallEntrySize], 4));
}

std::uint32_t BlockIndex::smallLength(std::uint32_t small) const
{
    const std::uint64_t start = static_cast<std::uint64_t>(small) * kSmallBlockSize;
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(kSmallBlockSize, fileSize_ - start));
}

std::uint32_t BlockIndex::largeLength(std::uint32_t large) const
{
    const std::uint64_t start = static_cast<std::uint64_t>(large) * kLargeBlockSize;
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(kLargeBlockSize, fileSize_ - start));
}

bool buildBlockIndex(const std::wstring& path, std::string& index, std::string& reason)
{
    InputFile file(path);
    if (!file.isOpen()) {
        reason = "无法打开文件";
        return false;
    }
    std::vector<unsigned char> large;
    std::vector<unsigned char> small;
    std::vector<char> buffer(kLargeBlockSize);
    std::uint64_t fileSize = 0;
    for (;;) {
        const std::int64_t got = file.read(buffer.data(), kLargeBlockSize);
        if (got < 0) {
            reason = "无法读取文件";
            return false;
        }
        if (got == 0)
            break;
        fileSize += static_cast<std::uint64_t>(got);
        if (fileSize > kMaxBlockFileSize) {
            reason = "文件过大,不生成块索引";
            return false;
        }
        const std::size_t groupStart = small.size();
        for (std::int64_t at = 0; at < got; at += kSmallBlockSize) {
            const std::size_t length =
                static_cast<std::size_t>(std::min<std::int64_t>(kSmallBlockSize, got - at));
            const unsigned char* block = reinterpret_cast<const unsigned char*>(buffer.data() + at);
            unsigned char entry[kSmallEntrySize];
            putLe(entry, weakChecksum(block, length), 4);
            if (!strongDigest(block, length, entry + 4, kSmallDigestSize)) {
                reason = "无法计算摘要";
                return false;
            }
            small.insert(small.end(), entry, entry + kSmallEntrySize);
        }
        unsigned char entry[kLargeEntrySize];
        if (!strongDigest(buffer.data(), static_cast<std::size_t>(got), entry, kLargeDigestSize) ||
            !strongDigest(&small[groupStart], small.size() - groupStart, entry + kLargeDigestSize,
                          kCheckSize)) {
            reason = "无法计算摘要";
            return false;
        }
        large.insert(large.end(), entry, entry + kLargeEntrySize);
        if (got < static_cast<std::int64_t>(kLargeBlockSize))
            break;
    }
    if (fileSize < kMinBlockFileSize) {
        reason = "文件过小,不生成块索引";
        return false;
    }
    unsigned char header[kBlockIndexHeaderSize];
    composeHeader(fileSize, header);
    if (!topCheck(header, large.data(), large.size(), header + kHeaderCheckOffset)) {
        reason = "无法计算摘要";
        return false;
    }
    index.assign(reinterpret_cast<const char*>(header), kBlockIndexHeaderSize);
    index.append(reinterpret_cast<const char*>(large.data()), large.size());
    index.append(reinterpret_cast<const char*>(small.data()), small.size());
    return true;
}
