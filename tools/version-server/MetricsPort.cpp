#include "MetricsPort.h"

#include "AcceptLater.h"

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <vector>

namespace versionserver {

using boost::asio::ip::tcp;
using boost::system::error_code;

namespace {

const std::size_t kMetricsReadPiece = 512;
const std::size_t kMaxMetricsMethod = 16;

const char* reasonOf(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    default:
        return "Bad Request";
    }
}

bool controlByte(unsigned char c)
{
    return (c < 0x20 && c != '\r' && c != '\n' && c != '\t') || c == 0x7f;
}

// The first bytes of a request line still on their way: no control bytes, and
// a method of capital letters so far.
bool plausibleStart(const std::string& partial)
{
    const std::size_t space = std::min(partial.find(' '), partial.size());
    return space <= kMaxMetricsMethod &&
           std::all_of(partial.begin(), partial.begin() + std::ptrdiff_t(space),
                       [](char c) { return c >= 'A' && c <= 'Z'; }) &&
           std::none_of(partial.begin(), partial.end(),
                        [](char c) { return controlByte(static_cast<unsigned char>(c)); });
}

}  // namespace

bool parseMetricsAddress(const std::string& text, tcp::endpoint& endpoint)
{
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size() || text.size() - colon - 1 > 5) {
        return false;
    }
    std::string host = text.substr(0, colon);
    if (host.front() == '[') {
        if (host.size() < 3 || host.back() != ']') {
            return false;
        }
        host = host.substr(1, host.size() - 2);
    } else if (host.find(':') != std::string::npos) {
        return false;  // an IPv6 address needs its brackets
    }
    unsigned long port = 0;
    for (std::size_t i = colon + 1; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
        port = port * 10 + unsigned(text[i] - '0');
    }
    error_code error;
    const auto address = boost::asio::ip::make_address(host, error);
    if (error || port == 0 || port > 65535) {
        return false;
    }
    endpoint = tcp::endpoint(address, static_cast<unsigned short>(port));
    return true;
}

int metricsStatusFor(const std::string& head, bool& headOnly)
{
    headOnly = false;
    if (std::any_of(head.begin(), head.end(),
                    [](char c) { return controlByte(static_cast<unsigned char>(c)); })) {
        return 400;
    }
    std::size_t lineEnd = head.find('\n');
    if (lineEnd == std::string::npos) {
        lineEnd = head.size();
    }
    std::string line = head.substr(0, lineEnd);
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    // METHOD SP TARGET SP HTTP/d.d
    const std::size_t first = line.find(' ');
    const std::size_t second = first == std::string::npos ? first : line.find(' ', first + 1);
    if (second == std::string::npos || line.find(' ', second + 1) != std::string::npos) {
        return 400;
    }
    const std::string method = line.substr(0, first);
    const std::string target = line.substr(first + 1, second - first - 1);
    const std::string version = line.substr(second + 1);
    if (method.empty() || method.size() > kMaxMetricsMethod ||
        !std::all_of(method.begin(), method.end(), [](char c) { return c >= 'A' && c <= 'Z'; }) ||
        target.empty() || target[0] != '/' || version.size() != 8 || version.compare(0, 5, "HTTP/") != 0 ||
        version[5] < '0' || version[5] > '9' || version[6] != '.' || version[7] < '0' || version[7] > '9') {
        return 400;
    }
    if (target.substr(0, target.find('?')) != "/metrics") {
        return 404;
    }
    if (method == "HEAD") {
        headOnly = true;
        return 200;
    }
    return method == "GET" ? 200 : 405;
}

class MetricsPort::Exchange : public std::enable_shared_from_this<Exchange> {
public:
    Exchange(MetricsPort& port, tcp::socket socket)
        : port_(port), socket_(std::move(socket)), timer_(port.io_)
    {
    }

    void start()
    {
        error_code ignored;
        const tcp::endpoint remote = socket_.remote_endpoint(ignored);
        peer_ = remote.address().to_string() + ":" + std::to_string(remote.port());
        // One deadline for the whole exchange: request, answer and the wait for the client's close.
        timer_.expires_after(port_.deadline_);
        auto self = shared_from_this();
        timer_.async_wait([self](const error_code& error) {
            if (!error) {
                self->close();
            }
        });
        read();
    }

    // Idempotent; leaves the port's list at once.
    void close()
    {
        if (closed_) {
            return;
        }
        closed_ = true;
        error_code ignored;
        socket_.close(ignored);
        timer_.cancel(ignored);
        port_.open_.erase(place);
    }

