// Patches: the sizes launcher-publish delta makes against zstd --patch-from and
// xdelta3 on the same pairs, and the memory the starter's side takes to apply
// them. Pairs made in the run: a pack of random data with 1 % of its 4 KiB
// blocks rewritten plus insertions and a deletion; the same pack with its
// changes in clusters; two Windows executables one build apart, taken from the
// npm registry with `npm pack` (kept in the build tree, never in the checkout);
// a package with three entries changed and one added.
// Usage: delta [work-directory]
// (internal: delta --apply OLD PATCH TARGET SIZE SHA1)
// Targets: every patch at most 1.05 times the smaller of the two tools'; at most
// 16 MiB of the applying program's own memory (the mapped files aside).

#include "BenchUtil.h"

#include "support/DeltaIndex.h"
#include "support/FileDigest.h"
#include "support/Patch.h"
#include "support/TextConvert.h"

#include <boost/filesystem.hpp>

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>
#include <vector>

namespace fs = boost::filesystem;

namespace {

const std::size_t kMiB = 1024 * 1024;
const std::size_t kBlock = 4096;
const std::size_t kPackSize = 64 * kMiB;
const double kSizeTarget = 1.05;
const long kMemoryLimitKiB = 16 * 1024;
// Two builds of a PE32+ program one version apart.
const char kExePackage[] = "@esbuild/win32-x64";
const char kExeOld[] = "0.19.11";
const char kExeNew[] = "0.19.12";

void writeBytes(const fs::path& path, const std::string& bytes)
{
    fs::create_directories(path.parent_path());
    std::ofstream out(path.string(), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string readBytes(const fs::path& path)
{
    std::ifstream in(path.string(), std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::string randomBytes(bench::Random& random, std::size_t size)
{
    std::string bytes(size, '\0');
    random.fill(&bytes[0], size);
    return bytes;
}

std::string quotedPath(const fs::path& path)
{
    return "'" + path.string() + "'";
}

bool shell(const std::string& command)
{
    int status = 0;
    bench::run(command + " >/dev/null 2>&1", status);
    return status == 0;
}

// The old pack, and the new one: 1 % of its blocks rewritten (scattered, or in
// eight runs), random bytes inserted at a few places and 100 KiB taken out.
void makePacks(const fs::path& oldDir, const fs::path& newDir)
{
    bench::Random random(42);
    const std::string old = randomBytes(random, kPackSize);
    writeBytes(oldDir / "pack/scattered.pak", old);
    writeBytes(oldDir / "pack/clustered.pak", old);
    const std::size_t blocks = kPackSize / kBlock;
    const std::size_t rewritten = blocks / 100;
    for (bool clustered : {false, true}) {
        std::string now = old;
        for (std::size_t i = 0; i < rewritten; ++i) {
            const std::size_t run = (rewritten + 7) / 8;
            const std::size_t block = clustered ? (i / run) * (blocks / 8) + i % run : random.next() % blocks;
            random.fill(&now[block * kBlock], kBlock);
        }
        const int insertions = clustered ? 2 : 5;
        for (int i = 0; i < insertions; ++i)
            now.insert(random.next() % now.size(), randomBytes(random, 1024 + random.next() % (15 * 1024)));
        now.erase(random.next() % (now.size() - 100 * 1024), 100 * 1024);
        writeBytes(newDir / (clustered ? "pack/clustered.pak" : "pack/scattered.pak"), now);
    }
}

// The two executables from the registry, fetched once into `cache`.
bool fetchExecutables(const fs::path& cache, const fs::path& oldDir, const fs::path& newDir)
{
    for (const char* version : {kExeOld, kExeNew}) {
        const fs::path unpacked = cache / version;
        if (!fs::exists(unpacked / "package/esbuild.exe")) {
            fs::create_directories(unpacked);
            if (!shell("cd " + quotedPath(unpacked) + " && npm pack --silent " + kExePackage + "@" + version +
                       " && tar -xzf *.tgz package/esbuild.exe"))
                return false;
        }
        const fs::path target = (version == kExeOld ? oldDir : newDir) / "bin/game.exe";
        fs::create_directories(target.parent_path());
        fs::copy_file(unpacked / "package/esbuild.exe", target, fs::copy_options::overwrite_existing);
    }
    return true;
}

// Text that compresses like game data does: words from a small vocabulary.
std::string textBytes(bench::Random& random, std::size_t size)
{
    static const char* const words[] = {
        "map ",  "unit ", "tile ", "sound ", "level ", "quest ", "npc ", "item ",
        "0.25 ", "1024 ", "true ", "name=",  "\n",     "{ ",     "} ",   "texture/"};
    std::string text;
    while (text.size() < size)
        text += words[random.next() % 16];
    text.resize(size);
    return text;
}

// The package's sources, old and new: three entries edited, one added.
void makePackageSources(const fs::path& oldSource, const fs::path& newSource)
{
    bench::Random random(7);
    std::vector<std::pair<std::string, std::string>> entries;
    for (int i = 0; i < 8; ++i)
        entries.emplace_back("maps/map" + std::to_string(i) + ".txt", textBytes(random, (1 + i % 3) * kMiB));
    for (int i = 0; i < 4; ++i)
        entries.emplace_back("sounds/s" + std::to_string(i) + ".ogg", randomBytes(random, kMiB + i * 300000));
    for (const auto& entry : entries)
        writeBytes(oldSource / entry.first, entry.second);
    for (int changed : {1, 5, 9}) {
        std::string& data = entries[changed].second;
        for (std::size_t at = 5000; at < data.size(); at += data.size() / 4)
            data.replace(at, 16, "EDITED IN NEW!!!");
    }
    entries.emplace_back("maps/new.txt", textBytes(random, 500000));
    for (const auto& entry : entries)
        writeBytes(newSource / entry.first, entry.second);
}

// The same files as one zlib stream without restarts, as packages were made
// before; its size, for the growth the restarts cost.
std::uint64_t oneStreamPackageSize(const fs::path& source, const fs::path& output)
{
    std::vector<std::string> names;
    for (fs::recursive_directory_iterator it(source), end; it != end; ++it)
        if (fs::is_regular_file(it->path()))
            names.push_back(it->path().lexically_relative(source).generic_string());
    std::sort(names.begin(), names.end());
    std::string plain = "abc_morvelant";
    const auto le32 = [](std::uint32_t v) {
        return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
    };
    for (const std::string& name : names) {
        const std::string data = readBytes(source / name);
        plain += le32(static_cast<std::uint32_t>(name.size())) + name +
                 le32(static_cast<std::uint32_t>(data.size())) + data;
    }
    uLongf size = compressBound(static_cast<uLong>(plain.size()));
    std::string packed(size, '\0');
    compress2(reinterpret_cast<Bytef*>(&packed[0]), &size, reinterpret_cast<const Bytef*>(plain.data()),
              static_cast<uLong>(plain.size()), Z_BEST_COMPRESSION);
    packed.resize(size);
    writeBytes(output, packed);
    return size;
}

std::uint64_t fileSize(const fs::path& path)
{
    boost::system::error_code error;
    const std::uintmax_t size = fs::file_size(path, error);
    return error ? 0 : size;
}

// The process's anonymous resident memory: its own, with mapped files left out.
long anonymousKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 8, "RssAnon:") == 0)
            return std::atol(line.c_str() + 8);
    }
    return -1;
}

struct Applied {
    bool ok = false;
    double seconds = 0;
    long ownPeakKiB = -1;
};

// Child: applies PATCH to OLD into TARGET as the starter will, in a process of
// its own so that nothing else is in its memory, and prints "seconds peakKiB ok".
int applyInChild(char** argv)
{
    const long before = anonymousKiB();
    std::atomic<bool> done(false);
    std::atomic<long> peak(before);
    std::thread sampler([&] {
        while (!done) {
            peak = std::max(peak.load(), anonymousKiB());
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    const auto start = std::chrono::steady_clock::now();
    StagedFile staged(narrowToWide(argv[4]));
    const PatchResult applied =
        applyPatch(narrowToWide(argv[2]), narrowToWide(argv[3]), std::strtoull(argv[5], nullptr, 10), staged);
    const double secs = bench::seconds(start);
    done = true;
    sampler.join();
    const bool ok = applied && staged.check({true, std::strtoull(argv[5], nullptr, 10), argv[6], ""});
    if (!applied)
        std::fprintf(stderr, "apply failed: %s\n", applied.reason.c_str());
    std::printf("%.6f %ld %d\n", secs, std::max(peak.load(), anonymousKiB()), ok ? 1 : 0);
    return 0;
}

Applied apply(const fs::path& self, const fs::path& oldFile, const fs::path& patch, const DeltaFile& file,
              const fs::path& target)
{
    int status = 0;
    const std::string out =
        bench::run(quotedPath(self) + " --apply " + quotedPath(oldFile) + " " + quotedPath(patch) + " " +
                       quotedPath(target) + " " + std::to_string(file.size) + " " + file.sha1,
                   status);
    Applied result;
    int ok = 0;
    if (status == 0 && std::sscanf(out.c_str(), "%lf %ld %d", &result.seconds, &result.ownPeakKiB, &ok) == 3)
        result.ok = ok == 1;
    return result;
}

}  // namespace

int main(int argc, char** argv)
{
    initPathConversion();
    if (argc == 7 && std::string(argv[1]) == "--apply")
        return applyInChild(argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const fs::path work = fs::absolute(argc > 1 ? argv[1] : "delta-bench");
    const fs::path self = fs::canonical("/proc/self/exe");
    const fs::path publisher = self.parent_path().parent_path() / "tools/launcher-publish/launcher-publish";
    const fs::path oldWww = work / "old-www";
    const fs::path newWww = work / "new-www";
    fs::remove_all(oldWww);
    fs::remove_all(newWww);
    fs::create_directories(work);

    std::printf("making the pairs in %s\n", work.string().c_str());
    makePacks(oldWww, newWww);
    const bool haveExe = fetchExecutables(work / "npm", oldWww, newWww);
    if (!haveExe)
        std::printf("  %s %s and %s: npm pack failed, the executable pair is left out\n", kExePackage,
                    kExeOld, kExeNew);
    makePackageSources(work / "src-old", work / "src-new");
    fs::create_directories(oldWww / "data");
    fs::create_directories(newWww / "data");
    bool ok = shell(quotedPath(publisher) + " package " + quotedPath(work / "src-old") + " " +
                    quotedPath(oldWww / "data/maps.quiv")) &&
              shell(quotedPath(publisher) + " package " + quotedPath(work / "src-new") + " " +
                    quotedPath(newWww / "data/maps.quiv"));
    if (!ok) {
        std::printf("launcher-publish package failed\n");
        return 1;
    }
    const std::uint64_t restarted = fileSize(newWww / "data/maps.quiv");
    const std::uint64_t oneStream = oneStreamPackageSize(work / "src-new", work / "one-stream-new.quiv");
    oneStreamPackageSize(work / "src-old", work / "one-stream-old.quiv");

    auto start = std::chrono::steady_clock::now();
    int status = 0;
    const std::string printed = bench::run(
        quotedPath(publisher) + " delta " + quotedPath(newWww) + " --from " + quotedPath(oldWww) + " 2>&1",
        status);
    const double deltaSeconds = bench::seconds(start);
    std::printf("launcher-publish delta (%.1f s):\n%s", deltaSeconds, printed.c_str());
    DeltaIndex index;
    std::string reason;
    fs::path indexFile;
    for (fs::directory_iterator it(newWww / "delta"), end; status == 0 && it != end; ++it)
        if (it->path().filename().string().compare(0, 6, "index-") == 0)
            indexFile = it->path();
    if (status != 0 || !readDeltaIndex(indexFile.wstring(), index, reason)) {
        std::printf("no delta index: %s\n", reason.c_str());
        return 1;
    }

    std::vector<std::string> names = {"pack/scattered.pak", "pack/clustered.pak", "data/maps.quiv"};
    if (haveExe)
        names.insert(names.begin() + 2, "bin/game.exe");
    std::printf("\n  %-20s %12s %12s %12s %12s %7s  %s\n", "file", "whole", "ours", "zstd -19", "xdelta3 -9",
                "ratio", "apply");
    bool sizesMet = true;
    bool applied = true;
    long ownPeakKiB = 0;
    for (const std::string& name : names) {
        const fs::path oldFile = oldWww / name;
        const fs::path newFile = newWww / name;
        const std::uint64_t whole = fileSize(newFile);
        const fs::path zstdPatch = work / "zstd.patch";
        const fs::path xdeltaPatch = work / "xdelta.patch";
        shell("zstd -q -f -19 --patch-from=" + quotedPath(oldFile) + " " + quotedPath(newFile) + " -o " +
              quotedPath(zstdPatch));
        // xdelta3's source window must hold the whole old file to see every match.
        const std::uint64_t window = std::max<std::uint64_t>(fileSize(oldFile) * 2, 16 * kMiB);
        shell("xdelta3 -e -9 -f -B " + std::to_string(window) + " -s " + quotedPath(oldFile) + " " +
              quotedPath(newFile) + " " + quotedPath(xdeltaPatch));
        const std::uint64_t zstdBytes = fileSize(zstdPatch);
        const std::uint64_t xdeltaBytes = fileSize(xdeltaPatch);

        const auto entry = index.files.find(name);
        std::uint64_t ours = whole;
        std::string applyText = "whole file";
        if (entry != index.files.end() && !entry->second.patches.empty()) {
            const DeltaPatch& patch = entry->second.patches.front();
            ours = patch.patch.size;
            const Applied result =
                apply(self, oldFile, newWww / patch.patch.path, entry->second, work / "applied.out");
            applied = applied && result.ok;
            ownPeakKiB = std::max(ownPeakKiB, result.ownPeakKiB);
            char text[96];
            std::snprintf(text, sizeof text, "%.2f s, peak %ld KiB own, %s", result.seconds,
                          result.ownPeakKiB, result.ok ? "same bytes" : "WRONG");
            applyText = text;
        }
        const std::uint64_t best = std::min(zstdBytes, xdeltaBytes);
        const double ratio = best > 0 ? double(ours) / double(best) : 0.0;
        sizesMet = sizesMet && best > 0 && ratio <= kSizeTarget;
        std::printf("  %-20s %12llu %12llu %12llu %12llu %7.3f  %s\n", name.c_str(),
                    (unsigned long long)whole, (unsigned long long)ours, (unsigned long long)zstdBytes,
                    (unsigned long long)xdeltaBytes, ratio, applyText.c_str());
    }
    fs::remove(work / "applied.out.part");

    // What the restarts cost the package, and what they buy its patch.
    shell("zstd -q -f -19 --patch-from=" + quotedPath(work / "one-stream-old.quiv") + " " +
          quotedPath(work / "one-stream-new.quiv") + " -o " + quotedPath(work / "one-stream.patch"));
    std::printf(
        "\n  package restarted per entry: %llu bytes, one stream: %llu bytes (%+.2f %%); "
        "zstd -19 patch of the one-stream package: %llu bytes\n",
        (unsigned long long)restarted, (unsigned long long)oneStream,
        100.0 * (double(restarted) - double(oneStream)) / double(oneStream),
        (unsigned long long)fileSize(work / "one-stream.patch"));

    // The update of these pairs by the starter through the 50 ms / 100 Mbit/s
    // link of bench/link, against curl fetching the whole files, belongs here once
    // the starter downloads patches.

    const bool memoryMet = ownPeakKiB <= kMemoryLimitKiB;
    std::printf("\n  every patch at most %.2f x the smaller tool's: %s\n", kSizeTarget,
                bench::verdict(sizesMet));
    std::printf("  applying takes at most %ld KiB of its own (measured %ld KiB): %s\n", kMemoryLimitKiB,
                ownPeakKiB, bench::verdict(memoryMet));
    std::printf("  every applied file is the new file: %s\n", bench::verdict(applied));
    return sizesMet && memoryMet && applied ? 0 : 1;
}
