// Load on the version server as on launch day: C concurrent starters, each in a
// loop connecting, greeting and asking for the 7 files of a manifest with current
// digests, then closing. Against nginx in the same run: the same check in HTTP
// form, 7 GETs on a connection each with If-None-Match, answered 304. Prints
// checks per second, p50/p99 latency, the server's peak RSS and descriptors, the
// ratio ours/nginx, and a soak of 10,000 silent connections beside 100 real clients.
// Usage: version_load [seconds-per-case [version-server-program]]
// bench: netns

#include "NetBenchUtil.h"

#include "support/FileDigest.h"
#include "support/TextConvert.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include <dirent.h>
#include <sys/resource.h>

#include <array>
#include <cstdio>
#include <functional>
#include <iostream>
#include <map>

namespace {

namespace fs = boost::filesystem;
using boost::asio::ip::tcp;
using boost::system::error_code;
using Clock = std::chrono::steady_clock;

const char* const kNames[7] = {"files.cfg", "delete_config.txt", "Launcher.exe", "launcher_info.cfg",
                               "platform.dll", "notice.txt", "Updater.exe"};
const std::size_t kSizes[7] = {400, 120, 2 << 20, 900, 300 << 10, 60, 1 << 20};
const int kCases[3] = {100, 1000, 5000};
const int kSilent = 10000;
const int kReal = 100;
const double kTargetRatio = 1.0;
const double kMemoryTargetMiB = 64;
const double kServedWithin = 15;

std::string be32(std::uint32_t value) {
    return std::string{char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
}

// A server process and what the system says about it.
class Process {
public:
    Process(const std::vector<std::string>& arguments, const fs::path& output) {
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
    ~Process() { stop(); }
    bool started() const { return pid_ > 0; }
    void stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }
    long statusKiB(const char* field) const {
        std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.compare(0, std::strlen(field), field) == 0)
                return std::atol(line.c_str() + std::strlen(field));
        }
        return -1;
    }
    int descriptors() const {
        DIR* dir = ::opendir(("/proc/" + std::to_string(pid_) + "/fd").c_str());
        if (!dir)
            return -1;
        int count = 0;
        while (::readdir(dir))
            ++count;
        ::closedir(dir);
        return count - 2;
    }

private:
    pid_t pid_ = -1;
};

struct Results {
    std::uint64_t checks = 0;
    std::uint64_t errors = 0;
    std::vector<double> latencies;  // seconds
    double elapsed = 0;             // until the last check begun in time has ended
    double slowest = 0;
    std::uint64_t servedClients = 0;  // starters that completed at least one check
};

struct Run {
    boost::asio::io_context& io;
    tcp::endpoint endpoint;
    Clock::time_point end;
    Results& results;
};

// One starter of ours: a connection per check, 7 requests on it.
class OurStarter : public std::enable_shared_from_this<OurStarter> {
public:
    OurStarter(Run& run, const std::vector<std::string>& requests)
        : run_(run), requests_(requests), socket_(run.io), pause_(run.io) {}
    void begin() {
        if (Clock::now() >= run_.end)
            return;
        started_ = Clock::now();
        next_ = 0;
        socket_ = tcp::socket(run_.io);
        auto self = shared_from_this();
        socket_.async_connect(run_.endpoint, [self](const error_code& error) {
            if (error)
                return self->failed();
            error_code ignored;
            self->socket_.set_option(tcp::no_delay(true), ignored);
            boost::asio::async_write(self->socket_, boost::asio::buffer("quiv", 4),
                                     [self](const error_code& e, std::size_t) { e ? self->failed() : self->ask(); });
        });
    }

private:
    void ask() {
        auto self = shared_from_this();
        boost::asio::async_write(socket_, boost::asio::buffer(requests_[next_]), [self](const error_code& e, std::size_t) {
            if (e)
                return self->failed();
            boost::asio::async_read(self->socket_, boost::asio::buffer(self->reply_),
                                    [self](const error_code& e2, std::size_t) { self->answered(e2); });
        });
    }
    void answered(const error_code& error) {
        // "Current": code 10, an empty text and an empty content.
        static const std::array<char, 9> kCurrent = {10, 0, 0, 0, 0, 0, 0, 0, 0};
        if (error || reply_ != kCurrent)
            return failed();
        if (++next_ < requests_.size())
            return ask();
        error_code ignored;
        socket_.close(ignored);
        const double took = bench::seconds(started_);
        ++run_.results.checks;
        run_.results.latencies.push_back(took);
        run_.results.slowest = std::max(run_.results.slowest, took);
        if (!served_) {
            served_ = true;
            ++run_.results.servedClients;
        }
        begin();
    }
    void failed() {
        ++run_.results.errors;
        error_code ignored;
        socket_.close(ignored);
        pause_.expires_after(std::chrono::milliseconds(10));
        auto self = shared_from_this();
        pause_.async_wait([self](const error_code&) { self->begin(); });
    }

