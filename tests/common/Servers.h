#pragma once
// The real programs the tests start: native child processes, our version server
// and nginx, each inside the test's private network namespace. In the Windows
// build under wine the test cannot start a Linux program itself: it asks
// tests/common/native-children, which the test runs under, to start it.

#include <boost/filesystem/path.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace fixtures {

namespace fs = boost::filesystem;

// Paths of the native programs (empty when this build has none).
std::string versionServerProgram();
std::string nginxProgram();
std::string publishProgram();

// A native child process with its standard output and error in `logFile`.
class ChildProcess {
public:
    // False when this build cannot start native programs (the Windows build
    // under wine outside native-children): tests that need one are skipped.
    static bool supported();
    ChildProcess(const std::vector<std::string>& arguments, const fs::path& logFile);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    bool running() const;
    // Asks it to end (SIGTERM) and returns at once.
    void terminate();
    // SIGTERM, then waits; the exit status (-1 when it had to be killed or ended by a signal).
    int stop();

private:
    // Changed by running() too, which collects the status of a process that ended.
    mutable long id_ = -1;
    mutable int status_ = -1;
};

// An absolute path the way a native child process names it (wine's drive Z: is
// the root of the file system).
std::string nativePath(const fs::path& path);

// Our version server serving `root` on address:7455 with further `options`;
// its output goes to "<root>-server.txt" beside `root`.
class VersionServer {
public:
    explicit VersionServer(const fs::path& root, const std::vector<std::string>& options = {},
                           const std::string& address = "127.0.0.1");
    // It has said that it listens.
    bool ready() const { return ready_; }
    bool running() const { return process_->running(); }
    // What it printed: its start, one line per request, its stop. A thread of its
    // own writes the request lines, so they are all there only once stop() returned.
    std::string output() const;
    void terminate() { process_->terminate(); }
    int stop() { return process_->stop(); }

private:
    fs::path log_;
    std::unique_ptr<ChildProcess> process_;
    bool ready_ = false;
};

// nginx serving roots[i] on 127.0.0.<i+1>:80, each host with an access log of
// the request URIs; its own files in "<roots[0]>-nginx".
class NginxServer {
public:
    explicit NginxServer(const std::vector<fs::path>& roots);
    explicit NginxServer(const fs::path& root) : NginxServer(std::vector<fs::path>{root}) {}
    bool ready() const { return ready_; }
    std::string errorLog() const;
    // The request URIs host 1, 2, ... has finished, in order.
    std::vector<std::string> requests(int host) const;
    // Bytes host 1, 2, ... has sent, reply heads included.
    std::uint64_t bytesSent(int host) const;

private:
    static std::vector<std::string> settledLines(const fs::path& log);
    fs::path dir_;
    std::unique_ptr<ChildProcess> process_;
    bool ready_ = false;
};

}  // namespace fixtures
