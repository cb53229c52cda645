// Download of a 1 GiB file from nginx on loopback by HttpFileDownloader against
// curl fetching the same file in the same run; peak memory of the downloading
// process. Runs inside a private network namespace (scripts/bench does that).
// Usage: http_bench [directory-for-the-files]
// bench: netns

#include "NetBenchUtil.h"

#include "net/HttpFileDownloader.h"
#include "support/StagedFile.h"
#include "support/TextConvert.h"

#include <cstdio>
#include <iostream>

namespace {

// Worker: downloads host/path to local and prints "seconds peakKiB ok".
int worker(const std::string& host, const std::string& path, const std::string& local)
{
    initPathConversion();
    StagedFile staged(narrowToWide(local), StagedFile::Kind::Download);
    staged.keep();
    gametool::HttpFileDownloader downloader(host, path, path, staged);
    // As the starter asks for a listed file: with its size, which lifts the
    // ceiling a reply of unknown size has.
    downloader.setExpectedSize(bench::kFileSize);
    const auto start = std::chrono::steady_clock::now();
    const bool ok = downloader.download(false);
    const double secs = bench::seconds(start);
    std::printf("%.6f %ld %d\n", secs, bench::peakKiB(), ok ? 1 : 0);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 5 && std::string(argv[1]) == "--worker")
        return worker(argv[2], argv[3], argv[4]);
    if (!bench::inPrivateNetwork()) {
        std::cerr << "http_bench: run inside tests/netns-run (it needs port 80 of its own)\n";
        return 2;
    }
    initPathConversion();
    namespace fs = boost::filesystem;
    bench::ServedFile served(argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path(), "http-bench");
    if (!served.start("http_bench"))
        return 2;
    const fs::path& dir = served.dir();

    // The downloader leaves the content staged for its caller to check and place.
    const fs::path ourFile = dir / "ours.bin";
    const fs::path ourContent =
        wideToNarrow(StagedFile::stagingPathOf(narrowToWide(ourFile.string()), StagedFile::Kind::Download));
    const fs::path curlFile = dir / "curl.bin";
    const std::string command =
        "'" + bench::selfPath() + "' --worker 127.0.0.1 big.bin '" + ourFile.string() + "'";
    const bench::Comparison result = bench::compareWithCurl(command, ourContent, "http://127.0.0.1/big.bin",
                                                            curlFile, bench::kFileSize, bench::kRounds);
    if (!result.ok) {
        std::cerr << "http_bench: a transfer failed\n";
        return 1;
    }
    char title[96];
    std::snprintf(title, sizeof title, "http: 1 GiB from nginx on loopback, best of %d", bench::kRounds);
    return bench::reportComparison(title, "HttpFileDownloader", "downloading", result, bench::kFileSize,
                                   bench::kTarget, bench::kMemoryLimitKiB);
}
