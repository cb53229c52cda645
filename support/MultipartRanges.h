#pragma once
// Several ranges of one file in one request: the Range header that asks for them
// and the reader of the multipart/byteranges reply, so that a block sync pays
// one request head for many missing ranges rather than one each.
//
// The reader takes the reply body in pieces as they arrive and hands each part's
// bytes on with their offset in the file. A part head is at most 1 KiB, every
// part must carry a Content-Range inside the file (and name the file's size);
// anything else is refused with a reason, and no byte of a refused part is handed
// on. Nothing here throws.

#include "support/BlockIndex.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// How many ranges a request asks for at most: keeps the request head within the
// 8 KiB of header line a server such as nginx takes by default.
const std::size_t kMaxRangesPerRequest = 64;

// "bytes=a-b,c-d,..." for the Range header (inclusive ends, as HTTP counts).
std::string rangeHeaderValue(const std::vector<ByteRange>& ranges);

// The boundary of a Content-Type value "multipart/byteranges; boundary=X";
// false when it is not one, or the boundary is empty or over 70 characters.
bool multipartBoundary(const std::string& contentType, std::string& boundary);

class MultipartRangesReader {
public:
    // Takes the bytes of a part; false to stop the reading.
    using Sink = std::function<bool(std::uint64_t offset, const char* data, std::size_t size)>;

    MultipartRangesReader(std::string boundary, std::uint64_t fileSize);

    // Feeds the next bytes of the body. False with a reason when they break the
    // form above or the sink refused; the reader is spent then.
    bool feed(const char* data, std::size_t size, const Sink& sink, std::string& reason);
    // The closing delimiter has been read.
    bool finished() const { return state_ == State::Done; }

private:
    enum class State { Head, Body, Done, Failed };
    bool parseHead(std::size_t headEnd, std::string& reason);

    std::string delimiter_;  // "--" and the boundary
    std::uint64_t fileSize_;
    State state_ = State::Head;
    std::string head_;
    std::uint64_t offset_ = 0;     // of the next body byte in the file
    std::uint64_t remaining_ = 0;  // of the current part
};
