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

const char* const kNames[7] = {"files.cfg",    "delete_config.txt", "Launcher.exe", "launcher_info.cfg",
                               "platform.dll", "notice.txt",        "Updater.exe"};
const std::size_t kSizes[7] = {400, 120, 2 << 20, 900, 300 << 10, 60, 1 << 20};
const int kCases[3] = {100, 1000, 5000};
const int kSilent = 10000;
const int kReal = 100;
const double kTargetRatio = 1.0;
const double kMemoryTargetMiB = 64;
const double kServedWithin = 15;

std::string be32(std::uint32_t value)
{
    return std::string{char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
}

// What the system says about a server process.
long statusKiB(const bench::Child& process, const char* field)
{
    std::ifstream status("/proc/" + std::to_string(process.pid()) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, std::strlen(field), field) == 0)
            return std::atol(line.c_str() + std::strlen(field));
    }
    return -1;
}

int descriptors(const bench::Child& process)
{
    DIR* dir = ::opendir(("/proc/" + std::to_string(process.pid()) + "/fd").c_str());
    if (!dir)
        return -1;
    int count = 0;
    while (::readdir(dir))
        ++count;
    ::closedir(dir);
    return count - 2;
}

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

// What both kinds of starter share: the loop of checks until the end of the run,
// the record of each check, and a short pause after a failure.
class Starter : public std::enable_shared_from_this<Starter> {
public:
    Starter(Run& run, const std::vector<std::string>& requests)
        : run_(run), requests_(requests), socket_(run.io), pause_(run.io)
    {
    }
    virtual ~Starter() = default;
    void begin()
    {
        if (Clock::now() >= run_.end)
            return;
        started_ = Clock::now();
        next_ = 0;
        check();
    }

protected:
    virtual void check() = 0;
    void checked()
    {
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
    void failed()
    {
        ++run_.results.errors;
        error_code ignored;
        socket_.close(ignored);
        pause_.expires_after(std::chrono::milliseconds(10));
        auto self = shared_from_this();
        pause_.async_wait([self](const error_code&) { self->begin(); });
    }
    template <typename Self>
    std::shared_ptr<Self> self()
    {
        return std::static_pointer_cast<Self>(shared_from_this());
    }

    Run& run_;
    const std::vector<std::string>& requests_;
    tcp::socket socket_;
    boost::asio::steady_timer pause_;
    Clock::time_point started_;
    std::size_t next_ = 0;
    bool served_ = false;
};

// One starter of ours: a connection per check, 7 requests on it.
class OurStarter : public Starter {
public:
    using Starter::Starter;

private:
    void check() override
    {
        socket_ = tcp::socket(run_.io);
        auto self = this->self<OurStarter>();
        socket_.async_connect(run_.endpoint, [self](const error_code& error) {
            if (error)
                return self->failed();
            error_code ignored;
            self->socket_.set_option(tcp::no_delay(true), ignored);
            boost::asio::async_write(
                self->socket_, boost::asio::buffer("quiv", 4),
                [self](const error_code& e, std::size_t) { e ? self->failed() : self->ask(); });
        });
    }
    void ask()
    {
        auto self = this->self<OurStarter>();
        boost::asio::async_write(
            socket_, boost::asio::buffer(requests_[next_]), [self](const error_code& e, std::size_t) {
                if (e)
                    return self->failed();
                boost::asio::async_read(self->socket_, boost::asio::buffer(self->reply_),
                                        [self](const error_code& e2, std::size_t) { self->answered(e2); });
            });
    }
    void answered(const error_code& error)
    {
        // "Current": code 10, an empty text and an empty content.
        static const std::array<char, 9> kCurrent = {10, 0, 0, 0, 0, 0, 0, 0, 0};
        if (error || reply_ != kCurrent)
            return failed();
        if (++next_ < requests_.size())
            return ask();
        checked();
    }

