#pragma once
// The head of an HTTP reply: where it ends in a connection's buffer (with a
// limit on its length), and what it says. Never throws.

#include <boost/asio/buffers_iterator.hpp>
#include <boost/asio/streambuf.hpp>

#include <cstddef>
#include <cstdint>
#include <istream>
#include <string>
#include <utility>

namespace gametool {

struct ResponseHeader {
    std::string httpVersion;
    std::string reason;
    std::uint32_t statusCode = 0;
    std::uint64_t contentLength = 0;
    bool hasContentLength = false;
    std::uint64_t rangeLength = 0;
    std::uint64_t rangeStart = 0;
    std::uint64_t rangeTotal = 0;
    // As sent; "multipart/byteranges; boundary=..." for a reply of several ranges.
    std::string contentType;
    // The host offers the connection for another request: HTTP/1.1 unless it
    // said "close", HTTP/1.0 only when it said "keep-alive".
    bool keepAlive = false;
};

// Parses a status line and header lines up to the empty line; false when the
// status line is invalid or the status is neither 200 nor 206.
bool parseHeader(std::istream& input, ResponseHeader& header);

// A reply head that has not ended within this many bytes is refused.
const std::size_t kHeaderLimit = 64 * 1024;

using BufferIterator = boost::asio::buffers_iterator<boost::asio::streambuf::const_buffers_type>;

// Completes the head read at the end mark, or once the limit is passed without
// one (the reader then refuses the head).
class HeaderEndMatch {
public:
    typedef std::pair<BufferIterator, bool> result_type;
    explicit HeaderEndMatch(const boost::asio::streambuf* buffer) : buffer_(buffer) {}
    result_type operator()(BufferIterator begin, BufferIterator end) const;

private:
    const boost::asio::streambuf* buffer_;
};

// The length of the head among the first `size` buffered bytes, end mark
// included; false when it has no end there or is longer than the limit.
bool headerEnd(const boost::asio::streambuf& buffer, std::size_t size, std::size_t& length);

}  // namespace gametool
