#pragma once
// Fixtures of the network tests: servers that behave or misbehave on purpose,
// child processes (our version server, nginx), the run's log, small file helpers.

#include "net/FileDownloader.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/filesystem/path.hpp>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace nettest {

namespace fs = boost::filesystem;

// "operation: message", the way Boost.System forms an error's text.
std::string errorText(const boost::system::error_code& error, const char* operation);
// The message alone.
std::string errorMessage(const boost::system::error_code& error);

// The network tests bind the real ports: they run only inside netns-run.
bool inPrivateNetwork();
// /etc/hosts has "multi.netns.invalid" (127.0.0.3, then 127.0.0.2).
bool hasMultiAddressName();
const char kNoNamespace[] = "needs the private network namespace of tests/netns-run";

// A fresh directory below the run's working directory, as a relative path: the
// program works with paths relative to its installation directory.
fs::path freshDirectory(const std::string& stem);
// Compares a file with the bytes it should hold; on a mismatch tells sizes and
// the first differing offset rather than printing the contents.
testing::AssertionResult hasContent(const fs::path& file, const std::string& expected);
std::string readFile(const fs::path& path);
void writeFile(const fs::path& path, const std::string& content);
std::string randomBytes(std::size_t size, unsigned seed);

// Lines the log received since the watch was made (line ends stripped).
class LogWatch {
public:
    LogWatch();
    std::vector<std::string> lines() const;

private:
    std::string path_;
    std::uint64_t start_;
};

// Counts what a downloader reports.
class CountingListener : public gametool::FileDownloadListener {
public:
    void onBytesReceived(std::uint64_t count) override {
        total += count;
        ++reports;
    }
    std::uint64_t total = 0;
    int reports = 0;
};

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
    ScriptedServer(const std::string& address, unsigned short port, Script script,
                   int connections = 1);
    ~ScriptedServer();
    // Every byte the scripts read from clients so far.
    std::string received() const;
    // Waits until the scripts have finished (the clients closed or were served).
    void join();

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

// True once a TCP connect to address:port succeeds, within `seconds`.
bool waitForListener(const std::string& address, unsigned short port, int seconds);

// A native child process with its standard output and error in `logFile`.
// Under wine the program is started by tests/net/native-children on request.
class ChildProcess {
public:
    // False when this build cannot start native programs (the Windows build
    // under wine outside native-children): tests that need one are skipped.
    static bool supported();
    ChildProcess(const std::vector<std::string>& arguments, const fs::path& logFile);
    ~ChildProcess();
    bool running() const;
    // SIGTERM, then waits; returns the exit status (-1 when it had to be killed).
    int stop();

private:
    long id_ = -1;
    int status_ = -1;
};

// An absolute path the way a native child process names it (wine's drive Z: is
// the root of the file system).
std::string nativePath(const fs::path& path);

// Our version server serving `root` on address:7455.
class VersionServer {
public:
    VersionServer(const fs::path& root, const std::string& address = "127.0.0.1");
    bool ready() const { return ready_; }
    std::string output() const { return readFile(log_); }
    int stop() { return process_->stop(); }

private:
    fs::path log_;
    std::unique_ptr<ChildProcess> process_;
    bool ready_ = false;
};

// nginx serving `root` on 127.0.0.1:80 with a generated configuration.
class NginxServer {
public:
    explicit NginxServer(const fs::path& root);
    bool ready() const { return ready_; }
    std::string errorLog() const;

private:
    fs::path dir_;
    std::unique_ptr<ChildProcess> process_;
    bool ready_ = false;
};

// Paths of the native programs (empty when this build has none).
std::string versionServerProgram();
std::string nginxProgram();

}  // namespace nettest
