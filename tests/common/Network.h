#pragma once
// The network side of the tests: the private namespace they need, servers that
// behave or misbehave on purpose under a test's script, and error texts the way
// the program's log shows them.

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace fixtures {

// The network tests bind the real ports: they run only inside tests/netns-run.
bool inPrivateNetwork();
// /etc/hosts has "multi.netns.invalid" (127.0.0.3, then 127.0.0.2).
bool hasMultiAddressName();
const char kNoNamespace[] = "needs the private network namespace of tests/netns-run";

// "operation: message", the way Boost.System forms an error's text.
std::string errorText(const boost::system::error_code& error, const char* operation);
// The message alone.
std::string errorMessage(const boost::system::error_code& error);

// One version-protocol request frame for `text` ("name:digest").
std::string versionRequest(const std::string& text);

class Peer;
// A version-protocol file reply carrying `content` (none: the copy held is current).
std::string versionReply(const std::string& content);
// The text of the next request frame, "" when the client closed first.
std::string readVersionRequest(Peer& peer);

// True once a TCP connect to address:port succeeds, within `seconds`.
bool waitForListener(const std::string& address, unsigned short port, int seconds);

// One accepted connection, driven by a test script with blocking calls.
class Peer {
public:
    Peer(boost::asio::ip::tcp::socket& socket, std::string& received, std::mutex& mutex);
    // Exactly `size` bytes, or fewer when the client closes first.
    std::string read(std::size_t size);
    // Up to and including `mark`; everything until the end when it never comes.
    std::string readUntil(const std::string& mark);
    // False when the client has gone.
    bool write(const std::string& bytes);
    // Blocks until the client closes its end (its deadline ends the wait).
    void waitForClose();
    void close();
    // Closes with a reset, the way a host drops a connection it no longer keeps.
    void reset();

private:
    boost::asio::ip::tcp::socket& socket_;
    std::string& received_;
    std::mutex& mutex_;
};

// Listens on address:port and runs `script` on each of the next `connections`
// connections, one after the other, on its own thread.
class ScriptedServer {
public:
    typedef std::function<void(Peer&)> Script;
    ScriptedServer(const std::string& address, unsigned short port, Script script, int connections = 1);
    ~ScriptedServer();
    // Every byte the scripts read from clients so far.
    std::string received() const;
    // Waits until the scripts have finished (the clients closed or were served).
    void join();
    // Connections accepted from now on offer a window of about this size: a
    // sender then stalls after its own buffer, a few MiB, not after megabytes more.
    void limitReceiveBuffer(int bytes);

private:
    void serve(int connections);

    boost::asio::io_context io_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::ip::tcp::endpoint endpoint_;
    Script script_;
    mutable std::mutex mutex_;
    std::string received_;
    std::unique_ptr<boost::asio::ip::tcp::socket> current_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> accepting_{false};
    std::thread thread_;
};

// A listening socket whose accept queue is full: a further connect hangs, the way
// a server that does not accept in time looks to a client.
class FullBacklog {
public:
    FullBacklog(const std::string& address, unsigned short port);

private:
    boost::asio::io_context io_;
    boost::asio::ip::tcp::acceptor acceptor_;
    std::vector<std::unique_ptr<boost::asio::ip::tcp::socket>> fillers_;
};

}  // namespace fixtures
