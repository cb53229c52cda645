// A distant server: the starter (native program, run from outside) installing
// afresh through a link with a round-trip time and a shared downstream rate
// (bench/link, by default 50 ms and 100 Mbit/s) in front of nginx and our
// version server: 2,000 files of 10 KiB, and 40 files of 2.5 MiB. Against curl
// fetching one file after another over HTTP/1.0 and curl fetching 16 at a time
// over HTTP/1.1, and against the link's own time for the bytes (size / rate).
// Then the update check alone with 50 files of the version server, timed for a
// before-and-after comparison (no target). Every file that arrives is compared
// with the published one. Runs inside a private network namespace (scripts/bench
// does that).
// Usage: wan [--launcher PROGRAM] [--version-server PROGRAM] [--publisher PROGRAM]
//            [--rounds N] [--dir DIRECTORY-FOR-THE-FILES] [--rtt-ms 50] [--rate-mbit 100]
// (the programs default to those of the same build; others measure an older one)
// bench: netns

#include "StarterBench.h"

namespace {

namespace fs = boost::filesystem;

struct Case {
    std::size_t count;
    std::uint64_t fileSize;
    bool linkTarget;
    // Against the faster curl. Large files leave the update check's four round
    // trips, which curl never pays, as the only difference.
    double curlTarget;
};

const Case kCases[] = {{2000, 10 * 1024, false, 1.0}, {40, 5 * 512 * 1024, true, 1.05}};
const std::size_t kServerFiles = 50;
const int kConcurrentDownloads = 16;
// Every transfer's buffers together, however many run at once.
const long kMemoryLimitKiB = 32 * 1024;
const double kLinkTarget = 1.10;

// The servers listen here; the link takes 127.0.0.1, which the starter and curl use.
const char kServerAddress[] = "127.0.0.2";

struct LinkSettings {
    double rttMs = 50;
    double rateMbit = 100;
};

// The link in front of both servers, for as long as it lives.
std::unique_ptr<bench::Child> startLink(const LinkSettings& settings, const fs::path& log)
{
    const std::string server = kServerAddress;
    auto link = std::make_unique<bench::Child>(
        std::vector<std::string>{
            bench::siblingProgram("bench/delay-link"), "--forward", "127.0.0.1:80=" + server + ":80",
            "--forward", "127.0.0.1:7455=" + server + ":7455", "--rtt-ms", std::to_string(settings.rttMs),
            "--rate-mbit", std::to_string(settings.rateMbit)},
        log);
    if (!link->started() || !bench::waitForListener(80, 10) || !bench::waitForListener(7455, 10))
        return nullptr;
    return link;
}

// A release laid out and served behind the link; null (told on standard error) when that fails.
struct Served {
    std::unique_ptr<bench::Release> release;
    std::unique_ptr<bench::Child> link;
};

bool serve(const bench::Options& options, const LinkSettings& settings, std::size_t count,
           std::uint64_t fileSize, std::size_t serverFiles, Served& served)
{
    served.release = std::make_unique<bench::Release>(options.base, count, fileSize);
    served.release->addServerFiles(serverFiles);
    served.release->setConcurrentDownloads(kConcurrentDownloads);
    served.release->setServerAddress(kServerAddress);
    if (!served.release->layOut(options.programs) || !served.release->serve(options.programs)) {
        std::cerr << "wan: cannot lay out or serve " << count << " files in " << options.base << "\n";
        return false;
    }
    served.link = startLink(settings, served.release->install().parent_path() / "logs" / "link.txt");
    if (!served.link) {
        std::cerr << "wan: the link did not start\n";
        return false;
    }
    return true;
}

struct Figures {
    double starter = 1e9, curlSerial = 1e9, curlParallel = 1e9;
    long peakKiB = 0;
    std::vector<double> curlRatios;
};

bool measure(bench::Release& release, int rounds, Figures& f)
{
    const std::string parallel = "--http1.1 --no-progress-meter -Z --parallel-immediate --parallel-max " +
                                 std::to_string(kConcurrentDownloads);
    for (int round = 0; round < rounds; ++round) {
        release.forgetInstall();
        const bench::ProcessRun run = release.runStarter();
        if (!run.ok || !release.installedExactly(release.install() / "game")) {
            std::cerr << "wan: the fresh install of " << release.count() << " files failed\n";
            return false;
        }
        bool serialOk = false, parallelOk = false;
        const double serial = release.timeCurl("", serialOk);
        const double parallelTime = release.timeCurl(parallel, parallelOk);
        if (!serialOk || !parallelOk) {
            std::cerr << "wan: curl failed or fetched other bytes than published\n";
            return false;
        }
        f.curlRatios.push_back(run.seconds / std::min(serial, parallelTime));
        f.starter = std::min(f.starter, run.seconds);
        f.curlSerial = std::min(f.curlSerial, serial);
        f.curlParallel = std::min(f.curlParallel, parallelTime);
        f.peakKiB = std::max(f.peakKiB, run.peakKiB);
    }
    return true;
}

// Prints one case's figures; true when its targets were met.
bool report(const Case& c, const LinkSettings& settings, int rounds, const Figures& f)
{
    const double bytes = double(c.count) * double(c.fileSize);
    const double linkSeconds = bytes / (settings.rateMbit * 1e6 / 8);
    const double curlRatio = bench::median(f.curlRatios);
    const double linkRatio = f.starter / linkSeconds;
    std::printf("%zu files of %.1f KiB (%.1f MiB), link %.0f ms, %.0f Mbit/s, best of %d (lower is better)\n",
                c.count, double(c.fileSize) / 1024, bytes / (1024 * 1024), settings.rttMs, settings.rateMbit,
                rounds);
    const bool memoryMet = f.peakKiB < kMemoryLimitKiB;
    std::printf(
        "  starter                        %8.3f s   peak memory %.1f MiB (%d transfers), target < %ld MiB: "
        "%s\n",
        f.starter, f.peakKiB / 1024.0, kConcurrentDownloads, kMemoryLimitKiB / 1024,
        bench::verdict(memoryMet));
    std::printf("  curl, one file after another   %8.3f s   (HTTP/1.0, a connection per file)\n",
                f.curlSerial);
    std::printf("  curl, %d at a time             %8.3f s   (HTTP/1.1)\n", kConcurrentDownloads,
                f.curlParallel);
    std::printf("  the link's time for the bytes  %8.3f s\n", linkSeconds);
    std::printf("    starter / faster curl %.2f (median of the rounds), target <= %.2f: %s\n", curlRatio,
                c.curlTarget, bench::verdict(curlRatio <= c.curlTarget));
    bool met = curlRatio <= c.curlTarget && memoryMet;
    if (c.linkTarget) {
        std::printf("    starter / link %.2f, target <= %.2f: %s\n", linkRatio, kLinkTarget,
                    bench::verdict(linkRatio <= kLinkTarget));
        met = met && linkRatio <= kLinkTarget;
    }
    std::fflush(stdout);
    return met;
}

// The update check alone: the version server's files fetched, then all current
// (the one HTTP file is current by then too). No target.
bool measureUpdateCheck(const bench::Options& options, const LinkSettings& settings)
{
    Served served;
    if (!serve(options, settings, 1, 10 * 1024, kServerFiles, served))
        return false;
    bench::Release& release = *served.release;
    double fetch = 1e9, current = 1e9;
    for (int round = 0; round < options.rounds; ++round) {
        release.forgetInstall();
        const bench::ProcessRun first = release.runStarter();
        if (!first.ok || !release.serverFilesInstalled() ||
            !release.installedExactly(release.install() / "game")) {
            std::cerr << "wan: the install of " << kServerFiles << " version-server files failed\n";
            return false;
        }
        const bench::ProcessRun second = release.runStarter();
        if (!second.ok) {
            std::cerr << "wan: the start with everything current failed\n";
            return false;
        }
        fetch = std::min(fetch, first.seconds);
        current = std::min(current, second.seconds);
    }
    std::printf("update check with %zu files of the version server, best of %d (no target)\n", kServerFiles,
                options.rounds);
    std::printf("  all to fetch (and 1 HTTP file)  %8.3f s\n", fetch);
    std::printf("  all current                     %8.3f s\n", current);
    std::fflush(stdout);
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    bench::Options options;
    options.rounds = 1;
    LinkSettings settings;
    const auto linkOption = [&settings](const std::string& option, const std::string& value) {
        const double number = std::atof(value.c_str());
        if (option == "--rtt-ms" && number >= 0 && number <= 10000)
            settings.rttMs = number;
        else if (option == "--rate-mbit" && number > 0 && number <= 100000)
            settings.rateMbit = number;
        else
            return false;
        return true;
    };
    if (!bench::parseOptions("wan", argc, argv, options, linkOption))
        return 2;

    bool met = true;
    for (const Case& c : kCases) {
        Served served;
        if (!serve(options, settings, c.count, c.fileSize, 0, served))
            return 2;
        Figures figures;
        if (!measure(*served.release, options.rounds, figures))
            return 1;
        met = report(c, settings, options.rounds, figures) && met;
    }
    if (!measureUpdateCheck(options, settings))
        return 1;
    return met ? 0 : 1;
}