    Run& run_;
    const std::vector<std::string>& requests_;
    tcp::socket socket_;
    boost::asio::steady_timer pause_;
    std::array<char, 9> reply_{};
    Clock::time_point started_;
    std::size_t next_ = 0;
    bool served_ = false;
};

// The same check over HTTP: a connection per file, each answered 304.
class HttpStarter : public std::enable_shared_from_this<HttpStarter> {
public:
    HttpStarter(Run& run, const std::vector<std::string>& requests)
        : run_(run), requests_(requests), socket_(run.io), pause_(run.io) {}
    void begin() {
        if (Clock::now() >= run_.end)
            return;
        started_ = Clock::now();
        next_ = 0;
        get();
    }

private:
    void get() {
        socket_ = tcp::socket(run_.io);
        response_.clear();
        auto self = shared_from_this();
        socket_.async_connect(run_.endpoint, [self](const error_code& error) {
            if (error)
                return self->failed();
            boost::asio::async_write(self->socket_, boost::asio::buffer(self->requests_[self->next_]),
                                     [self](const error_code& e, std::size_t) { e ? self->failed() : self->read(); });
        });
    }
    void read() {
        auto self = shared_from_this();
        socket_.async_read_some(boost::asio::buffer(piece_), [self](const error_code& error, std::size_t got) {
            self->response_.append(self->piece_.data(), got);
            if (!error && self->response_.size() < 4096)
                return self->read();
            if (error != boost::asio::error::eof || self->response_.compare(0, 12, "HTTP/1.1 304") != 0)
                return self->failed();
            error_code ignored;
            self->socket_.close(ignored);
            if (++self->next_ < self->requests_.size())
                return self->get();
            const double took = bench::seconds(self->started_);
            ++self->run_.results.checks;
            self->run_.results.latencies.push_back(took);
            self->run_.results.slowest = std::max(self->run_.results.slowest, took);
            self->begin();
        });
    }
    void failed() {
        ++run_.results.errors;
        error_code ignored;
        socket_.close(ignored);
        pause_.expires_after(std::chrono::milliseconds(10));
        auto self = shared_from_this();
        pause_.async_wait([self](const error_code&) { self->begin(); });
    }

    Run& run_;
    const std::vector<std::string>& requests_;
    tcp::socket socket_;
    boost::asio::steady_timer pause_;
    std::array<char, 1024> piece_{};
    std::string response_;
    Clock::time_point started_;
    std::size_t next_ = 0;
};

// A connection that never asks for anything; when the server drops it, another takes its place.
class Silent : public std::enable_shared_from_this<Silent> {
public:
    Silent(boost::asio::io_context& io, tcp::endpoint endpoint, Clock::time_point end, std::uint64_t& replaced)
        : io_(io), endpoint_(endpoint), end_(end), replaced_(replaced), socket_(io), pause_(io) {}
    void begin() {
        if (Clock::now() >= end_)
            return;
        socket_ = tcp::socket(io_);
        auto self = shared_from_this();
        socket_.async_connect(endpoint_, [self](const error_code& error) {
            if (error)
                return self->again();
            self->socket_.async_read_some(boost::asio::buffer(self->byte_),
                                          [self](const error_code&, std::size_t) { self->again(); });
        });
    }
    void stop() {
        error_code ignored;
        socket_.close(ignored);
        pause_.cancel(ignored);
    }

private:
    void again() {
        ++replaced_;
        error_code ignored;
        socket_.close(ignored);
        pause_.expires_after(std::chrono::milliseconds(100));
        auto self = shared_from_this();
        pause_.async_wait([self](const error_code& error) {
            if (!error)
                self->begin();
        });
    }
    boost::asio::io_context& io_;
    tcp::endpoint endpoint_;
    Clock::time_point end_;
    std::uint64_t& replaced_;
    tcp::socket socket_;
    boost::asio::steady_timer pause_;
    std::array<char, 1> byte_{};
};

