#pragma once
// The version protocol, spoken by the starter's client and by our version server
// (tools/version-server): the constants, the framing of requests and replies, and
// the quiet close of a socket both sides use.
//
// A connection opens with the greeting "quiv". Each request is one byte 10, a
// 32-bit big-endian length and the text "name:digest". Each reply is either one
// byte 10, the digest's length and text, the content's length and the content
// (an empty content when the copy named by the digest is current), or the single
// byte 1 when the name is not served. Never throws.

#include <boost/asio/ip/tcp.hpp>

#include <cstddef>
#include <cstdint>
#include <string>

namespace versionprotocol {

const char kService[] = "7455";
const unsigned short kPort = 7455;
const char kGreeting[4] = {'q', 'u', 'i', 'v'};
const unsigned char kFileRequest = 10;
const unsigned char kFileReply = 10;
const unsigned char kNotServed = 1;
// A request head and a length field: one code byte, then a 32-bit length.
const std::size_t kHeadSize = 5;
const std::size_t kLengthSize = 4;

void appendLength(std::string& out, std::uint32_t value);
std::uint32_t readLength(const unsigned char* bytes);

// The whole request frame for `name` with the digest of the copy held.
std::string requestFrame(const std::string& name, const std::string& digest);

// Splits a request text at its last colon. False when there is none.
bool splitRequest(const std::string& text, std::string& name, std::string& digest);

// The head of a file reply; `contentSize` bytes of content follow it.
std::string fileReplyHead(const std::string& digest, std::uint32_t contentSize);

// Cancelling first makes a pending operation end at once on every system
// (some do not end a pending send on close alone). Errors are ignored: the
// socket is done with either way.
void closeQuietly(boost::asio::ip::tcp::socket& socket);

}  // namespace versionprotocol
