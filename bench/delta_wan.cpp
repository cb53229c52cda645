// The update from one release to the next through a distant link (bench/link,
// by default 50 ms and 100 Mbit/s) in front of nginx and our version server: 40
// files of 2.5 MiB installed, then each changed in 1 % of its 4 KiB blocks and
// patched with the publisher's "delta". The starter's update against curl
// fetching the changed files whole (one after another over HTTP/1.0, and 16 at
// a time over HTTP/1.1); every file that arrives is compared with the new one.
// Runs inside a private network namespace (scripts/bench does that).
// Usage: delta_wan [--launcher PROGRAM] [--version-server PROGRAM] [--publisher PROGRAM]
//                  [--dir DIRECTORY-FOR-THE-FILES]
// bench: netns

#include "StarterBench.h"

#include <boost/filesystem/operations.hpp>

namespace {

namespace fs = boost::filesystem;

const std::size_t kFiles = 40;
const std::uint64_t kFileSize = 5 * 512 * 1024;
const std::uint64_t kBlock = 4096;
const int kConcurrentDownloads = 16;
const double kCurlTarget = 0.10;
const long kMemoryLimitKiB = 32 * 1024;
const char kServerAddress[] = "127.0.0.2";

// Rewrites 1 % of the file's blocks in place, spread over it.
bool changeBlocks(const fs::path& file, bench::Random& random)
{
    std::fstream stream(file.string(), std::ios::in | std::ios::out | std::ios::binary);
    std::vector<char> block(kBlock);
    const std::uint64_t blocks = kFileSize / kBlock;
    for (std::uint64_t i = 0; i < blocks / 100; ++i) {
        random.fill(block.data(), block.size());
        stream.seekp(std::streamoff((random.next() % blocks) * kBlock));
        stream.write(block.data(), std::streamsize(block.size()));
    }
    return bool(stream);
}

}  // namespace

int main(int argc, char** argv)
{
    bench::Options options;
    if (!bench::parseOptions("delta_wan", argc, argv, options))
        return 2;
    bench::Release release(options.base, kFiles, kFileSize);
    release.setConcurrentDownloads(kConcurrentDownloads);
    release.setServerAddress(kServerAddress);
    if (!release.layOut(options.programs) || !release.serve(options.programs)) {
        std::cerr << "delta_wan: cannot lay out or serve the release\n";
        return 2;
    }
    const auto link = bench::startSlowLink(kServerAddress, release.dir() / "logs" / "link.txt");
    if (!link) {
        std::cerr << "delta_wan: the link did not start\n";
        return 2;
    }
    if (!release.runStarter().ok || !release.installedExactly(release.install() / "game")) {
        std::cerr << "delta_wan: the first release did not install\n";
        return 1;
    }

    // The next release: every file changed a little, patched from the first.
    const fs::path www = release.dir() / "www", old = release.dir() / "old-www";
    fs::create_directories(old / "game");
    bench::Random random(7);
    for (std::size_t i = 0; i < kFiles; ++i) {
        fs::create_directories((old / "game" / bench::fileName(i)).parent_path());
        fs::copy_file(www / "game" / bench::fileName(i), old / "game" / bench::fileName(i));
        if (!changeBlocks(www / "game" / bench::fileName(i), random))
            return 2;
    }
    int status = 0;
    bench::run(bench::quoted(options.programs.publisher) + " delta " + bench::quoted(www.string()) +
                   " --from " + bench::quoted(old.string()) + " >/dev/null",
               status);
    if (status != 0 || !release.configure(options.programs)) {
        std::cerr << "delta_wan: the publisher failed\n";
        return 2;
    }

    const bench::ProcessRun update = release.runStarter();
    if (!update.ok || !release.installedExactly(release.install() / "game")) {
        std::cerr << "delta_wan: the update did not install the new release\n";
        return 1;
    }
    bool serialOk = false, parallelOk = false;
    const double serial = release.timeCurl("", serialOk);
    const double parallel =
        release.timeCurl("--http1.1 --no-progress-meter -Z --parallel-immediate --parallel-max " +
                             std::to_string(kConcurrentDownloads),
                         parallelOk);
    if (!serialOk || !parallelOk) {
        std::cerr << "delta_wan: curl failed or fetched other bytes than published\n";
        return 1;
    }
    const double ratio = update.seconds / std::min(serial, parallel);
    const bool memoryMet = update.peakKiB < kMemoryLimitKiB;
    std::printf("update of %zu files of %.1f MiB, 1 %% of the 4 KiB blocks changed, link 50 ms, 100 Mbit/s\n",
                kFiles, double(kFileSize) / (1024 * 1024));
    std::printf("  patches %.1f KiB, index %.1f KiB, whole files %.1f MiB\n",
                double(bench::bytesBelow(www / "delta", ".patch")) / 1024,
                double(bench::bytesBelow(www / "delta", ".cfg")) / 1024,
                double(kFiles * kFileSize) / (1024 * 1024));
    std::printf("  starter                        %8.3f s   peak memory %.1f MiB, target < %ld MiB: %s\n",
                update.seconds, update.peakKiB / 1024.0, kMemoryLimitKiB / 1024, bench::verdict(memoryMet));
    std::printf("  curl, one file after another   %8.3f s   (whole files, HTTP/1.0)\n", serial);
    std::printf("  curl, %d at a time             %8.3f s   (whole files, HTTP/1.1)\n", kConcurrentDownloads,
                parallel);
    std::printf("    starter / faster curl %.3f, target <= %.2f: %s\n", ratio, kCurlTarget,
                bench::verdict(ratio <= kCurlTarget));
    return ratio <= kCurlTarget && memoryMet ? 0 : 1;
}