struct Figures {
    double checksPerSecond = 0;
    double p50 = 0, p99 = 0;
    double peakMiB = 0;
    int peakDescriptors = 0;
    std::uint64_t errors = 0;
};

double percentile(std::vector<double>& values, double share) {
    if (values.empty())
        return 0;
    const std::size_t index = std::min(values.size() - 1, std::size_t(share * double(values.size())));
    std::nth_element(values.begin(), values.begin() + long(index), values.end());
    return values[index];
}

// Runs `clients` starters against the server in `process` for `seconds`,
// sampling its descriptors; `extra` starts anything else on the same context.
template <typename Starter>
Results drive(Process& process, unsigned short port, const std::vector<std::string>& requests, int clients,
              double seconds, int& peakDescriptors, const std::function<void(boost::asio::io_context&)>& extra = {}) {
    boost::asio::io_context io(1);
    Results results;
    Run run{io, tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), port),
            Clock::now() + std::chrono::milliseconds(long(seconds * 1000)), results};
    if (extra)
        extra(io);
    for (int i = 0; i < clients; ++i)
        std::make_shared<Starter>(run, requests)->begin();
    boost::asio::steady_timer sample(io);
    std::function<void()> tick = [&] {
        peakDescriptors = std::max(peakDescriptors, process.descriptors());
        if (Clock::now() >= run.end)
            return;
        sample.expires_after(std::chrono::milliseconds(100));
        sample.async_wait([&](const error_code&) { tick(); });
    };
    const auto start = Clock::now();
    tick();
    io.run();
    results.elapsed = bench::seconds(start);
    return results;
}

std::string etagOf(const std::string& name) {
    boost::asio::io_context io;
    tcp::socket socket(io);
    error_code error;
    socket.connect(tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 80), error);
    const std::string head = "HEAD /" + name + " HTTP/1.0\r\n\r\n";
    boost::asio::write(socket, boost::asio::buffer(head), error);
    std::string response;
    std::array<char, 1024> piece;
    for (std::size_t got; (got = socket.read_some(boost::asio::buffer(piece), error)) > 0 || !error;)
        response.append(piece.data(), got);
    const std::string::size_type at = response.find("ETag: ");
    return at == std::string::npos ? std::string() : response.substr(at + 6, response.find("\r\n", at) - at - 6);
}

