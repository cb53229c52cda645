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

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
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

// Starts `arguments` with standard output and error in `output`; in `directory`
// with no input when one is given. The process id, or -1.
inline pid_t spawnProgram(const std::vector<std::string>& arguments, const fs::path& output,
                          const fs::path& directory = fs::path())
{
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!directory.empty()) {
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
    }
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

class Child {
public:
    Child(const std::vector<std::string>& arguments, const fs::path& output)
        : pid_(spawnProgram(arguments, output))
    {
    }
    ~Child() { stop(); }
    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    void stop()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

private:
    pid_t pid_ = -1;
};

inline bool waitForListener(unsigned short port, int seconds, const std::string& address = "127.0.0.1")
{
    using boost::asio::ip::tcp;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        boost::asio::io_context io;
        tcp::socket probe(io);
        boost::system::error_code error;
        probe.connect(tcp::endpoint(boost::asio::ip::make_address(address), port), error);
        if (!error)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// nginx serving `root` on port 80 of `address`; files of its own in `dir`. With
// `descriptors`, it may hold that many and serve nearly as many connections at once.
// With `logBytes`, dir/access.log gets a line per request of the bytes it moved
// (hostBytes reads them).
inline std::unique_ptr<Child> startNginx(const fs::path& root, const fs::path& dir, long descriptors = 0,
                                         const std::string& address = "127.0.0.1", bool logBytes = false)
{
    fs::create_directories(dir);
    const std::string d = fs::absolute(dir).string();
    std::ofstream conf((dir / "nginx.conf").string());
    conf << "user root root;\npid " << d << "/nginx.pid;\nerror_log " << d << "/error.log;\n";
    if (descriptors > 0)
        conf << "worker_rlimit_nofile " << descriptors << ";\n";
    conf << "events { worker_connections " << (descriptors > 0 ? descriptors - 100 : 64) << "; }\n"
         << "http {\n"
         << (logBytes ? "  log_format bytes '$bytes_sent $request_length';\n  access_log " + d +
                            "/access.log bytes;\n"
                      : std::string("  access_log off;\n"))
         << "  client_body_temp_path " << d << "/body;\n  proxy_temp_path " << d << "/proxy;\n"
         << "  fastcgi_temp_path " << d << "/fastcgi;\n  uwsgi_temp_path " << d << "/uwsgi;\n"
         << "  scgi_temp_path " << d << "/scgi;\n  sendfile on;\n"
         << "  server { listen " << address << ":80 backlog=4096; root " << fs::absolute(root).string()
         << "; }\n}\n";
    conf.close();
    auto child = std::make_unique<Child>(
        std::vector<std::string>{"/usr/sbin/nginx", "-e", d + "/error.log", "-c", d + "/nginx.conf", "-p", d,
                                 "-g", "daemon off; master_process off;"},
        dir / "output.txt");
    if (!child->started() || !waitForListener(80, 10, address))
        return nullptr;
    return child;
}

// Bytes that an nginx started with `logBytes` moved both ways (requests, reply
// heads and bodies) since the last call; the log is emptied.
inline std::uint64_t hostBytes(const fs::path& nginxDir)
{
    const fs::path log = nginxDir / "access.log";
    std::ifstream in(log.string());
    std::uint64_t total = 0;
    std::uint64_t sent = 0;
    std::uint64_t received = 0;
    while (in >> sent >> received)
        total += sent + received;
    std::ofstream(log.string(), std::ios::trunc);
    return total;
}

// Writes `content` as the whole of `path`; false when it could not.
inline bool writeAll(const fs::path& path, const std::string& content)
{
    std::ofstream out(path.string(), std::ios::binary);
    out.write(content.data(), std::streamsize(content.size()));
    return bool(out);
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

// What both network benchmarks measure: one 1 GiB file, best of several rounds
// (the page cache and other work make single runs noisy), against these targets.
const std::uint64_t kFileSize = 1024ULL * 1024 * 1024;
const int kRounds = 5;
const double kTarget = 0.8;
const long kMemoryLimitKiB = 64 * 1024;

// A scratch directory whose www/big.bin (random bytes, kFileSize) nginx serves on
// port 80; the server is stopped and the directory removed when it goes.
class ServedFile {
public:
    ServedFile(const fs::path& base, const std::string& prefix)
        : dir_(base / fs::unique_path(prefix + "-%%%%-%%%%"))
    {
        fs::create_directories(dir_ / "www");
    }

    ~ServedFile()
    {
        nginx_.reset();
        boost::system::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    ServedFile(const ServedFile&) = delete;
    ServedFile& operator=(const ServedFile&) = delete;

    // False, with the reason on standard error, when the file or nginx cannot be set up.
    bool start(const std::string& benchName)
    {
        if (!writeRandomFile(file(), kFileSize)) {
            std::cerr << benchName << ": cannot write the test file in " << dir_ << "\n";
            return false;
        }
        nginx_ = startNginx(dir_ / "www", dir_ / "nginx");
        if (!nginx_) {
            std::cerr << benchName << ": nginx did not start (see " << (dir_ / "nginx") << ")\n";
            return false;
        }
        return true;
    }

    const fs::path& dir() const { return dir_; }
    fs::path file() const { return dir_ / "www" / "big.bin"; }

private:
    fs::path dir_;
    std::unique_ptr<Child> nginx_;
};

// Our transfer (a worker process running `workerCommand`, its content left in
// `ourFile`) against curl fetching `curlUrl` into `curlFile`, alternately, best
// of `rounds` each. A round whose content is missing or short fails, told on
// standard error.
struct Comparison {
    double ours = 1e9;
    double tool = 1e9;
    long peakKiB = 0;
    bool ok = true;
};

inline Comparison compareWithCurl(const std::string& workerCommand, const fs::path& ourFile,
                                  const std::string& curlUrl, const fs::path& curlFile, std::uint64_t size,
                                  int rounds)
{
    Comparison result;
    for (int round = 0; round < rounds && result.ok; ++round) {
        fs::remove(ourFile);
        const WorkerResult worker = runWorker(workerCommand);
        boost::system::error_code error;
        const std::uint64_t got = fs::file_size(ourFile, error);
        if (worker.ok && (error || got != size))
            std::cerr << "no content of " << size << " bytes at " << ourFile << " after the transfer\n";
        result.ok = worker.ok && !error && got == size;
        result.ours = std::min(result.ours, worker.seconds);
        result.peakKiB = std::max(result.peakKiB, worker.peakKiB);
        fs::remove(ourFile);

        fs::remove(curlFile);
        bool curlOk = false;
        result.tool = std::min(result.tool, timeCurl(curlUrl, curlFile, curlOk));
        result.ok = result.ok && curlOk;
        fs::remove(curlFile);
    }
    return result;
}

// Prints throughputs, ratio and peak memory; the exit status tells whether both targets were met.
inline int reportComparison(const char* title, const char* ourName, const char* memoryWhat,
                            const Comparison& result, std::uint64_t size, double target, long memoryLimitKiB)
{
    const double ratio = result.tool / result.ours;
    const bool memoryMet = result.peakKiB > 0 && result.peakKiB < memoryLimitKiB;
    std::printf("%s\n", title);
    std::printf("  %-18s %8.1f MiB/s  (%.3f s)\n", ourName, mibPerSecond(size, result.ours), result.ours);
    std::printf("  %-18s %8.1f MiB/s  (%.3f s)\n", "curl", mibPerSecond(size, result.tool), result.tool);
    std::printf("  ratio %.2f, target >= %.2f: %s\n", ratio, target, verdict(ratio >= target));
    std::printf("  peak memory of the %s process %.1f MiB, target < %ld MiB: %s\n", memoryWhat,
                result.peakKiB / 1024.0, memoryLimitKiB / 1024, verdict(memoryMet));
    return ratio >= target && memoryMet ? 0 : 1;
}

}  // namespace bench
