// Many small files: the starter (native program, run from outside) keeping 20,000
// and 2,000 files of 10 KiB current from nginx and our version server, against
// curl fetching every file over HTTP/1.0 (one connection each) plus sha1sum over
// them, and the start with nothing to do against sha1sum alone. Prints time per
// file, the ratios and the starter's peak memory. Runs inside a private network
// namespace (scripts/bench does that).
// Usage: many_files [--launcher PROGRAM] [--version-server PROGRAM] [--publisher PROGRAM]
//                   [--rounds N] [--dir DIRECTORY-FOR-THE-FILES]
// (the programs default to those of the same build; others measure an older one)
// bench: netns

#include "StarterBench.h"

#include <map>

namespace {

const std::uint64_t kFileSize = 10 * 1024;
const std::size_t kCounts[] = {2000, 20000};
const double kTimeTarget = 1.0;
// A first install of many files leans on transfers running side by side.
const double kLargeFreshTarget = 0.8;
const std::size_t kLargeCount = 20000;
const long kMemoryLimitKiB = 32 * 1024;
const double kGrowthLimitKiB = 1.0;

double microsecondsPerFile(double seconds, std::size_t count)
{
    return seconds * 1e6 / double(count);
}

// Prints one size's figures; true when its targets were met.
bool report(std::size_t count, int rounds, const bench::Figures& f)
{
    const double freshRatio = bench::median(f.freshRatios);
    const double idleRatio = bench::median(f.idleRatios);
    const double freshTarget = count >= kLargeCount ? kLargeFreshTarget : kTimeTarget;
    const long peakKiB = std::max(f.freshKiB, f.idleKiB);
    const bool memoryMet = peakKiB < kMemoryLimitKiB;
    std::printf("%zu files of %llu KiB, best of %d (time ratios: lower is better)\n", count,
                static_cast<unsigned long long>(kFileSize / 1024), rounds);
    std::printf("  fresh install       starter %7.3f s %6.0f us/file   curl+sha1sum %7.3f s %6.0f us/file\n",
                f.fresh, microsecondsPerFile(f.fresh, count), f.curl, microsecondsPerFile(f.curl, count));
    std::printf("    ratio %.2f (median of the rounds), target <= %.2f: %s\n", freshRatio, freshTarget,
                bench::verdict(freshRatio <= freshTarget));
    std::printf("  nothing to do       starter %7.3f s %6.0f us/file   sha1sum      %7.3f s %6.0f us/file\n",
                f.idle, microsecondsPerFile(f.idle, count), f.sha1sum, microsecondsPerFile(f.sha1sum, count));
    std::printf("    ratio %.2f (median of the rounds), target <= %.2f: %s\n", idleRatio, kTimeTarget,
                bench::verdict(idleRatio <= kTimeTarget));
    std::printf(
        "  peak memory of the starter: fresh install %.1f MiB, nothing to do %.1f MiB, target < %ld MiB: "
        "%s\n",
        f.freshKiB / 1024.0, f.idleKiB / 1024.0, kMemoryLimitKiB / 1024, bench::verdict(memoryMet));
    std::fflush(stdout);
    return freshRatio <= freshTarget && idleRatio <= kTimeTarget && memoryMet;
}

}  // namespace

int main(int argc, char** argv)
{
    bench::Options options;
    if (!bench::parseOptions("many_files", argc, argv, options))
        return 2;

    bool met = true;
    std::map<std::size_t, long> peakKiB;
    for (std::size_t count : kCounts) {
        bench::Release release(options.base, count, kFileSize);
        if (!release.layOut(options.programs) || !release.serve(options.programs)) {
            std::cerr << "many_files: cannot lay out or serve " << count << " files in " << options.base
                      << "\n";
            return 2;
        }
        bench::Figures figures;
        if (!bench::measure("many_files", release, options.rounds, figures))
            return 1;
        met = report(count, options.rounds, figures) && met;
        peakKiB[count] = std::max(figures.freshKiB, figures.idleKiB);
    }
    const double growth = double(peakKiB[kCounts[1]] - peakKiB[kCounts[0]]) / double(kCounts[1] - kCounts[0]);
    const bool growthMet = growth <= kGrowthLimitKiB;
    std::printf("peak memory growth from %zu to %zu files: %.2f KiB per file, target <= %.1f: %s\n",
                kCounts[0], kCounts[1], growth, kGrowthLimitKiB, bench::verdict(growthMet));
    return met && growthMet ? 0 : 1;
}