    std::array<char, 9> reply_{};
};

// The same check over HTTP: a connection per file, each answered 304.
class HttpStarter : public Starter {
public:
    using Starter::Starter;

private:
    void check() override
    {
        socket_ = tcp::socket(run_.io);
        response_.clear();
        auto self = this->self<HttpStarter>();
        socket_.async_connect(run_.endpoint, [self](const error_code& error) {
            if (error)
                return self->failed();
            boost::asio::async_write(
                self->socket_, boost::asio::buffer(self->requests_[self->next_]),
                [self](const error_code& e, std::size_t) { e ? self->failed() : self->read(); });
        });
    }
    void read()
    {
        auto self = this->self<HttpStarter>();
        socket_.async_read_some(
            boost::asio::buffer(piece_), [self](const error_code& error, std::size_t got) {
                self->response_.append(self->piece_.data(), got);
                if (!error && self->response_.size() < 4096)
                    return self->read();
                if (error != boost::asio::error::eof || self->response_.compare(0, 12, "HTTP/1.1 304") != 0)
                    return self->failed();
                if (++self->next_ < self->requests_.size()) {
                    error_code ignored;
                    self->socket_.close(ignored);
                    return self->check();
                }
                self->checked();
            });
    }

    std::array<char, 1024> piece_{};
    std::string response_;
};

// A connection that never asks for anything; when the server drops it, another takes its place.
class Silent : public std::enable_shared_from_this<Silent> {
public:
    Silent(boost::asio::io_context& io, tcp::endpoint endpoint, Clock::time_point end,
           std::uint64_t& replaced)
        : io_(io), endpoint_(endpoint), end_(end), replaced_(replaced), socket_(io), pause_(io)
    {
    }
    void begin()
    {
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
    void stop()
    {
        error_code ignored;
        socket_.close(ignored);
        pause_.cancel(ignored);
    }

private:
    void again()
    {
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

double percentile(std::vector<double>& values, double share)
{
    if (values.empty())
        return 0;
    const std::size_t index = std::min(values.size() - 1, std::size_t(share * double(values.size())));
    std::nth_element(values.begin(), values.begin() + long(index), values.end());
    return values[index];
}

// Runs `clients` starters against the server in `process` for `seconds`,
// sampling its descriptors; `extra` starts anything else on the same context.
template <typename Starter>
Results drive(bench::Child& process, unsigned short port, const std::vector<std::string>& requests,
              int clients, double seconds, int& peakDescriptors,
              const std::function<void(boost::asio::io_context&)>& extra = {})
{
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
        peakDescriptors = std::max(peakDescriptors, descriptors(process));
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

std::string etagOf(const std::string& name)
{
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
    return at == std::string::npos ? std::string()
                                   : response.substr(at + 6, response.find("\r\n", at) - at - 6);
}

std::string readText(const fs::path& path)
{
    std::ifstream in(path.string(), std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::unique_ptr<bench::Child> startOurs(const std::string& program, const fs::path& root,
                                        const fs::path& output)
{
    auto process = std::make_unique<bench::Child>(
        std::vector<std::string>{program, "--root", root.string(), "--listen", "127.0.0.1"}, output);
    if (!process->started() || !bench::waitForListener(7455, 10))
        return nullptr;
    return process;
}

void print(const char* who, int clients, const Figures& f)
{
    std::printf(
        "  %-5s C=%-5d %9.0f checks/s   p50 %7.2f ms   p99 %7.2f ms   peak RSS %6.1f MiB   "
        "peak descriptors %5d   errors %llu\n",
        who, clients, f.checksPerSecond, f.p50 * 1000, f.p99 * 1000, f.peakMiB, f.peakDescriptors,
        static_cast<unsigned long long>(f.errors));
}

Figures figures(Results& results, bench::Child& process, int peakDescriptors)
{
    Figures f;
    // Checks begun within the time, over the time until the last of them ended:
    // at C=5000 one check can take longer than a case lasts.
    f.checksPerSecond = results.elapsed > 0 ? double(results.checks) / results.elapsed : 0;
    f.p50 = percentile(results.latencies, 0.50);
    f.p99 = percentile(results.latencies, 0.99);
    f.peakMiB = double(statusKiB(process, "VmHWM:")) / 1024;
    f.peakDescriptors = peakDescriptors;
    f.errors = results.errors;
    return f;
}

}  // namespace

int main(int argc, char** argv)
{
    if (!bench::inPrivateNetwork()) {
        std::cerr << "version_load: run inside tests/netns-run (it needs ports 80 and 7455 of its own)\n";
        return 2;
    }
    initPathConversion();
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10;
    const std::string program = argc > 2 ? std::string(argv[2])
                                         : (fs::path(bench::selfPath()).parent_path().parent_path() /
                                            "tools" / "version-server" / "version-server")
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

    std::printf(
        "version_load: starters checking a 7-file manifest, all current; %.0f s per case, hard descriptor "
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
        // One warm-up check; the digests were made before the server listened.
        int ignoredPeak = 0;
        drive<OurStarter>(*ours, 7455, ourRequests, 1, 0.2, ignoredPeak);
        int oursDescriptors = 0;
        Results ourResults = drive<OurStarter>(*ours, 7455, ourRequests, clients, seconds, oursDescriptors);
        const Figures our = figures(ourResults, *ours, oursDescriptors);
        ours->stop();

        auto nginx = bench::startNginx(root, dir / ("nginx-" + std::to_string(clients)), long(hard));
        if (!nginx) {
            std::cerr << "version_load: nginx did not start\n";
            return 2;
        }
        std::vector<std::string> httpRequests;
        for (const char* name : kNames) {
            httpRequests.push_back(std::string("GET /") + name +
                                   " HTTP/1.0\r\nHost: 127.0.0.1\r\nIf-None-Match: " + etagOf(name) +
                                   "\r\nConnection: close\r\n\r\n");
        }
        int nginxDescriptors = 0;
        Results httpResults =
            drive<HttpStarter>(*nginx, 80, httpRequests, clients, seconds, nginxDescriptors);
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
            std::printf("  C=5000: our peak RSS %.1f MiB (target < %.0f MiB): %s\n", our.peakMiB,
                        kMemoryTargetMiB, bench::verdict(memoryMet));
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
        Results real = drive<OurStarter>(
            *ours, 7455, ourRequests, kReal, soakSeconds, peak, [&](boost::asio::io_context& io) {
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
        const double peakMiB = double(statusKiB(*ours, "VmHWM:")) / 1024;
        ours->stop();
        const std::string output = readText(log);
        const std::string::size_type at = output.rfind("evictions ");
        const std::string evictions =
            at == std::string::npos ? "?" : output.substr(at + 10, output.find(' ', at + 10) - at - 10);
        const bool served = real.servedClients == std::uint64_t(kReal) && real.slowest < kServedWithin;
        const bool bounded = peakMiB < kMemoryTargetMiB;
        std::printf(
            "  soak: %d silent (reconnecting when dropped, %llu times) + %d real starters for %.0f s: "
            "%llu/%d served, %llu checks, slowest %.2f s (target < %.0f s): %s; server peak RSS %.1f MiB "
            "(target < %.0f "
            "MiB): %s; peak descriptors %d; evictions %s\n",
            kSilent, static_cast<unsigned long long>(replaced), kReal, soakSeconds,
            static_cast<unsigned long long>(real.servedClients), kReal,
            static_cast<unsigned long long>(real.checks), real.slowest, kServedWithin, bench::verdict(served),
            peakMiB, kMemoryTargetMiB, bench::verdict(bounded), peak, evictions.c_str());
        met = met && served && bounded;
    }
    boost::system::error_code ignored;
    fs::remove_all(dir, ignored);
    return met ? 0 : 1;
}
