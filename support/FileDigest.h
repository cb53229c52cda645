#pragma once
// SHA-1 digests: of content fed in pieces, and of a whole file.

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

// SHA-1 of content fed in pieces, so that bytes are hashed while they are
// written rather than read back afterwards.
class StreamDigest {
public:
    StreamDigest();
    ~StreamDigest();
    StreamDigest(const StreamDigest&) = delete;
    StreamDigest& operator=(const StreamDigest&) = delete;

    void update(const void* data, std::size_t size);
    // Feeds the whole file; the number of bytes read, or -1 when it cannot be
    // opened or read (the digest is then of no use).
    std::int64_t updateFromFile(const std::wstring& path);
    // The digest text of everything fed; the object is spent afterwards.
    std::string finish();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The digest text of no bytes at all.
constexpr char kEmptySha1[] = "da39a3ee5e6b4b0d3255bfef95601890afd80709";

// 40 lower-case hexadecimal characters; a file that cannot be read gives the
// digest of the bytes read (empty input when it cannot be opened).
std::string computeFileSha1(const std::wstring& path);

// SHA-1 of files, each read once while it stays as it was: a file whose size
// and last write time are unchanged is not read again. Not for threads side by side.
class DigestCache {
public:
    // The digest text; empty when `path` is not a readable file.
    std::string digestOf(const std::wstring& path);

private:
    struct Entry;
    std::map<std::wstring, std::shared_ptr<Entry>> entries_;
};
