#include "support/FileDigest.h"

#include "support/FileManager.h"
#include "support/InputFile.h"
#include "support/Sha1.h"

#include <boost/uuid/detail/sha1.hpp>

#include <cstdint>
#include <memory>

namespace {

const std::int64_t kDigestBlock = 64 * 1024;

std::string hexDigest(const unsigned char* bytes, std::size_t count)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    return text;
}

}  // namespace

// The system's implementation when it gives one; the portable one otherwise
// (the system refused a digest object: out of resources), slower but right.
struct StreamDigest::Impl {
    Sha1 system;
    boost::uuids::detail::sha1 portable;
};

StreamDigest::StreamDigest() : impl_(new Impl) {}

StreamDigest::~StreamDigest() = default;

void StreamDigest::update(const void* data, std::size_t size)
{
    if (impl_->system.ready())
        impl_->system.update(data, size);
    else
        impl_->portable.process_bytes(data, size);
}

// A small block read into the stack: lanes that continue parts side by side
// must not each take a large buffer out of a 32-bit address space.
std::int64_t StreamDigest::updateFromFile(const std::wstring& path)
{
    InputFile file(path);
    if (!file.isOpen())
        return -1;
    char block[kDigestBlock];
    std::int64_t total = 0;
    for (;;) {
        const std::int64_t got = file.read(block, kDigestBlock);
        if (got < 0)
            return -1;
        if (got > 0)
            update(block, static_cast<std::size_t>(got));
        total += got;
        if (got != kDigestBlock)
            return total;
    }
}

std::string StreamDigest::finish()
{
    if (impl_->system.ready()) {
        std::array<unsigned char, 20> digest = impl_->system.finish();
        return hexDigest(digest.data(), digest.size());
    }
    unsigned int words[5];
    impl_->portable.get_digest(words);
    unsigned char bytes[20];
    for (int i = 0; i < 5; ++i)
        for (int j = 0; j < 4; ++j)
            bytes[i * 4 + j] = static_cast<unsigned char>(words[i] >> (24 - 8 * j));
    return hexDigest(bytes, sizeof bytes);
}

std::string computeFileSha1(const std::wstring& path)
{
    StreamDigest digest;
    digest.updateFromFile(path);
    return digest.finish();
}

struct DigestCache::Entry {
    FileManager::Stamp stamp;
    std::string digest;
};

std::string DigestCache::digestOf(const std::wstring& path)
{
    FileManager::Stamp before;
    if (!FileManager::instance().stampOf(path, before)) {
        entries_.erase(path);
        return std::string();
    }
    std::shared_ptr<Entry>& entry = entries_[path];
    if (entry && entry->stamp == before)
        return entry->digest;
    StreamDigest digest;
    FileManager::Stamp after;
    // A file written while it was read is read again next time.
    if (digest.updateFromFile(path) < 0 || !FileManager::instance().stampOf(path, after) ||
        !(after == before)) {
        entries_.erase(path);
        return computeFileSha1(path);
    }
    entry = std::make_shared<Entry>(Entry{before, digest.finish()});
    return entry->digest;
}
