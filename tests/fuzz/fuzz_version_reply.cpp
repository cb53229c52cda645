// The version server's file reply as the client reads it, on any bytes: whatever
// arrives, a reply that is not complete never changes the local file and never
// leaves the temporary file behind.

#include "net/VersionReply.h"
#include "tests/fuzz/ScratchDirectory.h"

#include <boost/filesystem.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace {

class BufferSource : public ReplySource {
public:
    BufferSource(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool readSome(char* buffer, std::size_t size, std::size_t& received, std::string& error) override
    {
        if (offset_ == size_) {
            error = "read: End of file";
            return false;
        }
        // Short reads, as a socket gives them.
        received = std::min<std::size_t>({size, size_ - offset_, 4096});
        std::copy(data_ + offset_, data_ + offset_ + received, buffer);
        offset_ += received;
        return true;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t offset_ = 0;
};

std::string readAll(const boost::filesystem::path& path)
{
    std::ifstream in(path.string(), std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    namespace fs = boost::filesystem;
    static const fuzzing::ScratchDirectory scratch("fuzz-reply-%%%%-%%%%");
    const fs::path& dir = scratch.path();
    const fs::path local = dir / "local.bin";
    const fs::path part = dir / "local.bin.part";
    {
        std::ofstream out(local.string(), std::ios::binary | std::ios::trunc);
        out << "previous copy";
    }
    BufferSource source(data, size);
    FetchResult result = FetchResult::Failed;
    {
        StagedFile staged(local.wstring());
        result = receiveFileReply(source, "f.bin", "digest", staged);
        if (result == FetchResult::Fetched && !staged.place().empty())
            std::abort();
    }
    if (fs::exists(part))
        std::abort();
    if (result != FetchResult::Fetched && readAll(local) != "previous copy")
        std::abort();
    if (result == FetchResult::Fetched) {
        // The content follows the code, the skipped text and the two lengths.
        auto length = [data](std::size_t at) {
            return (std::uint32_t(data[at]) << 24) | (std::uint32_t(data[at + 1]) << 16) |
                   (std::uint32_t(data[at + 2]) << 8) | std::uint32_t(data[at + 3]);
        };
        const std::size_t lengthAt = 5 + std::size_t(length(1));
        const std::string content(reinterpret_cast<const char*>(data) + lengthAt + 4, length(lengthAt));
        if (readAll(local) != content)
            std::abort();
    }
    return 0;
}
