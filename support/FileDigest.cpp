#include "support/FileDigest.h"

#include "support/InputFile.h"
#include "support/Sha1.h"

#include <boost/uuid/detail/sha1.hpp>

#include <cstdint>
#include <memory>

namespace {

const std::int64_t kDigestBlock = 20 * 1024 * 1024;
const std::int64_t kFirstDigestBlock = 64 * 1024;

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

// Most files of an installation fit in the first, small block: only a larger
// file pays for the large buffer.
std::int64_t StreamDigest::updateFromFile(const std::wstring& path)
{
    InputFile file(path);
    if (!file.isOpen())
        return -1;
    char first[kFirstDigestBlock];
    const std::int64_t firstGot = file.read(first, kFirstDigestBlock);
    if (firstGot < 0)
        return -1;
    if (firstGot > 0)
        update(first, static_cast<std::size_t>(firstGot));
    if (firstGot != kFirstDigestBlock)
        return firstGot;
    std::unique_ptr<char[]> buffer(new char[kDigestBlock]);
    std::int64_t total = firstGot;
    for (;;) {
        std::int64_t got = file.read(buffer.get(), kDigestBlock);
        if (got < 0)
            return -1;
        if (got > 0)
            update(buffer.get(), static_cast<std::size_t>(got));
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