    std::list<std::shared_ptr<Exchange>>::iterator place;

private:
    void read()
    {
        // One byte past the bound is enough to know a head is too long.
        const std::size_t old = in_.size();
        const std::size_t room = std::min(kMetricsReadPiece, kMaxMetricsRequest + 1 - old);
        in_.resize(old + room);
        auto self = shared_from_this();
        socket_.async_read_some(boost::asio::buffer(&in_[old], room),
                                [self, old](const error_code& error, std::size_t received) {
                                    self->in_.resize(old + received);
                                    if (self->closed_) {
                                        return;
                                    }
                                    if (error) {
                                        self->close();
                                        return;
                                    }
                                    self->parse();
                                });
    }

    void parse()
    {
        std::size_t end = in_.find("\r\n\r\n");
        if (end == std::string::npos) {
            end = in_.find("\n\n");
        }
        bool headOnly = false;
        if (end != std::string::npos) {
            answer(metricsStatusFor(in_.substr(0, end), headOnly), headOnly);
            return;
        }
        // Garbage is answered as soon as it shows, not when the deadline passes.
        const bool lineComplete = in_.find('\n') != std::string::npos;
        if (in_.size() > kMaxMetricsRequest || (lineComplete && metricsStatusFor(in_, headOnly) == 400) ||
            (!lineComplete && !plausibleStart(in_))) {
            answer(400, false);
            return;
        }
        read();
    }

    void answer(int status, bool headOnly)
    {
        in_.clear();
        in_.shrink_to_fit();
        std::string body = status == 200 ? port_.render_() : std::string(reasonOf(status)) + "\n";
        if (status != 200) {
            port_.log_.line("version-server: metrics port answered " + std::to_string(status) + " to " +
                            peer_);
        }
        out_ = "HTTP/1.1 " + std::to_string(status) + " " + reasonOf(status) + "\r\n" +
               (status == 200 ? "Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
                              : "Content-Type: text/plain; charset=utf-8\r\n") +
               (status == 405 ? "Allow: GET, HEAD\r\n" : "") +
               "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
        if (!headOnly) {
            out_ += body;
        }
        auto self = shared_from_this();
        boost::asio::async_write(socket_, boost::asio::buffer(out_),
                                 [self](const error_code& error, std::size_t) {
                                     if (self->closed_) {
                                         return;
                                     }
                                     self->out_.clear();
                                     self->out_.shrink_to_fit();
                                     if (error) {
                                         self->close();
                                         return;
                                     }
                                     // Closing with unread bytes in the socket (the rest of an overlong
                                     // request) would reset the connection and could destroy the answer
                                     // before the client reads it: end the sending side and read what is
                                     // left until the client closes or the deadline passes.
                                     error_code ignored;
                                     self->socket_.shutdown(tcp::socket::shutdown_send, ignored);
                                     self->drain();
                                 });
    }

    void drain()
    {
        in_.resize(kMetricsReadPiece);
        auto self = shared_from_this();
        socket_.async_read_some(boost::asio::buffer(&in_[0], in_.size()),
                                [self](const error_code& error, std::size_t) {
                                    if (self->closed_) {
                                        return;
                                    }
                                    if (error) {
                                        self->close();
                                        return;
                                    }
                                    self->drain();
                                });
    }

    MetricsPort& port_;
    tcp::socket socket_;
    boost::asio::steady_timer timer_;
    std::string peer_;
    std::string in_;
    std::string out_;
    bool closed_ = false;
};

MetricsPort::MetricsPort(boost::asio::io_context& io, const tcp::endpoint& endpoint, Render render,
                         RequestLog& log, std::chrono::milliseconds deadline)
    : io_(io), acceptor_(io), retry_(io), render_(std::move(render)), log_(log), deadline_(deadline)
{
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(tcp::acceptor::reuse_address(true));
    acceptor_.bind(endpoint);
    acceptor_.listen();
    accept();
}

MetricsPort::~MetricsPort()
{
    stop();
}

void MetricsPort::stop()
{
    if (stopping_) {
        return;
    }
    stopping_ = true;
    error_code ignored;
    acceptor_.close(ignored);
    retry_.cancel(ignored);
    const std::vector<std::shared_ptr<Exchange>> all(open_.begin(), open_.end());
    for (const auto& exchange : all) {
        exchange->close();
    }
}

void MetricsPort::accept()
{
    acceptor_.async_accept([this](const error_code& error, tcp::socket socket) {
        if (stopping_) {
            return;
        }
        if (error) {
            acceptLater(retry_, stopping_, [this] { accept(); });
            return;
        }
        if (open_.size() >= kMaxMetricsConnections) {
            // Held here: close() drops the list's reference.
            const std::shared_ptr<Exchange> oldest = open_.front();
            oldest->close();
        }
        auto exchange = std::make_shared<Exchange>(*this, std::move(socket));
        exchange->place = open_.insert(open_.end(), exchange);
        exchange->start();
        accept();
    });
}

}  // namespace versionserver
