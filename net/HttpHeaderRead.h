#pragma once
// Reading an HTTP reply's head from a connection's buffer: where it ends, and
// a limit on its length. Shared by the connection and its parser's tests.

#include <boost/asio/buffers_iterator.hpp>
#include <boost/asio/streambuf.hpp>

#include <cstddef>
#include <utility>

namespace gametool {

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
