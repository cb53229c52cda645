// Block sync by the starter itself through a distant link (bench/link, 50 ms and
// 100 Mbit/s) in front of nginx and our version server, against zsync on the same
// files through the same link: a pack three releases deep (each release rewrites
// 0.5 % of its 4 KiB blocks, adds two runs of bytes and removes one) updated from
// the copy two releases old, which no patch starts from; and the newest pack with
// 10 scattered 4 KiB blocks damaged, repaired. Bytes are what nginx moved both
// ways (requests, heads and bodies; the delta index, the block index and zsync's
// control file included). The starter's time and peak memory are printed against
// curl fetching the whole file through the link.
// Targets: the old copy in no more bytes than zsync's; the repair in at most
// 100 KB per 200 MiB; the starter's peak memory under 32 MiB.
// Usage: sync_wan [--launcher PROGRAM] [--version-server PROGRAM] [--publisher PROGRAM]
//                 [--dir DIRECTORY-FOR-THE-FILES] [--size MIB]
// bench: netns

#include "StarterBench.h"

#include <boost/filesystem/operations.hpp>

#include <cinttypes>

namespace {

namespace fs = boost::filesystem;

const double kRepairTargetPer200MiB = 100000;
const long kMemoryLimitKiB = 32 * 1024;
const char kServerAddress[] = "127.0.0.2";

struct Outcome {
    bench::ProcessRun starter;
    bool starterExact = false;
    std::uint64_t starterBytes = 0;
    double zsyncSeconds = 0;
    bool zsyncExact = false;
    std::uint64_t zsyncBytes = 0;
};

// The three packs, written by a process of their own: what this one holds at
// its peak would count in the peak of every program it starts.
int writeCorpus(const fs::path& dir, std::uint64_t mib)
{
    // Three releases of one pack: the player kept the first, or has the newest damaged.
    bench::Random random(29);
    const std::string first = bench::randomText(random, std::size_t(mib) << 20);
    const std::string newest = bench::nextPackRelease(bench::nextPackRelease(first, random), random);
    const std::string damaged = bench::withDamagedBlocks(newest, random, 10);
    fs::create_directories(dir);
    return bench::writeAll(dir / "first.bin", first) && bench::writeAll(dir / "newest.bin", newest) &&
                   bench::writeAll(dir / "damaged.bin", damaged)
               ? 0
               : 2;
}

// The starter's update and zsync's from the same local copy, one after the other.
Outcome measure(bench::Release& release, const fs::path& local, const fs::path& published)
{
    Outcome o;
    const fs::path installed = release.install() / "game" / bench::fileName(0);
    fs::create_directories(installed.parent_path());
    fs::copy_file(local, installed, fs::copy_options::overwrite_existing);
    release.hostBytes();
    o.starter = release.runStarter();
    o.starterBytes = release.hostBytes();
    o.starterExact = o.starter.ok && bench::sameContent(installed, published);

    const fs::path dir = release.dir();
    fs::copy_file(local, dir / "zsync-in.bin", fs::copy_options::overwrite_existing);
    fs::remove(dir / "zsync-out.bin");
    bool ok = false;
    o.zsyncSeconds = bench::timeShell("cd " + bench::quoted(dir.string()) +
                                          " && zsync -q -i zsync-in.bin -o zsync-out.bin "
                                          "http://127.0.0.1/zsync/pack.zsync >/dev/null 2>&1",
                                      ok);
    o.zsyncBytes = release.hostBytes();
    o.zsyncExact = ok && bench::sameContent(dir / "zsync-out.bin", published);
    return o;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::string(argv[1]) == "corpus")
        return writeCorpus(argv[2], std::strtoull(argv[3], nullptr, 10));
    bench::Options options;
    std::uint64_t mib = 200;
    if (!bench::parseOptions("sync_wan", argc, argv, options,
                             [&mib](const std::string& option, const std::string& value) {
                                 if (option != "--size")
                                     return false;
                                 mib = std::strtoull(value.c_str(), nullptr, 10);
                                 return mib > 0;
                             }))
        return 2;

