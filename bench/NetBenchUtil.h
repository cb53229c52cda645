#pragma once
// Helpers of the network benchmarks: servers started as child processes inside
// the private network namespace (scripts/bench runs them through tests/netns-run),
// a worker mode that measures one transfer in a process of its own, peak memory.

#include "BenchUtil.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/filesystem.hpp>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

extern char** environ;

namespace bench {

namespace fs = boost::filesystem;

inline bool inPrivateNetwork()
{
    const char* value = std::getenv("LAUNCHER_NETNS");
    return value && std::string(value) == "1";
}

inline std::string selfPath()
{
    char buffer[4096];
    const ssize_t size = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return size > 0 ? std::string(buffer, std::size_t(size)) : std::string();
}

// Peak resident memory of this process in KiB (VmHWM).
inline long peakKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 6, "VmHWM:") == 0)
            return std::atol(line.c_str() + 6);
    }
    return -1;
}

class Child {
public:
    Child(const std::vector<std::string>& arguments, const fs::path& output)
    {
        std::vector<char*> argv;
        for (const std::string& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Child()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    bool started() const { return pid_ > 0; }

private:
    pid_t pid_ = -1;
};

inline bool waitForListener(unsigned short port, int seconds)
{
    using boost::asio::ip::tcp;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        boost::asio::io_context io;
        tcp::socket probe(io);
        boost::system::error_code error;
        probe.connect(tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), port), error);
        if (!error)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// nginx serving `root` on 127.0.0.1:80; files of its own in `dir`.
inline std::unique_ptr<Child> startNginx(const fs::path& root, const fs::path& dir)
{
    fs::create_directories(dir);
    const std::string d = fs::absolute(dir).string();
    std::ofstream conf((dir / "nginx.conf").string());
    conf << "user root root;\npid " << d << "/nginx.pid;\nerror_log " << d << "/error.log;\n"
         << "events { worker_connections 64; }\nhttp {\n  access_log off;\n"
         << "  client_body_temp_path " << d << "/body;\n  proxy_temp_path " << d << "/proxy;\n"
         << "  fastcgi_temp_path " << d << "/fastcgi;\n  uwsgi_temp_path " << d << "/uwsgi;\n"
         << "  scgi_temp_path " << d << "/scgi;\n  sendfile on;\n"
         << "  server { listen 127.0.0.1:80; root " << fs::absolute(root).string() << "; }\n}\n";
    conf.close();
    auto child = std::make_unique<Child>(
        std::vector<std::string>{"/usr/sbin/nginx", "-e", d + "/error.log", "-c", d + "/nginx.conf", "-p", d, "-g",
                                 "daemon off; master_process off;"},
        dir / "output.txt");
    if (!child->started() || !waitForListener(80, 10))
        return nullptr;
    return child;
}

// Writes `size` pseudo-random bytes to `file`.
inline bool writeRandomFile(const fs::path& file, std::uint64_t size)
{
    const std::size_t kChunk = 4 * 1024 * 1024;
    std::unique_ptr<char[]> chunk(new char[kChunk]);
    Random random(7);
    std::ofstream out(file.string(), std::ios::binary);
    for (std::uint64_t written = 0; written < size; written += kChunk) {
        const std::size_t now = std::size_t(std::min<std::uint64_t>(kChunk, size - written));
        random.fill(chunk.get(), now);
        out.write(chunk.get(), std::streamsize(now));
    }
    return bool(out);
}

// One transfer measured in a worker process: "seconds peakKiB ok".
struct WorkerResult {
    double seconds = 0;
    long peakKiB = -1;
    bool ok = false;
};

inline WorkerResult runWorker(const std::string& command)
{
    int status = 0;
    std::istringstream out(run(command, status));
    WorkerResult result;
    int ok = 0;
    if (status == 0 && (out >> result.seconds >> result.peakKiB >> ok))
        result.ok = ok == 1;
    return result;
}

inline double timeCurl(const std::string& url, const fs::path& output, bool& ok)
{
    int status = 0;
    const auto start = std::chrono::steady_clock::now();
    run("curl -s -f -o '" + output.string() + "' '" + url + "'", status);
    const double secs = seconds(start);
    ok = status == 0;
    return secs;
}

}  // namespace bench
