// Digest throughput of computeFileSha1 against sha1sum on the same 1 GiB file,
// both reading from the page cache. Usage: sha1_bench [directory-for-the-file]

#include "BenchUtil.h"

#include "support/FileDigest.h"
#include "support/TextConvert.h"

#include <boost/filesystem.hpp>

#include <algorithm>
#include <fstream>
#include <iostream>
#include <memory>

namespace fs = boost::filesystem;

int main(int argc, char** argv)
{
    initPathConversion();
    const std::uint64_t kSize = 1024ULL * 1024 * 1024;
    const double kTarget = 0.9;
    fs::path dir = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path();
    fs::path file = dir / fs::unique_path("sha1-bench-%%%%-%%%%.bin");

    {
        const std::size_t kChunk = 16 * 1024 * 1024;
        std::unique_ptr<char[]> chunk(new char[kChunk]);
        bench::Random random(42);
        std::ofstream out(file.string(), std::ios::binary);
        for (std::uint64_t written = 0; written < kSize; written += kChunk) {
            random.fill(chunk.get(), kChunk);
            out.write(chunk.get(), kChunk);
        }
        if (!out) {
            std::cerr << "cannot write " << file << "\n";
            return 2;
        }
    }

    double ours = 1e9, tool = 1e9;
    std::string ourDigest, toolDigest;
    int status = 0;
    const std::string command = "sha1sum '" + file.string() + "'";
    bench::run(command, status);  // brings the file into the page cache
    for (int round = 0; round < 3; ++round) {
        auto start = std::chrono::steady_clock::now();
        ourDigest = computeFileSha1(file.wstring());
        ours = std::min(ours, bench::seconds(start));

        start = std::chrono::steady_clock::now();
        toolDigest = bench::run(command, status).substr(0, 40);
        tool = std::min(tool, bench::seconds(start));
    }
    fs::remove(file);

    if (status != 0 || ourDigest != toolDigest) {
        std::cerr << "digests differ: ours " << ourDigest << ", sha1sum " << toolDigest << "\n";
        return 1;
    }
    double ratio = tool / ours;
    std::printf("sha1: 1 GiB, best of 3 (digest %s)\n", ourDigest.c_str());
    std::printf("  computeFileSha1  %8.1f MiB/s  (%.3f s)\n", bench::mibPerSecond(kSize, ours), ours);
    std::printf("  sha1sum          %8.1f MiB/s  (%.3f s)\n", bench::mibPerSecond(kSize, tool), tool);
    std::printf("  ratio %.2f, target >= %.2f: %s\n", ratio, kTarget, bench::verdict(ratio >= kTarget));
    return ratio >= kTarget ? 0 : 1;
}
