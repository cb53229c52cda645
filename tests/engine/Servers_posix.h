#pragma once
// The real servers the engine talks to, started for one test: our version server
// on port 7455 and nginx on port 80 (inside the test's private network namespace).

#include <boost/filesystem/path.hpp>

#include <string>
#include <sys/types.h>
#include <vector>

class ServerProcess {
public:
    // Starts `argv` with standard output and error going to `output`; waits until
    // `address`:`port` accepts connections.
    ServerProcess(const std::vector<std::string>& argv, const boost::filesystem::path& output,
                  const std::string& address, int port);
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

private:
    pid_t pid_ = -1;
};

// Serves `root` (files.cfg and what it lists) on 127.0.0.1:7455.
class VersionServer {
public:
    explicit VersionServer(const boost::filesystem::path& root);
    const boost::filesystem::path& root() const { return root_; }
    // What the server printed: one line per request.
    std::string output() const;

private:
    boost::filesystem::path root_;
    ServerProcess process_;
};

// nginx serving `dir`/www1 on 127.0.0.1:80 and `dir`/www2 on 127.0.0.2:80.
class WebServer {
public:
    explicit WebServer(const boost::filesystem::path& dir);
    boost::filesystem::path root(int host) const;
    // The request URIs host 1 or 2 received, in order.
    std::vector<std::string> requests(int host) const;

private:
    boost::filesystem::path dir_;
    ServerProcess process_;
};
