#pragma once
// One HTTP/1.0 connection to port 80 of a host, kept from one reply to the
// next when the host allows it: the socket, the response buffer, the queue of
// requests sent whose replies have not been read, and the one deadline. Several
// requests may go out before their replies are read (any depth); the replies
// come in the order asked. Whether the connection is kept after a reply, or
// dropped before a request, is decided in one place (RequestQueue) and a drop
// that no failure explains is logged with its reason and host.
//
// Each step runs the connection's own I/O context on the calling thread until
// it ends; one connection serves one thread at a time. Throws only when
// memory runs out.

#include "net/HttpHeader.h"
#include "net/TransferDeadline.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/streambuf.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace gametool {

// The bytes of `path` from `first` to `last` inclusive; to the end of the file
// when `last` is kToEnd ("bytes=N-"), else a closed range ("bytes=A-B"). With
// `ranges` set (rangeHeaderValue of MultipartRanges.h), several ranges instead:
// that is the Range value, and first and last are not used.
struct HttpRequest {
    static constexpr std::uint64_t kToEnd = ~std::uint64_t(0);
    std::string path;
    std::uint64_t first = 0;
    std::uint64_t last = kToEnd;
    std::string ranges;

    bool closed() const { return last != kToEnd; }
    bool operator==(const HttpRequest& other) const
    {
        return path == other.path && first == other.first && last == other.last && ranges == other.ranges;
    }
};

// The failure text of a body longer than its reply announced.
extern const char kBodyBeyondTotal[];

// The request's text as it goes on the wire.
std::string requestText(const std::string& host, const HttpRequest& request);

// What a connection holds between steps, and the decisions on it: whether a
// request can use it, and whether it is kept after a reply. No socket: tested
// on its own.
class RequestQueue {
public:
    enum class Use {
        TakeReply,  // the request was sent ahead: its reply comes next
        Send,       // the connection is idle and goes to the host: send on it
        Reconnect,  // drop it (a reason is given when one was open) and connect again
    };

    // Before `request` to `host`; `reason` says why an open connection is of no use.
    Use useFor(const std::string& host, const HttpRequest& request, const char*& reason) const;

    // After a reply read to its announced end. `hostKeeps`: the host offered the
    // connection; `extraBuffered`: bytes beyond the reply are buffered. Null when
    // kept, else why not.
    const char* keepAfter(bool hostKeeps, bool endedAtLength, bool extraBuffered) const;

    void opened(const std::string& host);
    void sent(const HttpRequest& request) { due_.push_back(request); }
    // The oldest request's reply was read.
    void answered() { due_.pop_front(); }
    void closed();

    bool isOpen() const { return open_; }
    const std::string& host() const { return host_; }
    std::size_t due() const { return due_.size(); }
    const HttpRequest& oldest() const { return due_.front(); }
    std::vector<HttpRequest> dueRequests() const { return {due_.begin(), due_.end()}; }

private:
    bool open_ = false;
    std::string host_;
    std::deque<HttpRequest> due_;
};

// Takes a reply's body bytes in order; false when they cannot be kept (the
// sink says why through its own means).
using BodySink = std::function<bool(const char* data, std::size_t size)>;

// What a reply's head comes to: empty to take a body of `size` bytes, else why
// not (the text logged).
using HeadCheck = std::function<std::string(const ResponseHeader& header, std::uint64_t& size)>;

// Takes a closed range's reply: 206 with exactly the bytes asked for.
HeadCheck exactRange(const HttpRequest& request);

// The reply to a request of several ranges of a file of `fileSize` bytes: 206
// of announced length (so the connection is kept), multipart/byteranges or one
// plain range (a host may join ranges), each part's bytes handed to `parts`
// with their offset. Which ranges came is the caller's to check.
struct RangesReply {
    HeadCheck check;
    BodySink sink;
    // Why the body was refused (a malformed part, or `parts` said no).
    std::function<std::string()> failure;
};
RangesReply rangesReply(std::uint64_t fileSize,
                        std::function<bool(std::uint64_t offset, const char* data, std::size_t size)> parts);

// How one request and its reply went.
struct Exchange {
    ResponseHeader header;
    // Empty when the body arrived whole; else the text to log.
    std::string failure;
    // The sink refused the body: this machine's fault, not the host's.
    bool sinkFailed = false;
};

class HttpConnection {
public:
    // The most one body read takes; connections that run side by side take less each.
    static constexpr std::size_t kDefaultBodyPiece = 1024 * 1024;
    static constexpr std::chrono::seconds kDefaultStepDeadline{6};

    explicit HttpConnection(std::size_t bodyPiece = kDefaultBodyPiece);
    ~HttpConnection();
    HttpConnection(const HttpConnection&) = delete;
    HttpConnection& operator=(const HttpConnection&) = delete;

    void setLimits(const TransferLimits& limits, std::shared_ptr<RateShare> share = nullptr);
    const TransferLimits& limits() const { return deadline_.limits(); }

    // One request from its sending to its reply's last byte, given to `sink`:
    // the head must pass `check`, which says how long the body is. `ahead` go
    // out behind it; their replies are taken by later calls for the same requests.
    Exchange fetch(const std::string& host, const HttpRequest& request, const std::vector<HttpRequest>& ahead,
                   const HeadCheck& check, const BodySink& sink);

    // Closes the connection with whatever of it was buffered; `reason`, when
    // given, is logged with the file at hand and the host.
    void drop(const char* reason = nullptr, const std::string& path = std::string());

    // The last step failed because the least rate was not kept.
    bool tooSlow() const { return deadline_.tooSlow(); }
    const RequestQueue& queue() const { return queue_; }

private:
    // The steps of fetch().
    // Makes sure the reply to `request` comes next: taken when it was asked for
    // ahead, else sent with `ahead` behind it on an idle connection to `host` or
    // a new one. The transfer's rate is counted from here. Empty when done, else
    // the failure's text.
    std::string request(const std::string& host, const HttpRequest& request,
                        const std::vector<HttpRequest>& ahead = {});

    // Reads the next reply's head. Empty when done, else the failure's text.
    std::string readHead(ResponseHeader& header);

    // Reads `size` bytes of the body into `sink`. With `toClose`, the host ends
    // the reply by closing: the body is read to the end of the connection, and
    // a byte beyond `size` fails. Empty when done, else the failure's text;
    // `sinkFailed` tells a refusing sink from the host.
    std::string readBody(std::uint64_t size, bool toClose, const BodySink& sink, bool& sinkFailed);

    // The reply to the oldest request ended at its announced length: the
    // connection is kept for the next one or dropped, and a drop is logged.
    void finishReply(const ResponseHeader& header, bool endedAtLength);
    std::string connect(const std::string& host);
    std::string send(const std::string& text);
    std::string sendAll(const std::vector<HttpRequest>& batch);
    bool reconnectForRetry();
    void closeSocket();

    // Declared first: the handlers still queued in it refer to the members
    // below, and are dropped unrun when it goes last.
    boost::asio::io_context io_;
    boost::asio::ip::tcp::socket socket_{io_};
    boost::asio::ip::tcp::resolver resolver_{io_};
    ConnectionDeadline deadline_;
    // Grows only as far as the replies needed, up to one body piece.
    boost::asio::streambuf buffer_;
    RequestQueue queue_;
    // The current request went out on a connection an earlier reply left open.
    bool reused_ = false;
    const std::size_t bodyPiece_;
};

}  // namespace gametool