std::string readText(const fs::path& path) {
    std::ifstream in(path.string(), std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::unique_ptr<Process> startNginx(const fs::path& root, const fs::path& dir, rlim_t descriptors) {
    fs::create_directories(dir);
    const std::string d = fs::absolute(dir).string();
    std::ofstream conf((dir / "nginx.conf").string());
    conf << "user root root;\npid " << d << "/nginx.pid;\nerror_log " << d << "/error.log crit;\n"
         << "worker_rlimit_nofile " << descriptors << ";\n"
         << "events { worker_connections " << descriptors - 100 << "; }\nhttp {\n  access_log off;\n"
         << "  client_body_temp_path " << d << "/body;\n  proxy_temp_path " << d << "/proxy;\n"
         << "  fastcgi_temp_path " << d << "/fastcgi;\n  uwsgi_temp_path " << d << "/uwsgi;\n"
         << "  scgi_temp_path " << d << "/scgi;\n  sendfile on;\n"
         << "  server { listen 127.0.0.1:80 backlog=4096; root " << fs::absolute(root).string() << "; }\n}\n";
    conf.close();
    auto process = std::make_unique<Process>(
        std::vector<std::string>{"/usr/sbin/nginx", "-e", d + "/error.log", "-c", d + "/nginx.conf", "-p", d, "-g",
                                 "daemon off; master_process off;"},
        dir / "output.txt");
    if (!process->started() || !bench::waitForListener(80, 10))
        return nullptr;
    return process;
}

std::unique_ptr<Process> startOurs(const std::string& program, const fs::path& root, const fs::path& output) {
    auto process = std::make_unique<Process>(
        std::vector<std::string>{program, "--root", root.string(), "--listen", "127.0.0.1"}, output);
    if (!process->started() || !bench::waitForListener(7455, 10))
        return nullptr;
    return process;
}

void print(const char* who, int clients, const Figures& f) {
    std::printf("  %-5s C=%-5d %9.0f checks/s   p50 %7.2f ms   p99 %7.2f ms   peak RSS %6.1f MiB   "
                "peak descriptors %5d   errors %llu\n",
                who, clients, f.checksPerSecond, f.p50 * 1000, f.p99 * 1000, f.peakMiB, f.peakDescriptors,
                static_cast<unsigned long long>(f.errors));
}

Figures figures(Results& results, Process& process, int peakDescriptors) {
    Figures f;
    // Checks begun within the time, over the time until the last of them ended:
    // at C=5000 one check can take longer than a case lasts.
    f.checksPerSecond = results.elapsed > 0 ? double(results.checks) / results.elapsed : 0;
    f.p50 = percentile(results.latencies, 0.50);
    f.p99 = percentile(results.latencies, 0.99);
    f.peakMiB = double(process.statusKiB("VmHWM:")) / 1024;
    f.peakDescriptors = peakDescriptors;
    f.errors = results.errors;
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    if (!bench::inPrivateNetwork()) {
        std::cerr << "version_load: run inside tests/netns-run (it needs ports 80 and 7455 of its own)\n";
        return 2;
    }
    initPathConversion();
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10;
    const std::string program = argc > 2 ? std::string(argv[2])
                                         : (fs::path(bench::selfPath()).parent_path().parent_path() / "tools" /
                                            "version-server" / "version-server")
                                               .string();
    if (!fs::exists(program)) {
        std::cerr << "version_load: no version server at " << program << "\n";
        return 2;
    }
    // Descriptors: the soft limit up to the hard one, which is all a namespace allows.
    rlimit limit;
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    const rlim_t hard = limit.rlim_max;
    // Closed client connections wait in TIME_WAIT; the namespace's own port range is widened for them.
    std::ofstream("/proc/sys/net/ipv4/ip_local_port_range") << "1024 65000\n";

    const fs::path dir = fs::temp_directory_path() / fs::unique_path("version-load-%%%%-%%%%");
    const fs::path root = dir / "www";
    fs::create_directories(root);
    std::vector<std::string> ourRequests;
    for (int i = 0; i < 7; ++i) {
        if (!bench::writeRandomFile(root / kNames[i], kSizes[i]))
            return 2;
        const std::string text = std::string(kNames[i]) + ":" + computeFileSha1((root / kNames[i]).wstring());
        ourRequests.push_back("\x0a" + be32(std::uint32_t(text.size())) + text);
    }

    std::printf("version_load: starters checking a 7-file manifest, all current; %.0f s per case, hard descriptor "
                "limit %llu\n",
                seconds, static_cast<unsigned long long>(hard));
    bool met = true;
    for (int clients : kCases) {
        // The generator holds C sockets; our server may hold two descriptors per connection.
        if (hard < rlim_t(2 * clients + 200)) {
            std::printf("  C=%d: skipped: hard limit %llu\n", clients, static_cast<unsigned long long>(hard));
            continue;
        }
        auto ours = startOurs(program, root, dir / ("ours-" + std::to_string(clients) + ".log"));
        if (!ours) {
            std::cerr << "version_load: our server did not start\n";
            return 2;
        }
        // One warm-up check, so the digests are cached as on a running server.
        int ignoredPeak = 0;
        drive<OurStarter>(*ours, 7455, ourRequests, 1, 0.2, ignoredPeak);
        int oursDescriptors = 0;
        Results ourResults = drive<OurStarter>(*ours, 7455, ourRequests, clients, seconds, oursDescriptors);
        const Figures our = figures(ourResults, *ours, oursDescriptors);
        ours->stop();

        auto nginx = startNginx(root, dir / ("nginx-" + std::to_string(clients)), hard);
        if (!nginx) {
            std::cerr << "version_load: nginx did not start\n";
            return 2;
        }
        std::vector<std::string> httpRequests;
        for (const char* name : kNames) {
            httpRequests.push_back(std::string("GET /") + name + " HTTP/1.0\r\nHost: 127.0.0.1\r\nIf-None-Match: " +
                                   etagOf(name) + "\r\nConnection: close\r\n\r\n");
        }
        int nginxDescriptors = 0;
        Results httpResults = drive<HttpStarter>(*nginx, 80, httpRequests, clients, seconds, nginxDescriptors);
        const Figures http = figures(httpResults, *nginx, nginxDescriptors);
        nginx->stop();

        print("ours", clients, our);
        print("nginx", clients, http);
        const double ratio = http.checksPerSecond > 0 ? our.checksPerSecond / http.checksPerSecond : 0;
        const bool ratioMet = ratio >= kTargetRatio;
        std::printf("  C=%d: ratio ours/nginx %.2f (target >= %.1f): %s\n", clients, ratio, kTargetRatio,
                    bench::verdict(ratioMet));
        met = met && ratioMet;
        if (clients == 5000) {
            const bool memoryMet = our.peakMiB < kMemoryTargetMiB;
            std::printf("  C=5000: our peak RSS %.1f MiB (target < %.0f MiB): %s\n", our.peakMiB, kMemoryTargetMiB,
                        bench::verdict(memoryMet));
            met = met && memoryMet;
        }
    }

    // The soak: silent connections beside real starters, for three cases' time.
    if (hard < rlim_t(kSilent + kReal + 200)) {
        std::printf("  soak: skipped: hard limit %llu\n", static_cast<unsigned long long>(hard));
    } else {
        const double soakSeconds = 3 * seconds;
        const fs::path log = dir / "ours-soak.log";
        auto ours = startOurs(program, root, log);
        if (!ours) {
            std::cerr << "version_load: our server did not start\n";
            return 2;
        }
        std::uint64_t replaced = 0;
        std::vector<std::shared_ptr<Silent>> silent;
        const auto end = Clock::now() + std::chrono::milliseconds(long(soakSeconds * 1000));
        int peak = 0;
        Results real = drive<OurStarter>(*ours, 7455, ourRequests, kReal, soakSeconds, peak,
                                         [&](boost::asio::io_context& io) {
                                             const tcp::endpoint at(boost::asio::ip::make_address("127.0.0.1"), 7455);
                                             for (int i = 0; i < kSilent; ++i) {
                                                 silent.push_back(std::make_shared<Silent>(io, at, end, replaced));
                                                 silent.back()->begin();
                                             }
                                             // Silent ones still open at the end are let go.
                                             auto stopper = std::make_shared<boost::asio::steady_timer>(io, end);
                                             stopper->async_wait([&silent, stopper](const error_code&) {
                                                 for (auto& s : silent)
                                                     s->stop();
                                             });
                                         });
        const double peakMiB = double(ours->statusKiB("VmHWM:")) / 1024;
        ours->stop();
        const std::string output = readText(log);
        const std::string::size_type at = output.rfind("evictions ");
        const std::string evictions =
            at == std::string::npos ? "?" : output.substr(at + 10, output.find(' ', at + 10) - at - 10);
        const bool served = real.servedClients == std::uint64_t(kReal) && real.slowest < kServedWithin;
        const bool bounded = peakMiB < kMemoryTargetMiB;
        std::printf("  soak: %d silent (reconnecting when dropped, %llu times) + %d real starters for %.0f s: "
                    "%llu/%d served, %llu checks, slowest %.2f s (target < %.0f s): %s; server peak RSS %.1f MiB (target < %.0f "
                    "MiB): %s; peak descriptors %d; evictions %s\n",
                    kSilent, static_cast<unsigned long long>(replaced), kReal, soakSeconds,
                    static_cast<unsigned long long>(real.servedClients), kReal,
                    static_cast<unsigned long long>(real.checks), real.slowest, kServedWithin,
                    bench::verdict(served), peakMiB, kMemoryTargetMiB, bench::verdict(bounded), peak,
                    evictions.c_str());
        met = met && served && bounded;
    }
    boost::system::error_code ignored;
    fs::remove_all(dir, ignored);
    return met ? 0 : 1;
}
