#pragma once
// The block index of a file of the download host: what a starter needs to find
// which parts of a local copy it can keep, fetched in parts by HTTP range.
//
// Binary, every number little-endian; version 1:
//   header, 32 bytes
//     0  8  magic "QBLKIDX" and the version byte 1
//     8  8  the file's size
//    16  4  small block size (4096)
//    20  4  large block size (1 MiB)
//    24  1  large digest length (8)      25  1  weak checksum length (4)
//    26  1  small digest length (2)      27  1  group check length (4)
//    28  4  top check: SHA-256 of bytes 0..27 and the large table, first 4 bytes
//   large table, 12 bytes per large block (the last may be short)
//     8  SHA-256 of the block, first 8 bytes
//     4  group check: SHA-256 of the block's small entries, first 4 bytes
//   small table, 6 bytes per small block, in file order, so that the entries of
//   one large block (its "group") are one contiguous range of the index
//     4  weak rolling checksum (see WeakChecksum)
//     2  SHA-256 of the block, first 2 bytes
// A last short block is summed over its own length.
//
// Why these lengths (bytes on the wire: a sync from a much older copy fetches the
// whole small table besides the blocks): the large digest alone decides that
// 1 MiB of a local copy is kept, so it is long. A small block is checked by its
// 6 bytes where it is found in place, inside a large block already known to
// differ (repair). One found elsewhere by the rolling sum is taken only when a
// neighbour lines up too (the block before it, found just before it, or the
// block after it, matching right after it), so that two entries, 12 bytes,
// decide against the one false weak match in about 2^32 positions and blocks
// (the same trick as zsync's two consecutive matches). The whole file's digests,
// checked after the build, stay the final word: a false match costs the whole
// file, never a wrong one.
//
// The reader takes the index in parts and checks each before using it: the top
// (header and large table) against its top check, each group against its
// group check. Every count is bounded by the header's file size and by
// kMaxBlockFileSize before anything is allocated. Nothing here throws.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

const std::uint32_t kSmallBlockSize = 4096;
const std::uint32_t kLargeBlockSize = 1024 * 1024;
const std::uint32_t kSmallPerLarge = kLargeBlockSize / kSmallBlockSize;
const std::size_t kBlockIndexHeaderSize = 32;
const std::size_t kLargeEntrySize = 12;
const std::size_t kLargeDigestSize = 8;
const std::size_t kSmallEntrySize = 6;
const std::size_t kSmallDigestSize = 2;
// Files that get an index: from one large block up to 2 GiB, which keeps a
// starter's plan within 16 MiB (see BlockSync.h).
const std::uint64_t kMinBlockFileSize = kLargeBlockSize;
const std::uint64_t kMaxBlockFileSize = 2ull * 1024 * 1024 * 1024;

// A span of bytes of a file.
struct ByteRange {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::uint64_t end() const { return offset + size; }
    bool operator==(const ByteRange& other) const { return offset == other.offset && size == other.size; }
};

// The rsync-style rolling sum of a window: low half the byte sum, high half the
// position-weighted sum, each modulo 2^16, each byte counted plus 31 so that runs
// of zeros still differ by length.
class WeakChecksum {
public:
    void reset(const unsigned char* data, std::size_t size);
    // Slides the window of `size` one byte on: `out` leaves, `in` enters.
    void roll(unsigned char out, unsigned char in, std::size_t size)
    {
        a_ = (a_ - (out + 31u) + (in + 31u)) & 0xffff;
        b_ = (b_ - static_cast<std::uint32_t>(size) * (out + 31u) + a_) & 0xffff;
    }
    std::uint32_t value() const { return a_ | (b_ << 16); }

private:
    std::uint32_t a_ = 0;
    std::uint32_t b_ = 0;
};

std::uint32_t weakChecksum(const unsigned char* data, std::size_t size);
// The first `length` bytes of the SHA-256 of `data`, into `digest`; false when the
// system digest is not available.
bool strongDigest(const void* data, std::size_t size, unsigned char* digest, std::size_t length);

class BlockIndex {
public:
    // Size of the header and large table of the index of a file of `fileSize`
    // bytes: what a starter fetches first (the delta index gives the size).
    static std::uint64_t topSize(std::uint64_t fileSize);
    // Size of the whole index.
    static std::uint64_t indexSize(std::uint64_t fileSize);

    // Reads the header and large table from the start of `data` (more bytes may
    // follow: they are ignored). False with a reason when the header is not one
    // of this version, the file size is out of bounds, `data` is too short or the
    // top check fails; the object is then empty.
    bool parseTop(const void* data, std::size_t size, std::string& reason);
    // Reads small entries from a range of the index starting at `offset`: the
    // range must hold whole groups, each of which must pass its group check.
    // Needs parseTop first. On failure no group of the range is kept.
    bool addGroups(std::uint64_t offset, const void* data, std::size_t size, std::string& reason);
    // parseTop and addGroups over a whole index of exactly indexSize bytes.
    bool parseWhole(const void* data, std::size_t size, std::string& reason);

    bool parsed() const { return largeCount_ > 0; }
    std::uint64_t fileSize() const { return fileSize_; }
    std::uint32_t largeCount() const { return largeCount_; }
    std::uint32_t smallCount() const { return smallCount_; }
    // Where in the index the small entries of large block `large` are.
    ByteRange groupRange(std::uint32_t large) const;
    bool hasGroup(std::uint32_t large) const { return large < hasGroup_.size() && hasGroup_[large]; }

    const unsigned char* largeDigest(std::uint32_t large) const { return &top_[large * kLargeEntrySize]; }
    // Valid only for a small block whose group was added.
    std::uint32_t weak(std::uint32_t small) const;
    const unsigned char* smallDigest(std::uint32_t small) const
    {
        return &small_[small * kSmallEntrySize + 4];
    }
    // Bytes of the file in block `small` / `large` (the last ones may be short).
    std::uint32_t smallLength(std::uint32_t small) const;
    std::uint32_t largeLength(std::uint32_t large) const;

private:
    std::uint64_t fileSize_ = 0;
    std::uint32_t largeCount_ = 0;
    std::uint32_t smallCount_ = 0;
    std::vector<unsigned char> top_;    // the large table
    std::vector<unsigned char> small_;  // the small table, filled group by group
    std::vector<bool> hasGroup_;
};

// The index of the file at `path`, read in 1 MiB pieces. False with a reason
// when it cannot be read whole or its size is outside kMinBlockFileSize to
// kMaxBlockFileSize.
bool buildBlockIndex(const std::wstring& path, std::string& index, std::string& reason);
