// Block sync against zsync, on corpora made in the run: a 200 MiB pack three
// releases deep (each release rewrites 0.5 % of its 4 KiB blocks at random, adds
// two runs of bytes and removes one), updated from the copy two releases old; and
// the newest pack with 10 scattered 4 KiB blocks damaged, repaired. Both tools
// fetch from the same nginx, whose access log counts the bytes each transfer
// moved (reply heads and bodies plus requests, the index or control file
// included). Ours plans with the block index fetched by range, fetches the
// missing ranges with curl, 64 to a request as zsync does too (multipart
// replies read by MultipartRanges.h), builds the file and checks its SHA-1; the plan's
// time and the planning process's peak memory are printed.
// Targets: the old copy in no more bytes than zsync's; the repair in at most
// 100 KB per 200 MiB.
// Usage: blocksync [--size MIB]
// bench: netns

#include "NetBenchUtil.h"

#include "support/BlockSync.h"
#include "support/FileDigest.h"
#include "support/MultipartRanges.h"
#include "support/StagedFile.h"

#include <sys/resource.h>

#include <cinttypes>

namespace {

namespace fs = boost::filesystem;

const double kRepairTargetPer200MiB = 100000;

std::string readAll(const fs::path& path)
{
    std::ifstream in(path.string(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// CPU seconds of this process alone (children such as curl excluded).
double cpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

bool fetchRange(const std::string& url, const ByteRange& range, const fs::path& scratch, std::string& bytes)
{
    int status = 0;
    bench::run("curl -s -f -r " + std::to_string(range.offset) + "-" + std::to_string(range.end() - 1) +
                   " -o '" + scratch.string() + "' '" + url + "'",
               status);
    bytes = status == 0 ? readAll(scratch) : std::string();
    return status == 0 && bytes.size() == range.size;
}

// Fetches `ranges` of the file in one request (as the starter may, through
// MultipartRanges.h) into the assembler.
bool fetchRanges(const std::string& url, const std::vector<ByteRange>& ranges, std::uint64_t fileSize,
                 const fs::path& scratch, BlockAssembler& assembler)
{
    int status = 0;
    const std::string head = scratch.string() + ".head";
    bench::run("curl -s -f -D '" + head + "' -r " + rangeHeaderValue(ranges).substr(6) + " -o '" +
                   scratch.string() + "' '" + url + "'",
               status);
    const std::string body = readAll(scratch);
    std::string reason;
    if (status != 0)
        return false;
    if (ranges.size() == 1)
        return body.size() == ranges[0].size &&
               assembler.writeFetched(ranges[0].offset, body.data(), body.size(), reason);
    std::istringstream lines(readAll(head));
    std::string line;
    std::string boundary;
    while (std::getline(lines, line)) {
        if (line.compare(0, 13, "Content-Type:") == 0 || line.compare(0, 13, "content-type:") == 0)
            multipartBoundary(line.substr(13, line.find('\r') - 13), boundary);
    }
    MultipartRangesReader reader(boundary, fileSize);
    const bool ok = !boundary.empty() && reader.feed(
                                             body.data(), body.size(),
                                             [&](std::uint64_t offset, const char* data, std::size_t size) {
                                                 return assembler.writeFetched(offset, data, size, reason);
                                             },
                                             reason);
    return ok && reader.finished();
}

// The worker: plans, fetches and builds in a process of its own, so that its peak
// memory is the sync's alone. Prints "planSeconds planCpu peakKiB ok estimate missing requests".
int planWorker(char** argv)
{
    const std::wstring local = fs::path(argv[2]).wstring();
    const std::string indexUrl = argv[3];
    const std::uint64_t size = std::strtoull(argv[4], nullptr, 10);
    const std::string fileUrl = argv[5];
    const fs::path out = argv[6];
    const std::string sha1 = argv[7];
    const fs::path scratch = out.string() + ".range";

    double fetching = 0;
    const auto fetch = [&](const ByteRange& range, std::string& bytes) {
        const auto start = std::chrono::steady_clock::now();
        const bool ok = fetchRange(indexUrl, range, scratch, bytes);
        fetching += bench::seconds(start);
        return ok;
    };
    BlockPlan plan;
    WireEstimate estimate;
    std::string reason;
    const BlockSyncOptions options;
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = cpuSeconds();
    if (!planWithIndex(local, size, fetch, options, plan, estimate, reason)) {
        std::cerr << "blocksync: " << reason << "\n";
        return 1;
    }
    const double planSeconds = bench::seconds(start) - fetching;
    const double planCpu = cpuSeconds() - cpuStart;

    bool ok = false;
    long peakKiB = 0;
    {
        StagedFile staged(out.wstring());
        std::unique_ptr<FileManager::File> output = staged.open(false);
        BlockAssembler assembler(plan, *output);
        ok = output && assembler.copyLocal(local, reason);
        for (std::size_t i = 0; ok && i < plan.missing.size(); i += options.rangesPerRequest) {
            const std::size_t end = std::min<std::size_t>(plan.missing.size(), i + options.rangesPerRequest);
            ok = fetchRanges(fileUrl,
                             std::vector<ByteRange>(plan.missing.begin() + i, plan.missing.begin() + end),
                             size, scratch, assembler);
        }
        output.reset();
        // Before the check of the whole file, whose reading buffer is the starter's
        // (and 20 MiB) whatever way the file came.
        peakKiB = bench::peakKiB();
        ok = ok && assembler.complete() && computeFileSha1(staged.path()) == sha1;
    }
    std::printf("%.3f %.3f %ld %d %" PRIu64 " %" PRIu64 " %" PRIu64 "\n", planSeconds, planCpu, peakKiB,
                ok ? 1 : 0, estimate.total, estimate.missingBytes, estimate.requests);
    return 0;
}

struct Outcome {
    std::uint64_t ours = 0;
    std::uint64_t estimate = 0;
    std::uint64_t missing = 0;
    std::uint64_t requests = 0;
    double planSeconds = 0;
    double planCpu = 0;
    long peakKiB = 0;
    bool ok = false;
    std::uint64_t zsync = 0;
    double zsyncSeconds = 0;
    bool zsyncOk = false;
};

bool measure(const fs::path& dir, const std::string& local, std::uint64_t size, const std::string& indexName,
             const std::string& sha1, Outcome& outcome)
{
    const fs::path nginx = dir / "nginx";
    bench::hostBytes(nginx);
    int status = 0;
    std::istringstream worker(bench::run(bench::selfPath() + " plan '" + (dir / local).string() +
                                             "' http://127.0.0.1/delta/" + indexName + " " +
                                             std::to_string(size) + " http://127.0.0.1/pack.bin '" +
                                             (dir / "ours.bin").string() + "' " + sha1,
                                         status));
    int ok = 0;
    if (status != 0 || !(worker >> outcome.planSeconds >> outcome.planCpu >> outcome.peakKiB >> ok >>
                         outcome.estimate >> outcome.missing >> outcome.requests))
        return false;
    outcome.ok = ok == 1;
    outcome.ours = bench::hostBytes(nginx);

    const fs::path zout = dir / "zsync-out.bin";
    fs::remove(zout);
    const auto start = std::chrono::steady_clock::now();
    bench::run("cd '" + dir.string() + "' && zsync -q -i '" + (dir / local).string() + "' -o '" +
                   zout.string() + "' http://127.0.0.1/pack.bin.zsync >/dev/null 2>&1",
               status);
    outcome.zsyncSeconds = bench::seconds(start);
    outcome.zsyncOk = status == 0 && computeFileSha1(zout.wstring()) == sha1;
    outcome.zsync = bench::hostBytes(nginx);
    fs::remove(zout);
    fs::remove(zout.string() + ".zs-old");
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 8 && std::string(argv[1]) == "plan")
        return planWorker(argv);
    std::uint64_t mib = 200;
    if (argc == 3 && std::string(argv[1]) == "--size")
        mib = std::strtoull(argv[2], nullptr, 10);
    if (!bench::inPrivateNetwork()) {
        std::cerr << "blocksync: run me through scripts/bench (nginx needs the private network)\n";
        return 2;
    }
    const fs::path dir = fs::absolute(fs::unique_path("blocksync-%%%%%%"));
    fs::create_directories(dir / "www" / "delta");
    struct Cleanup {
        fs::path dir;
        ~Cleanup() { fs::remove_all(dir); }
    } cleanup{dir};

    // Three releases; the player kept the first.
    bench::Random random(29);
    const std::string first = bench::randomText(random, std::size_t(mib) << 20);
    const std::string newest = bench::nextPackRelease(bench::nextPackRelease(first, random), random);
    const std::string damaged = bench::withDamagedBlocks(newest, random, 10);
    if (!bench::writeAll(dir / "www" / "pack.bin", newest) || !bench::writeAll(dir / "old.bin", first) ||
        !bench::writeAll(dir / "damaged.bin", damaged)) {
        std::cerr << "blocksync: cannot write the corpora in " << dir << "\n";
        return 2;
    }

    // What the publisher makes for each tool.
    std::string index;
    std::string reason;
    auto start = std::chrono::steady_clock::now();
    if (!buildBlockIndex((dir / "www" / "pack.bin").wstring(), index, reason)) {
        std::cerr << "blocksync: " << reason << "\n";
        return 2;
    }
    const double indexSeconds = bench::seconds(start);
    bench::writeAll(dir / "www" / "delta" / "pack.blocks", index);
    int status = 0;
    start = std::chrono::steady_clock::now();
    bench::run(
        "cd '" + (dir / "www").string() + "' && zsyncmake -b 4096 -u pack.bin -o pack.bin.zsync pack.bin",
        status);
    const double zsyncmakeSeconds = bench::seconds(start);
    const std::uint64_t control = fs::file_size(dir / "www" / "pack.bin.zsync");
    const std::string sha1 = computeFileSha1((dir / "www" / "pack.bin").wstring());

    const auto nginx = bench::startNginx(dir / "www", dir / "nginx", 0, "127.0.0.1", true);
    if (status != 0 || !nginx) {
        std::cerr << "blocksync: zsyncmake or nginx failed (see " << dir << ")\n";
        return 2;
    }
    std::printf("pack of %.1f MiB; block index %zu bytes (%.3f s), zsync control file %" PRIu64
                " bytes (%.3f s)\n",
                double(newest.size()) / (1 << 20), index.size(), indexSeconds, control, zsyncmakeSeconds);

    bool met = true;
    const struct {
        const char* name;
        const char* local;
    } cases[] = {{"two releases old", "old.bin"}, {"10 blocks damaged", "damaged.bin"}};
    for (const auto& c : cases) {
        Outcome o;
        if (!measure(dir, c.local, newest.size(), "pack.blocks", sha1, o)) {
            std::printf("  %-18s the plan failed\n", c.name);
            met = false;
            continue;
        }
        const bool repair = std::string(c.local) == "damaged.bin";
        const double limit =
            repair ? kRepairTargetPer200MiB * double(newest.size()) / (200.0 * 1024 * 1024) : double(o.zsync);
        const bool caseMet = o.ok && o.zsyncOk && double(o.ours) <= limit;
        met = met && caseMet;
        std::printf("  %-18s ours %9" PRIu64 " bytes (%.2f %%; planned %" PRIu64 ", missing %" PRIu64
                    " in %" PRIu64 " requests)  zsync %9" PRIu64 " bytes (%.2f %%)  ratio %.2f  %s\n",
                    c.name, o.ours, 100.0 * double(o.ours) / double(newest.size()), o.estimate, o.missing,
                    o.requests, o.zsync, 100.0 * double(o.zsync) / double(newest.size()),
                    double(o.ours) / double(o.zsync),
                    o.ok && o.zsyncOk ? "both files exact" : "A FILE DIFFERS");
        std::printf(
            "  %-18s plan %.3f s (%.3f s of CPU), peak memory planning and building %.1f MiB; zsync %.3f "
            "s; "
            "target %s %.0f bytes: %s\n",
            "", o.planSeconds, o.planCpu, double(o.peakKiB) / 1024.0, o.zsyncSeconds,
            repair ? "<=" : "<= zsync's", limit, bench::verdict(caseMet));
    }
    return met ? 0 : 1;
}