    const fs::path corpus = options.base / fs::unique_path("sync-wan-%%%%-%%%%");
    struct Cleanup {
        fs::path dir;
        ~Cleanup() { fs::remove_all(dir); }
    } cleanup{corpus};
    int status = 0;
    bench::run(bench::selfPath() + " corpus " + bench::quoted(corpus.string()) + " " + std::to_string(mib),
               status);
    if (status != 0) {
        std::cerr << "sync_wan: cannot write the packs in " << corpus << "\n";
        return 2;
    }
    const std::uint64_t size = fs::file_size(corpus / "newest.bin");

    bench::Release release(options.base, 1, size);
    release.setServerAddress(kServerAddress);
    release.logHostBytes();
    if (!release.layOut(options.programs)) {
        std::cerr << "sync_wan: cannot lay out the release\n";
        return 2;
    }
    // Block indexes only: no earlier release is given, so no patch starts from the old copy.
    const fs::path www = release.dir() / "www";
    const fs::path published = www / "game" / bench::fileName(0);
    fs::copy_file(corpus / "newest.bin", published, fs::copy_options::overwrite_existing);
    bench::run(
        bench::quoted(options.programs.publisher) + " delta " + bench::quoted(www.string()) + " >/dev/null",
        status);
    if (status != 0 || !release.configure(options.programs)) {
        std::cerr << "sync_wan: the publisher failed\n";
        return 2;
    }
    // zsync's control file beside the release, not among the files players receive.
    fs::create_directories(www / "zsync");
    bench::run("cd " + bench::quoted((www / "zsync").string()) +
                   " && zsyncmake -b 4096 -u http://127.0.0.1/game/" + bench::fileName(0) +
                   " -o pack.zsync " + bench::quoted(published.string()) + " >/dev/null",
               status);
    if (status != 0 || !release.serve(options.programs)) {
        std::cerr << "sync_wan: zsyncmake or the servers failed (see " << release.dir() << ")\n";
        return 2;
    }
    const auto link = bench::startSlowLink(kServerAddress, release.dir() / "logs" / "link.txt");
    if (!link) {
        std::cerr << "sync_wan: the link did not start\n";
        return 2;
    }
    bool curlOk = false;
    const double curl = release.timeCurl("", curlOk);
    if (!curlOk) {
        std::cerr << "sync_wan: curl failed or fetched other bytes than published\n";
        return 1;
    }

    std::printf("pack of %.1f MiB through a 50 ms, 100 Mbit/s link; block index %" PRIu64
                " bytes, zsync control file %" PRIu64 " bytes; curl fetches it whole in %.3f s\n",
                double(size) / (1 << 20), bench::bytesBelow(www / "delta", ".blocks"),
                std::uint64_t(fs::file_size(www / "zsync" / "pack.zsync")), curl);
    bool met = true;
    const struct {
        const char* name;
        const char* local;
        bool repair;
    } cases[] = {{"two releases old", "first.bin", false}, {"10 blocks damaged", "damaged.bin", true}};
    for (const auto& c : cases) {
        const Outcome o = measure(release, corpus / c.local, published);
        const double limit =
            c.repair ? kRepairTargetPer200MiB * double(size) / (200.0 * 1024 * 1024) : double(o.zsyncBytes);
        const bool bytesMet = o.starterExact && o.zsyncExact && double(o.starterBytes) <= limit;
        const bool memoryMet = o.starter.peakKiB < kMemoryLimitKiB;
        met = met && bytesMet && memoryMet;
        std::printf("  %-18s starter %9" PRIu64
                    " bytes (%.2f %%) in %.3f s (%.2f of curl's time)  zsync %9" PRIu64
                    " bytes (%.2f %%) in %.3f s  ratio %.2f  %s\n",
                    c.name, o.starterBytes, 100.0 * double(o.starterBytes) / double(size), o.starter.seconds,
                    o.starter.seconds / curl, o.zsyncBytes, 100.0 * double(o.zsyncBytes) / double(size),
                    o.zsyncSeconds, double(o.starterBytes) / double(std::max<std::uint64_t>(o.zsyncBytes, 1)),
                    o.starterExact && o.zsyncExact ? "both files exact" : "A FILE DIFFERS");
        std::printf(
            "  %-18s target %s %.0f bytes: %s; starter's peak memory %.1f MiB, target < %ld MiB: %s\n", "",
            c.repair ? "<=" : "<= zsync's", limit, bench::verdict(bytesMet), o.starter.peakKiB / 1024.0,
            kMemoryLimitKiB / 1024, bench::verdict(memoryMet));
    }
    return met ? 0 : 1;
}
