#pragma once
// Serves the files of one directory over the version protocol (net/VersionProtocol.h):
// greeting "quiv", then any number of requests "name:digest" per connection, each
// answered with the file's content, with an empty content when the digest is
// current, or with a single refusal byte when the name is not served.
//
// Built to face every player at once and any client at all:
// - a client that hangs up, stalls or sends garbage ends only its own connection;
// - each reply is one consistent version of its file (ServedFiles.h);
// - no reply waits for a digest: each release is digested before it is served,
//   the previous one meanwhile (ReleaseWatch.h); the port listens only once the
//   first release is ready;
// - open connections are capped: at the cap a new connection is still accepted,
//   and the oldest connection that has not completed a request is closed, failing
//   that the oldest idle one, so silent clients never lock real ones out;
// - per connection the server holds at most kMaxRequestText bytes of request,
//   a reply head and a few hundred bytes of state (see README);
// - stop() lets replies in flight finish, up to a drain time, and then ends;
// - with a metrics endpoint, its figures are served on a port of their own
//   (Metrics.h, MetricsPort.h).

#include "Metrics.h"
#include "MetricsPort.h"
#include "ReleaseWatch.h"
#include "RequestLog.h"
#include "ServedFiles.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <string>

namespace versionserver {

// Longest request text accepted; a longer one closes the connection. A request
// names one file of the manifest (a Windows path is at most 260 characters).
const std::uint32_t kMaxRequestText = 4096;

struct Settings {
    std::string root;  // absolute; may be a link that is swapped to a new release
    NameEncoding encoding = NameEncoding::Gbk;
    std::size_t maxConnections = 1000;
    std::size_t maxPerAddress = 0;                  // 0: no cap per client address
    std::chrono::milliseconds greetingTime{10000};  // greeting and first request
    std::chrono::milliseconds idleTime{60000};      // between requests, and without send progress
    std::chrono::milliseconds drainTime{10000};     // for replies in flight at stop()
    std::chrono::milliseconds summaryInterval{60000};
    std::chrono::milliseconds watchInterval{1000};  // how often the root's link is looked at
    std::function<bool()> digestHold;               // a test hook (Digesting::hold)
    bool metrics = false;                           // serve the figures on metricsEndpoint
    boost::asio::ip::tcp::endpoint metricsEndpoint;
};

// Descriptors each connection may hold at once (its socket and the file it sends).
const std::size_t kDescriptorsPerConnection = 2;
// Descriptors kept for everything else (listener, output, digests, the system).
const std::size_t kReservedDescriptors = 64;
// The connection cap that fits a descriptor limit.
std::size_t connectionCapFor(std::uint64_t descriptorLimit);

class Connection;

class Server {
public:
    // Binds at once (and listens on the metrics endpoint); listens on the protocol
    // port once the first release is digested. Throws when it cannot bind.
    Server(boost::asio::io_context& io, const Settings& settings,
           const boost::asio::ip::tcp::endpoint& endpoint, RequestLog& log);
    ~Server();

    // Stops accepting, closes idle connections, lets replies in flight finish
    // within the drain time; run() then returns.
    void stop();
    // One line of the totals: connections open, requests, bytes sent, evictions, lines dropped.
    std::string summary() const;
    // The figures in the Prometheus text format.
    std::string metricsText() const;

    // For the connections.
    boost::asio::io_context& io() { return io_; }
    boost::asio::thread_pool& pool() { return pool_; }
    ServedFiles& files() { return files_; }
    RequestLog& log() { return log_; }
    const Settings& settings() const { return settings_; }
    bool stopping() const { return stopping_; }
    // It could not listen, and ended.
    bool failed() const { return failed_; }
    void waiting(Connection* connection, bool completedOne);
    void busy(Connection* connection);
    Metrics& metrics() { return metrics_; }
    void forget(Connection* connection);
    // A request met a file changed in place.
    void releaseChanged() { watch_->changed(); }

private:
    void serve(std::shared_ptr<const Release> release, const std::string& announcement);
    void accept();
    void welcome(boost::asio::ip::tcp::socket socket);
    bool admit(const std::string& address);
    void tick();

    boost::asio::io_context& io_;
    Settings settings_;
    RequestLog& log_;
    Digesting digesting_;
    ServedFiles files_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer retry_;
    boost::asio::steady_timer summary_;
    boost::asio::steady_timer drain_;
    boost::asio::thread_pool pool_;
    // Holds run() until the first release is served or the server stops.
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> starting_;
    std::unique_ptr<ReleaseWatch> watch_;

    // Every open connection, and the two queues eviction picks from, oldest first.
    std::list<Connection*> open_;
    std::list<Connection*> fresh_;  // no request completed yet, none in hand
    std::list<Connection*> idle_;   // waiting for its next request
    std::map<std::string, std::size_t> perAddress_;
    bool stopping_ = false;
    bool failed_ = false;

    Metrics metrics_;
    std::unique_ptr<MetricsPort> metricsPort_;

    friend class Connection;
};

}  // namespace versionserver
