// Fetch of a 1 GiB file from our version server by VersionClient against curl
// fetching the same file from nginx in the same run; peak memory of the fetching
// process. Runs inside a private network namespace (scripts/bench does that).
// Usage: version_bench [directory-for-the-files [version-server-program]]
// bench: netns

#include "NetBenchUtil.h"

#include "net/VersionClient.h"
#include "support/FileDigest.h"
#include "support/TextConvert.h"

#include <cstdio>
#include <iostream>

namespace {

// Worker: fetches `name` with `digest` into local and prints "seconds peakKiB ok".
int worker(const std::string& name, const std::string& digest, const std::string& local)
{
    initPathConversion();
    VersionClient client;
    const auto start = std::chrono::steady_clock::now();
    const bool connected = client.connect("127.0.0.1");
    // As a starter with a release key asks for a signed file: exactly its signed
    // size. An unkeyed build's ceiling (LAUNCHER_MAX_REPLY_BYTES, 256 MiB by
    // default) would refuse the 1 GiB reply, and the transfer is what is measured.
    ReplyBound bound;
    bound.max = bench::kFileSize;
    bound.exact = true;
    const FetchResult result =
        connected ? client.fetchFile(name, digest, narrowToWide(local), bound) : FetchResult::Failed;
    const double secs = bench::seconds(start);
    const bool ok = result == (digest == "unavailable" ? FetchResult::Fetched : FetchResult::NoContent);
    std::printf("%.6f %ld %d\n", secs, bench::peakKiB(), ok ? 1 : 0);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 5 && std::string(argv[1]) == "--worker")
        return worker(argv[2], argv[3], argv[4]);
    if (!bench::inPrivateNetwork()) {
        std::cerr << "version_bench: run inside tests/netns-run (it needs ports 80 and 7455 of its own)\n";
        return 2;
    }
    initPathConversion();
    namespace fs = boost::filesystem;
    const fs::path base = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path();
    const std::string server = argc > 2 ? std::string(argv[2])
                                        : (fs::path(bench::selfPath()).parent_path().parent_path() / "tools" /
                                           "version-server" / "version-server")
                                              .string();
    if (!fs::exists(server)) {
        std::cerr << "version_bench: no version server at " << server << "\n";
        return 2;
    }
    bench::ServedFile served(base, "version-bench");
    if (!served.start("version_bench"))
        return 2;
    const fs::path& dir = served.dir();
    const fs::path big = served.file();
    bench::Child versionServer({server, "--root", (dir / "www").string(), "--listen", "127.0.0.1"},
                               dir / "version-server.txt");
    // It listens once it has digested the 1 GiB file.
    if (!versionServer.started() || !bench::waitForListener(7455, 60)) {
        std::cerr << "version_bench: the version server did not start (see " << dir << ")\n";
        return 2;
    }

    // A first check with a current copy: answered from the digest made at start.
    const std::string self = bench::selfPath();
    const fs::path ourFile = dir / "ours.bin";
    const fs::path curlFile = dir / "curl.bin";
    const bench::WorkerResult warm = bench::runWorker(
        "'" + self + "' --worker big.bin " + computeFileSha1(big.wstring()) + " '" + ourFile.string() + "'");
    const std::string command = "'" + self + "' --worker big.bin unavailable '" + ourFile.string() + "'";
    if (!warm.ok) {
        std::cerr << "version_bench: the warm-up fetch failed\n";
        return 1;
    }
    const bench::Comparison result = bench::compareWithCurl(command, ourFile, "http://127.0.0.1/big.bin",
                                                            curlFile, bench::kFileSize, bench::kRounds);
    if (!result.ok) {
        std::cerr << "version_bench: a transfer failed\n";
        return 1;
    }
    char title[112];
    std::snprintf(title, sizeof title,
                  "version: 1 GiB from our version server on loopback, best of %d (curl from nginx)",
                  bench::kRounds);
    return bench::reportComparison(title, "VersionClient", "fetching", result, bench::kFileSize,
                                   bench::kTarget, bench::kMemoryLimitKiB);
}
