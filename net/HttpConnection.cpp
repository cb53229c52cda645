#include "net/HttpConnection.h"

#include "net/FileDownloader.h"
#include "net/VersionProtocol.h"
#include "support/Log.h"
#include "support/MultipartRanges.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <sstream>

namespace gametool {

namespace {

using boost::asio::ip::tcp;
using boost::system::error_code;

const char kService[] = "80";
// The least one body read asks for when the host ends the reply by closing:
// enough to see the end, or bytes beyond the announced total.
const std::size_t kLeastPiece = 4096;

// One asynchronous step's outcome. Shared with its handler, which may run
// after the step was given up (a resolution that cannot be cancelled).
struct Step {
    error_code error;
    std::size_t size = 0;
    bool done = false;
    tcp::resolver::results_type endpoints;
};

// The handler of every kind of step: it only records the outcome.
struct Completion {
    std::shared_ptr<Step> step;
    void operator()(const error_code& error, std::size_t size) const { finish(error).size = size; }
    void operator()(const error_code& error, const tcp::endpoint&) const { finish(error); }
    void operator()(const error_code& error, tcp::resolver::results_type results) const
    {
        finish(error).endpoints = std::move(results);
    }
    Step& finish(const error_code& error) const
    {
        step->error = error;
        step->done = true;
        return *step;
    }
};

// Starts one asynchronous step under the deadline and runs `io` on this thread
// until its handler ran. A resolution is given up when the deadline fires,
// since the system call under it cannot be cut short.
template <class Start>
std::shared_ptr<Step> runStep(boost::asio::io_context& io, ConnectionDeadline& deadline, Start start,
                              bool giveUpOnExpiry = false)
{
    auto step = std::make_shared<Step>();
    deadline.arm();
    start(Completion{step});
    io.restart();
    while (!step->done && !(giveUpOnExpiry && deadline.expired()) && io.run_one() > 0) {
    }
    deadline.disarm();
    return step;
}

std::string failureText(const char* what, const error_code& error)
{
    return std::string(what) + " " + error.message();
}

}  // namespace

const char kBodyBeyondTotal[] = "服务器返回的数据超出文件尺寸";

std::string requestText(const std::string& host, const HttpRequest& request)
{
    const std::string last = request.closed() ? std::to_string(request.last) : std::string();
    const std::string range =
        request.ranges.empty() ? "bytes=" + std::to_string(request.first) + "-" + last : request.ranges;
    return "GET /" + request.path + " HTTP/1.0\r\nHost: " + host +
           "\r\nAccept: */*\r\nConnection: keep-alive\r\nRange: " + range + "\r\n\r\n";
}

RequestQueue::Use RequestQueue::useFor(const std::string& host, const HttpRequest& request,
                                       const char*& reason) const
{
    reason = nullptr;
    if (!open_)
        return Use::Reconnect;
    if (host_ != host) {
        reason = "连接的是另一个服务器";
        return Use::Reconnect;
    }
    if (due_.empty())
        return Use::Send;
    if (due_.front() == request)
        return Use::TakeReply;
    // The reply to something else would come first.
    reason = "连接上先到的是其他请求的回复";
    return Use::Reconnect;
}

const char* RequestQueue::keepAfter(bool hostKeeps, bool endedAtLength, bool extraBuffered) const
{
    if (!hostKeeps)
        return "服务器不保持连接";
    if (!endedAtLength)
        return "回复没有标明长度";
    // Bytes behind the last reply that no request asked for are the host's error.
    if (extraBuffered && due_.empty())
        return "服务器返回了未请求的数据";
    return nullptr;
}

void RequestQueue::opened(const std::string& host)
{
    open_ = true;
    host_ = host;
    due_.clear();
}

void RequestQueue::closed()
{
    open_ = false;
    due_.clear();
}

HttpConnection::HttpConnection(std::size_t bodyPiece)
    : deadline_(io_, [this] { closeSocket(); }), bodyPiece_(std::max(bodyPiece, std::size_t(64 * 1024)))
{
    TransferLimits limits;
    limits.step = kDefaultStepDeadline;
    deadline_.setLimits(limits);
}

HttpConnection::~HttpConnection()
{
    closeSocket();
}

void HttpConnection::setLimits(const TransferLimits& limits, std::shared_ptr<RateShare> share)
{
    deadline_.setLimits(limits, std::move(share));
}

void HttpConnection::closeSocket()
{
    versionprotocol::closeQuietly(socket_);
    resolver_.cancel();
}

void HttpConnection::drop(const char* reason, const std::string& path)
{
    if (reason && socket_.is_open())
        Log::instance().write(std::string("不再使用连接:") + reason, transferPlace(path, queue_.host()));
    closeSocket();
    queue_.closed();
    reused_ = false;
    buffer_.consume(buffer_.size());
}

std::string HttpConnection::connect(const std::string& host)
{
    drop();
    // Under the step deadline like every other step.
    const auto resolved = runStep(
        io_, deadline_,
        [&](Completion done) {
            resolver_.async_resolve(host, kService,
                                    tcp::resolver::all_matching | tcp::resolver::numeric_service, done);
        },
        true);
    if (!resolved->done || resolved->error) {
        const error_code error =
            resolved->done ? resolved->error : make_error_code(boost::asio::error::timed_out);
        return failureText("主机解析错误：", error);
    }
    const auto connected = runStep(io_, deadline_, [&](Completion done) {
        boost::asio::async_connect(socket_, resolved->endpoints, done);
    });
    if (connected->error) {
        closeSocket();
        return failureText("连接到服务器失败：", connected->error);
    }
    queue_.opened(host);
    return std::string();
}

std::string HttpConnection::send(const std::string& text)
{
    const auto sent = runStep(io_, deadline_, [&](Completion done) {
        boost::asio::async_write(socket_, boost::asio::buffer(text), done);
    });
    return sent->error ? failureText("服务器请求发送失败", sent->error) : std::string();
}

std::string HttpConnection::request(const std::string& host, const HttpRequest& request,
                                    const std::vector<HttpRequest>& ahead)
{
    deadline_.startTransfer();
    const char* reason = nullptr;
    const RequestQueue::Use use = queue_.useFor(host, request, reason);
    reused_ = use != RequestQueue::Use::Reconnect;
    if (use == RequestQueue::Use::TakeReply)
        return std::string();
    if (use == RequestQueue::Use::Reconnect) {
        drop(reason, request.path);
        const std::string failed = connect(host);
        if (!failed.empty())
            return failed;
    }
    std::vector<HttpRequest> batch{request};
    batch.insert(batch.end(), ahead.begin(), ahead.end());
    return sendAll(batch);
}

// The text of every request is made anew for each connection, so that nothing
// a failed write left behind goes out twice.
std::string HttpConnection::sendAll(const std::vector<HttpRequest>& batch)
{
    std::string text;
    for (const HttpRequest& each : batch)
        text += requestText(queue_.host(), each);
    const std::string failed = send(text);
    if (failed.empty()) {
        for (const HttpRequest& each : batch)
            queue_.sent(each);
        return failed;
    }
    if (reconnectForRetry())
        return sendAll(batch);
    drop();
    return failed;
}

// A kept connection that the host closed meanwhile fails before any byte of a
// reply: the requests still due go out once more on a new connection.
bool HttpConnection::reconnectForRetry()
{
    if (!reused_ || buffer_.size() > 0)
        return false;
    reused_ = false;
    const std::string host = queue_.host();
    return connect(host).empty();
}

std::string HttpConnection::readHead(ResponseHeader& header)
{
    const auto read = runStep(io_, deadline_, [&](Completion done) {
        boost::asio::async_read_until(socket_, buffer_, HeaderEndMatch(&buffer_), done);
    });
    std::size_t headLength = 0;
    error_code error = read->error;
    if (!error && !headerEnd(buffer_, read->size, headLength))
        error = boost::asio::error::message_size;
    if (error) {
        const std::vector<HttpRequest> due = queue_.dueRequests();
        if (error != boost::asio::error::message_size && !due.empty() && reconnectForRetry() &&
            sendAll(due).empty())
            return readHead(header);
        const bool slow = deadline_.tooSlow();
        drop();
        return slow ? std::string("传输过慢，已中断:") : failureText("接收头部信息失败", error);
    }
    deadline_.received(headLength);
    // Only the head's own bytes go to the parser; the body's start stays buffered.
    std::istringstream head(std::string(static_cast<const char*>(buffer_.data().data()), headLength));
    buffer_.consume(headLength);
    if (!parseHeader(head, header)) {
        drop();
        return "解析头部信息失败";
    }
    return std::string();
}

std::string HttpConnection::readBody(std::uint64_t size, bool toClose, const BodySink& sink, bool& sinkFailed)
{
    sinkFailed = false;
    std::uint64_t left = size;
    for (;;) {
        std::size_t buffered = buffer_.size();
        if (buffered > left) {
            // Behind a reply that ends at its length may come the next one.
            if (toClose) {
                drop();
                return kBodyBeyondTotal;
            }
            buffered = std::size_t(left);
        }
        if (buffered > 0) {
            if (!sink(static_cast<const char*>(buffer_.data().data()), buffered)) {
                sinkFailed = true;
                drop();
                return "写文件失败";
            }
            buffer_.consume(buffered);
            deadline_.received(buffered);
            left -= buffered;
        }
        if (left == 0 && !toClose)
            return std::string();
        // Asking for no more than the rest keeps a buffer that small files
        // share from growing (and being zero-filled) beyond what they need.
        const std::uint64_t most = std::min<std::uint64_t>(left, bodyPiece_);
        const std::size_t piece = std::size_t(toClose ? std::max<std::uint64_t>(kLeastPiece, most) : most);
        const auto read = runStep(
            io_, deadline_, [&](Completion done) { socket_.async_read_some(buffer_.prepare(piece), done); });
        buffer_.commit(read->size);
        if (!read->error)
            continue;
        const bool slow = deadline_.tooSlow();
        const std::string where = queue_.due() > 0 ? transferPlace(queue_.oldest().path, queue_.host()) : "";
        drop();
        if (read->error == boost::asio::error::eof)
            return left == 0 ? std::string() : failureText("连接断开：", read->error);
        // The counts already match: a host that said it closes and does not is
        // cut by the deadline, and the content is whole.
        if (left == 0 && toClose) {
            Log::instance().write(failureText("下载文件内容失败：", read->error), where);
            return std::string();
        }
        return slow ? std::string("传输过慢，已中断:") : failureText("下载文件内容失败：", read->error);
    }
}

HeadCheck exactRange(const HttpRequest& request)
{
    return [request](const ResponseHeader& header, std::uint64_t& size) {
        const std::uint64_t last = request.closed() ? request.last : header.rangeTotal - 1;
        if (header.statusCode != 206 || header.rangeTotal == 0 || header.rangeStart != request.first ||
            header.rangeStart + header.rangeLength - 1 != last)
            return std::string("服务器没有返回请求的文件范围: ") + std::to_string(header.statusCode);
        size = header.rangeLength;
        return std::string();
    };
}

RangesReply rangesReply(std::uint64_t fileSize,
                        std::function<bool(std::uint64_t offset, const char* data, std::size_t size)> parts)
{
    // Shared by the check and the sink: the head says how the body is read.
    struct State {
        std::unique_ptr<MultipartRangesReader> reader;
        std::uint64_t offset = 0;  // of the next byte of a plain range
        std::string failure;
    };
    const auto state = std::make_shared<State>();
    RangesReply reply;
    reply.check = [state, fileSize](const ResponseHeader& header, std::uint64_t& size) {
        if (header.statusCode != 206 || !header.hasContentLength)
            return std::string("服务器没有返回请求的文件范围: ") + std::to_string(header.statusCode);
        std::string boundary;
        if (multipartBoundary(header.contentType, boundary)) {
            state->reader.reset(new MultipartRangesReader(boundary, fileSize));
        } else if (header.rangeTotal != fileSize || header.rangeLength != header.contentLength) {
            return std::string("服务器没有返回请求的文件范围: ") + std::to_string(header.statusCode);
        } else {
            state->offset = header.rangeStart;
        }
        size = header.contentLength;
        return std::string();
    };
    reply.sink = [state, parts](const char* data, std::size_t size) {
        if (state->reader)
            return state->reader->feed(data, size, parts, state->failure);
        const std::uint64_t at = state->offset;
        state->offset += size;
        if (parts(at, data, size))
            return true;
        state->failure = "数据无法写入";
        return false;
    };
    reply.failure = [state] {
        if (state->reader && !state->reader->finished() && state->failure.empty())
            return std::string("多段回复不完整");
        return state->failure;
    };
    return reply;
}

Exchange HttpConnection::fetch(const std::string& host, const HttpRequest& request,
                               const std::vector<HttpRequest>& ahead, const HeadCheck& check,
                               const BodySink& sink)
{
    Exchange exchange;
    exchange.failure = this->request(host, request, ahead);
    if (exchange.failure.empty())
        exchange.failure = readHead(exchange.header);
    std::uint64_t size = 0;
    if (exchange.failure.empty())
        exchange.failure = check(exchange.header, size);
    if (!exchange.failure.empty()) {
        drop();
        return exchange;
    }
    const ResponseHeader& header = exchange.header;
    // A reply of announced length on a connection the host keeps ends with its
    // last byte; any other is read to the connection's end, so that a byte too
    // many is seen and none is left for the next request.
    const bool endsAtLength = header.keepAlive && header.hasContentLength && header.contentLength == size;
    exchange.failure = readBody(size, !endsAtLength, sink, exchange.sinkFailed);
    if (exchange.failure.empty())
        finishReply(header, endsAtLength);
    return exchange;
}

void HttpConnection::finishReply(const ResponseHeader& header, bool endedAtLength)
{
    deadline_.endTransfer();
    if (!queue_.isOpen())
        return;
    const std::string path = queue_.oldest().path;
    queue_.answered();
    const char* reason = queue_.keepAfter(header.keepAlive, endedAtLength, buffer_.size() > 0);
    if (reason)
        drop(reason, path);
}

}  // namespace gametool
