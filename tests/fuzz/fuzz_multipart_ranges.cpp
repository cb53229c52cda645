// A multipart/byteranges reply body as the block sync reads it, on any bytes
// and fed in pieces whose sizes the input chooses: every byte handed on lies in
// the file, and nothing is handed on after a refusal.

#include "support/MultipartRanges.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    const std::uint64_t kFileSize = 100000;
    const std::size_t piece = 1 + data[0] % 64;
    const char* body = reinterpret_cast<const char*>(data + 1);
    const std::size_t length = size - 1;

    MultipartRangesReader reader("0001", kFileSize);
    bool refused = false;
    std::string reason;
    for (std::size_t at = 0; at < length; at += piece) {
        const std::size_t now = std::min(piece, length - at);
        const bool ok = reader.feed(
            body + at, now,
            [&](std::uint64_t offset, const char*, std::size_t bytes) {
                if (bytes == 0 || offset + bytes > kFileSize || refused)
                    std::abort();
                return true;
            },
            reason);
        refused = refused || !ok;
        if (reader.finished())
            break;
    }
    std::string boundary;
    multipartBoundary(std::string(body, length), boundary);
    return 0;
}
