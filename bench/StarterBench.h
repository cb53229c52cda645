#pragma once
// A release served by nginx and our version server, and the native starter run
// from outside against it as a player starts it: the fresh install and the start
// with nothing to do, each round timed back to back with curl plus sha1sum and
// sha1sum alone. Shared by the benchmarks that measure whole starter runs; they
// run inside a private network namespace (scripts/bench does that).

#include "NetBenchUtil.h"

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <iostream>
#include <vector>

namespace bench {

namespace fs = boost::filesystem;

const std::size_t kFilesPerDirectory = 500;

struct Programs {
    std::string launcher;
    std::string versionServer;
    std::string publisher;
};

inline std::string quoted(const std::string& text)
{
    return "'" + text + "'";
}

// Runs `arguments` in `directory` with its output in `output`; the wall time, the
// peak resident memory (KiB) and whether it ended with status 0.
struct ProcessRun {
    double seconds = 0;
    long peakKiB = 0;
    bool ok = false;
};

inline ProcessRun runProcess(const std::vector<std::string>& arguments, const fs::path& directory,
                             const fs::path& output)
{
    ProcessRun result;
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = bench::spawnProgram(arguments, output, directory);
    int status = 0;
    struct rusage usage = {};
    if (pid > 0 && ::wait4(pid, &status, 0, &usage) == pid) {
        result.seconds = bench::seconds(start);
        result.peakKiB = usage.ru_maxrss;
        result.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    return result;
}

// Times a shell command; false in `ok` when it failed.
inline double timeShell(const std::string& command, bool& ok)
{
    int status = 0;
    const auto start = std::chrono::steady_clock::now();
    bench::run(command, status);
    const double secs = bench::seconds(start);
    ok = status == 0;
    return secs;
}

inline std::string fileName(std::size_t index)
{
    char name[64];
    std::snprintf(name, sizeof name, "d%03zu/f%05zu.bin", index / kFilesPerDirectory, index);
    return name;
}

// The version server's own small files beside the release: the manifest places
// each in the installation's directory "vs".
const char kServerFilesDirectory[] = "vs";

inline std::string serverFileName(std::size_t index)
{
    char name[64];
    std::snprintf(name, sizeof name, "vs%05zu.bin", index);
    return name;
}

// Byte for byte the same content.
inline bool sameContent(const fs::path& a, const fs::path& b)
{
    std::ifstream left(a.string(), std::ios::binary);
    std::ifstream right(b.string(), std::ios::binary);
    std::vector<char> leftBytes(1 << 16), rightBytes(1 << 16);
    while (left && right) {
        left.read(leftBytes.data(), std::streamsize(leftBytes.size()));
        right.read(rightBytes.data(), std::streamsize(rightBytes.size()));
        if (left.gcount() != right.gcount() ||
            !std::equal(leftBytes.begin(), leftBytes.begin() + left.gcount(), rightBytes.begin()))
            return false;
    }
    return left.eof() && right.eof();
}

// One release of `count` files with its servers and an installation of the starter.
class Release {
public:
    Release(const fs::path& base, std::size_t count, std::uint64_t fileSize)
        : dir_(base / fs::unique_path("starter-bench-%%%%-%%%%")), count_(count), fileSize_(fileSize)
    {
    }

    ~Release()
    {
        nginx_.reset();
        versionServer_.reset();
        boost::system::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    // Before layOut: `count` files of 1 KiB that the version server delivers too.
    void addServerFiles(std::size_t count) { serverFiles_ = count; }

    // Before layOut: the number of simultaneous HTTP transfers that launcher_info.cfg asks for.
    void setConcurrentDownloads(int count) { concurrentDownloads_ = count; }

    // Before serve: the servers listen on this address (something else, a link, may then
    // take 127.0.0.1, which the starter and curl talk to).
    void setServerAddress(const std::string& address) { serverAddress_ = address; }

    // Before serve: nginx logs the bytes of each request, which hostBytes() sums.
    void logHostBytes() { logHostBytes_ = true; }
    // The bytes nginx moved both ways since the last call.
    std::uint64_t hostBytes() const { return bench::hostBytes(dir_ / "nginx"); }

    bool layOut(const Programs& programs)
    {
        const fs::path files = dir_ / "www" / "game";
        // In pieces (a multiple of the generator's 8 bytes): the benchmark's own
        // memory would count in the peak of every program it starts.
        const std::uint64_t kPiece = 1 << 20;
        std::vector<char> content(std::size_t(std::min(fileSize_, kPiece)));
        bench::Random random(count_);
        for (std::size_t i = 0; i < count_; ++i) {
            const fs::path file = files / fileName(i);
            if (i % kFilesPerDirectory == 0)
                fs::create_directories(file.parent_path());
            std::ofstream out(file.string(), std::ios::binary);
            for (std::uint64_t written = 0; written < fileSize_; written += kPiece) {
                const std::size_t now = std::size_t(std::min(kPiece, fileSize_ - written));
                random.fill(content.data(), now);
                out.write(content.data(), std::streamsize(now));
            }
            if (!out)
                return false;
        }

        // The version server delivers the updater and the launcher configuration; the
        // installation already holds the current starter, so it does not replace itself.
        const fs::path server = dir_ / "server";
        fs::create_directories(server);
        {
            std::ofstream updater((server / "Updater.exe").string());
            updater << "#!/bin/sh\nexit 0\n";
        }
        fs::permissions(server / "Updater.exe", fs::owner_all | fs::group_read | fs::others_read);
        fs::copy_file(programs.launcher, server / "Launcher.exe");
        std::string places = " --place Updater.exe=updater --place launcher_info.cfg=updater";
        for (std::size_t i = 0; i < serverFiles_; ++i) {
            if (!bench::writeRandomFile(server / serverFileName(i), 1024))
                return false;
            places += " --place " + serverFileName(i) + "=" + kServerFilesDirectory;
        }
        places_ = places;
        if (!configure(programs))
            return false;

        fs::create_directories(install());
        fs::copy_file(programs.launcher, install() / "Launcher.exe");
        fs::permissions(install() / "Launcher.exe", fs::owner_all);
        std::ofstream((install() / "test.cfg").string()) << "starter_cfg_host 127.0.0.1\n";

        // The list curl works through: every file over a connection of its own.
        std::ofstream list((dir_ / "curl.txt").string());
        for (std::size_t i = 0; i < count_; ++i) {
            list << "url = \"http://127.0.0.1/game/" << fileName(i) << "\"\n";
            list << "output = \"" << (dir_ / "curl" / fileName(i)).string() << "\"\n";
        }
        return bool(list);
    }

    // launcher_info.cfg of the files in www (with the delta index there, if any)
    // and the version server's manifest; again after the files changed.
    bool configure(const Programs& programs)
    {
        const fs::path files = dir_ / "www" / "game";
        const fs::path server = dir_ / "server";
        int status = 0;
        bench::run(
            quoted(programs.publisher) + " launcher-info " + quoted(files.string()) +
                " --updater-name updater/Updater.exe --host 127.0.0.1 --save-dir game --path-prefix "
                "game/" +
                (concurrentDownloads_ > 0 ? " --concurrent-downloads " + std::to_string(concurrentDownloads_)
                                          : std::string()) +
                " --http-dir " + quoted((dir_ / "www").string()) + " -o " +
                quoted((server / "launcher_info.cfg").string()) + " >/dev/null",
            status);
        if (status != 0)
            return false;
        bench::run(
            quoted(programs.publisher) + " manifest " + quoted(server.string()) + places_ + " >/dev/null",
            status);
        if (status != 0)
            return false;

        return true;
    }

    const fs::path& dir() const { return dir_; }

    bool serve(const Programs& programs)
    {
        fs::create_directories(dir_ / "logs");
        versionServer_ = std::make_unique<bench::Child>(
            std::vector<std::string>{programs.versionServer, "--root", (dir_ / "server").string(), "--listen",
                                     serverAddress_},
            dir_ / "logs" / "version-server.txt");
        if (!versionServer_->started() || !bench::waitForListener(7455, 10, serverAddress_))
            return false;
        nginx_ = bench::startNginx(dir_ / "www", dir_ / "nginx", 0, serverAddress_, logHostBytes_);
        return nginx_ != nullptr;
    }

    // One run of the starter in the installation, as a player starts it.
    ProcessRun runStarter()
    {
        fs::create_directories(dir_ / "tmp");
        ::setenv("TMPDIR", (dir_ / "tmp").c_str(), 1);
        return runProcess({(install() / "Launcher.exe").string()}, install(), dir_ / "logs" / "starter.txt");
    }

    // Back to an installation that has never run.
    void forgetInstall()
    {
        for (const char* name : {"game", "updater", "Log", kServerFilesDirectory})
            fs::remove_all(install() / name);
    }

    // Every file in place with the size it was published with.
    bool installed(const fs::path& root) const
    {
        for (std::size_t i = 0; i < count_; ++i) {
            boost::system::error_code error;
            if (fs::file_size(root / fileName(i), error) != fileSize_ || error)
                return false;
        }
        return true;
    }

    // Every file in place with the content it was published with.
    bool installedExactly(const fs::path& root) const
    {
        for (std::size_t i = 0; i < count_; ++i) {
            if (!sameContent(root / fileName(i), dir_ / "www" / "game" / fileName(i)))
                return false;
        }
        return true;
    }

    // And the version server's own files, where the manifest places them.
    bool serverFilesInstalled() const
    {
        for (std::size_t i = 0; i < serverFiles_; ++i) {
            if (!sameContent(install() / kServerFilesDirectory / serverFileName(i),
                             dir_ / "server" / serverFileName(i)))
                return false;
        }
        return true;
    }

    // One curl run over the whole list with `flags` (how it fetches: one file after
    // another over HTTP/1.0 when empty); false in `ok` when curl failed or a file
    // differs from the published one.
    double timeCurl(const std::string& flags, bool& ok)
    {
        const double fetch = fetchWithCurl(flags.empty() ? std::string("--http1.0") : flags, ok);
        ok = ok && installedExactly(dir_ / "curl");
        return fetch;
    }

    double timeCurlAndDigest(bool& ok)
    {
        const double fetch = fetchWithCurl("--http1.0", ok);
        bool fetched = ok && installed(dir_ / "curl");
        const double digest = timeDigest(dir_ / "curl", ok);
        ok = ok && fetched;
        return fetch + digest;
    }

    double timeDigest(const fs::path& root, bool& ok)
    {
        return timeShell(
            "cd " + quoted(root.string()) + " && find . -type f -print0 | xargs -0 sha1sum >/dev/null", ok);
    }

    fs::path install() const { return dir_ / "install"; }
    std::size_t count() const { return count_; }
    std::uint64_t fileSize() const { return fileSize_; }

private:
    double fetchWithCurl(const std::string& flags, bool& ok)
    {
        fs::remove_all(dir_ / "curl");
        return timeShell("curl " + flags + " -s -f --create-dirs -K " + quoted((dir_ / "curl.txt").string()),
                         ok);
    }

    fs::path dir_;
    std::size_t count_;
    std::uint64_t fileSize_;
    std::size_t serverFiles_ = 0;
    int concurrentDownloads_ = 0;
    // The manifest's --place options, for configure() again after a change.
    std::string places_;
    std::string serverAddress_ = "127.0.0.1";
    bool logHostBytes_ = false;
    std::unique_ptr<bench::Child> versionServer_;
    std::unique_ptr<bench::Child> nginx_;
};

struct Figures {
    double fresh = 1e9, curl = 1e9, idle = 1e9, sha1sum = 1e9;
    long freshKiB = 0, idleKiB = 0;
    // Each round's ratio of times taken back to back: other work on the machine
    // shifts both sides of a round alike, but not the best times of different rounds.
    std::vector<double> freshRatios, idleRatios;
};

inline double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

inline bool measure(const char* label, Release& release, int rounds, Figures& figures)
{
    for (int round = 0; round < rounds; ++round) {
        release.forgetInstall();
        const ProcessRun fresh = release.runStarter();
        if (!fresh.ok || !release.installed(release.install() / "game")) {
            std::cerr << label << ": the fresh install of " << release.count() << " files failed\n";
            return false;
        }
        const ProcessRun idle = release.runStarter();
        if (!idle.ok) {
            std::cerr << label << ": the start with nothing to do failed\n";
            return false;
        }
        bool ok = false;
        const double curl = release.timeCurlAndDigest(ok);
        if (!ok) {
            std::cerr << label << ": curl or sha1sum failed\n";
            return false;
        }
        const double sha1sum = release.timeDigest(release.install() / "game", ok);
        if (!ok) {
            std::cerr << label << ": sha1sum failed\n";
            return false;
        }
        figures.freshRatios.push_back(fresh.seconds / curl);
        figures.idleRatios.push_back(idle.seconds / sha1sum);
        figures.fresh = std::min(figures.fresh, fresh.seconds);
        figures.idle = std::min(figures.idle, idle.seconds);
        figures.curl = std::min(figures.curl, curl);
        figures.sha1sum = std::min(figures.sha1sum, sha1sum);
        figures.freshKiB = std::max(figures.freshKiB, fresh.peakKiB);
        figures.idleKiB = std::max(figures.idleKiB, idle.peakKiB);
    }
    return true;
}

inline std::string siblingProgram(const std::string& relative)
{
    return (fs::path(bench::selfPath()).parent_path().parent_path() / relative).string();
}

inline Programs programsOfThisBuild()
{
    return Programs{siblingProgram("app/Launcher"), siblingProgram("tools/version-server/version-server"),
                    siblingProgram("tools/launcher-publish/launcher-publish")};
}

// The bytes of the files under `dir` whose names end in `extension`.
inline std::uint64_t bytesBelow(const fs::path& dir, const std::string& extension)
{
    std::uint64_t total = 0;
    for (fs::recursive_directory_iterator it(dir), end; it != end; ++it) {
        if (fs::is_regular_file(it->path()) && it->path().extension() == extension)
            total += fs::file_size(it->path());
    }
    return total;
}

// The distant link of bench/link (50 ms, 100 Mbit/s) on 127.0.0.1's HTTP and
// version ports, in front of servers listening on `serverAddress`.
inline std::unique_ptr<Child> startSlowLink(const std::string& serverAddress, const fs::path& log)
{
    auto link = std::make_unique<Child>(
        std::vector<std::string>{
            siblingProgram("bench/delay-link"), "--forward", "127.0.0.1:80=" + serverAddress + ":80",
            "--forward", "127.0.0.1:7455=" + serverAddress + ":7455", "--rtt-ms", "50", "--rate-mbit", "100"},
        log);
    if (!link->started() || !waitForListener(80, 10) || !waitForListener(7455, 10))
        return nullptr;
    return link;
}

struct Options {
    Programs programs = programsOfThisBuild();
    fs::path base = fs::temp_directory_path();
    int rounds = 3;
};

// [--launcher PROGRAM] [--version-server PROGRAM] [--publisher PROGRAM] [--rounds N]
// [--dir DIRECTORY-FOR-THE-FILES], and those that `more` takes (it returns false on
// the others); false (told on standard error) when they are wrong or the network
// is not private.
inline bool parseOptions(
    const char* label, int argc, char** argv, Options& options,
    const std::function<bool(const std::string& option, const std::string& value)>& more = nullptr)
{
    for (int i = 1; i < argc; i += 2) {
        const std::string option = argv[i];
        if (i + 1 >= argc) {
            std::cerr << label << ": " << option << " needs a value\n";
            return false;
        }
        if (option == "--launcher")
            options.programs.launcher = argv[i + 1];
        else if (option == "--version-server")
            options.programs.versionServer = argv[i + 1];
        else if (option == "--publisher")
            options.programs.publisher = argv[i + 1];
        else if (option == "--rounds")
            options.rounds = std::max(1, std::atoi(argv[i + 1]));
        else if (option == "--dir")
            options.base = argv[i + 1];
        else if (!more || !more(option, argv[i + 1])) {
            std::cerr << label << ": unknown option or bad value: " << option << " " << argv[i + 1] << "\n";
            return false;
        }
    }
    if (!inPrivateNetwork()) {
        std::cerr << label << ": run inside tests/netns-run (it needs ports 80 and 7455 of its own)\n";
        return false;
    }
    return true;
}

}  // namespace bench
