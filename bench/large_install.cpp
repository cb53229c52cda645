// A large installation: the starter (native program, run from outside) installing
// 1,000 files of 2 MiB (2 GiB) afresh from nginx and our version server, against
// curl fetching every file over HTTP/1.0 plus sha1sum over them; then the start
// with nothing to do over the same files, against sha1sum alone. The starter
// hashes while it writes, so a fresh install reads nothing back. Prints both
// ratios and the starter's peak memory. Runs inside a private network namespace
// (scripts/bench does that).
// Usage: large_install [--launcher PROGRAM] [--version-server PROGRAM] [--publisher PROGRAM]
//                      [--rounds N] [--dir DIRECTORY-FOR-THE-FILES]
// (the programs default to those of the same build; others measure an older one)
// bench: netns

#include "StarterBench.h"

namespace {

const std::size_t kCount = 1000;
const std::uint64_t kFileSize = 2 * 1024 * 1024;
const double kFreshTarget = 0.5;
const double kIdleTarget = 0.4;
const long kMemoryLimitKiB = 64 * 1024;

}  // namespace

int main(int argc, char** argv)
{
    bench::Options options;
    if (!bench::parseOptions("large_install", argc, argv, options))
        return 2;

    bench::Release release(options.base, kCount, kFileSize);
    if (!release.layOut(options.programs) || !release.serve(options.programs)) {
        std::cerr << "large_install: cannot lay out or serve the release in " << options.base << "\n";
        return 2;
    }
    bench::Figures f;
    if (!bench::measure("large_install", release, options.rounds, f))
        return 1;

    const double freshRatio = bench::median(f.freshRatios);
    const double idleRatio = bench::median(f.idleRatios);
    const long peakKiB = std::max(f.freshKiB, f.idleKiB);
    const double gib = double(kCount * kFileSize) / (1024.0 * 1024.0 * 1024.0);
    std::printf("%zu files of %llu MiB (%.1f GiB), best of %d (time ratios: lower is better)\n", kCount,
                static_cast<unsigned long long>(kFileSize >> 20), gib, options.rounds);
    std::printf(
        "  fresh install   starter %7.3f s   curl+sha1sum %7.3f s   ratio %.2f (median), target <= %.2f: "
        "%s\n",
        f.fresh, f.curl, freshRatio, kFreshTarget, bench::verdict(freshRatio <= kFreshTarget));
    std::printf(
        "  nothing to do   starter %7.3f s   sha1sum      %7.3f s   ratio %.2f (median), target <= %.2f: "
        "%s\n",
        f.idle, f.sha1sum, idleRatio, kIdleTarget, bench::verdict(idleRatio <= kIdleTarget));
    std::printf(
        "  peak memory of the starter: fresh install %.1f MiB, nothing to do %.1f MiB, target < %ld MiB: "
        "%s\n",
        f.freshKiB / 1024.0, f.idleKiB / 1024.0, kMemoryLimitKiB / 1024,
        bench::verdict(peakKiB < kMemoryLimitKiB));
    std::fflush(stdout);
    return freshRatio <= kFreshTarget && idleRatio <= kIdleTarget && peakKiB < kMemoryLimitKiB ? 0 : 1;
}
