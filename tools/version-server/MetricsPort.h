#pragma once
// The port a monitoring system scrapes: plain HTTP/1.x, one request per
// connection, and only "GET /metrics" (or HEAD) is answered with the figures.
// Any other path gets 404, any other method 405, a request that is not HTTP or
// whose head passes kMaxMetricsRequest bytes gets 400; each connection is closed
// after its one answer, or when its deadline passes. Separate from the protocol
// port in everything (acceptor, connections, caps), so nothing here can cost a
// player a connection. At most kMaxMetricsConnections are open, the oldest
// closed to make room; each holds at most its request head and its answer.
// Runs on the server's network thread. Never throws after construction.

#include "RequestLog.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <string>

namespace versionserver {

const std::size_t kMaxMetricsRequest = 4096;
const std::size_t kMaxMetricsConnections = 8;

// "ADDR:PORT" or "[IPv6]:PORT"; false when it is neither.
bool parseMetricsAddress(const std::string& text, boost::asio::ip::tcp::endpoint& endpoint);

// What an HTTP request head gets: status code 200, 400, 404 or 405.
int metricsStatusFor(const std::string& head, bool& headOnly);

class MetricsPort {
public:
    using Render = std::function<std::string()>;

    // Binds and listens at once; throws when it cannot (a port in use ends the start).
    MetricsPort(boost::asio::io_context& io, const boost::asio::ip::tcp::endpoint& endpoint, Render render,
                RequestLog& log, std::chrono::milliseconds deadline = std::chrono::milliseconds(5000));
    ~MetricsPort();
    MetricsPort(const MetricsPort&) = delete;
    MetricsPort& operator=(const MetricsPort&) = delete;

    // Closes the port and every connection on it.
    void stop();

    class Exchange;

private:
    void accept();

    boost::asio::io_context& io_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer retry_;
    Render render_;
    RequestLog& log_;
    std::chrono::milliseconds deadline_;
    std::list<std::shared_ptr<Exchange>> open_;  // oldest first
    bool stopping_ = false;

    friend class Exchange;
};

}  // namespace versionserver
