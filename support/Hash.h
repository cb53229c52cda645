#pragma once
// Message digests through the system's own implementation (OpenSSL on POSIX, CNG on
// Windows): SHA-1 names the files the servers describe, SHA-256 backs signed releases.

#include <cstddef>
#include <memory>
#include <vector>

enum class HashKind { Sha1, Sha256 };

class Hash {
public:
    explicit Hash(HashKind kind);
    ~Hash();
    Hash(const Hash&) = delete;
    Hash& operator=(const Hash&) = delete;

    // False when the system could not set up a computation; nothing else works then.
    bool ready() const;
    void update(const void* data, std::size_t size);
    // 20 bytes for SHA-1, 32 for SHA-256; the object is spent afterwards.
    std::vector<unsigned char> finish();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
