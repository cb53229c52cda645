// Package extraction against a plain zlib inflate of the same stream, on a package
// that inflates to 1 GiB; and the peak memory of each, measured by /usr/bin/time.
// Usage: extract_bench [work-directory]
// (internal: extract_bench --extract PACKAGE DIR | --inflate PACKAGE FILE)

#include "BenchUtil.h"

#include "support/Package.h"
#include "support/TextConvert.h"

#include <boost/filesystem.hpp>

#include <zlib.h>

#include <algorithm>
#include <fcntl.h>
#include <iostream>
#include <memory>
#include <regex>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace fs = boost::filesystem;

namespace {

const std::uint64_t kMiB = 1024 * 1024;

// Deflates everything written to it into one zlib stream in a file.
class PackageWriter {
public:
    explicit PackageWriter(const std::string& path)
        : out_(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644))
    {
        deflateInit(&stream_, 1);
    }
    ~PackageWriter()
    {
        pump(Z_FINISH);
        deflateEnd(&stream_);
        ::close(out_);
    }
    void write(const char* data, std::size_t size)
    {
        stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
        stream_.avail_in = static_cast<uInt>(size);
        pump(Z_NO_FLUSH);
        inflated += size;
    }
    void write(const std::string& bytes) { write(bytes.data(), bytes.size()); }
    std::uint64_t inflated = 0;

private:
    void pump(int flush)
    {
        int result;
        do {
            stream_.next_out = buffer_;
            stream_.avail_out = sizeof buffer_;
            result = deflate(&stream_, flush);
            ::write(out_, buffer_, sizeof buffer_ - stream_.avail_out);
        } while (stream_.avail_out == 0 || (flush == Z_FINISH && result != Z_STREAM_END));
    }
    int out_;
    z_stream stream_ = {};
    Bytef buffer_[256 * 1024];
};

std::string le32(std::uint32_t value)
{
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<char>(value >> (8 * i));
    return bytes;
}

// Text-like content (about 3:1 with deflate) or random bytes, as in a game's files.
void addEntry(PackageWriter& package, bench::Random& random, const std::string& name, std::uint64_t size,
              bool text)
{
    static const char* words[] = {
        "texture ", "model ", "sound ", "level ", "player ",  "quest ", "item ",  "shader ",
        "0x3f80 ",  "{ ",     "} ",     "name=",  "value;\n", "1.0 ",   "spawn ", "region "};
    package.write(le32(static_cast<std::uint32_t>(name.size())) + name +
                  le32(static_cast<std::uint32_t>(size)));
    std::vector<char> chunk(4 * kMiB);
    for (std::uint64_t left = size; left > 0;) {
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, chunk.size()));
        if (text) {
            std::size_t at = 0;
            while (at < n) {
                std::uint64_t r = random.next();
                for (int k = 0; k < 8 && at < n; ++k) {
                    const char* word = words[(r >> (4 * k)) & 15];
                    for (; *word && at < n; ++word)
                        chunk[at++] = *word;
                }
            }
        } else {
            random.fill(chunk.data(), n);
        }
        package.write(chunk.data(), n);
        left -= n;
    }
}

std::uint64_t makePackage(const std::string& path)
{
    PackageWriter package(path);
    bench::Random random(7);
    package.write(packageMarker, 13);
    for (int i = 0; i < 6; ++i)
        addEntry(package, random, "data/level" + std::to_string(i) + ".pak", 128 * kMiB, true);
    for (int i = 0; i < 2; ++i)
        addEntry(package, random, "media\\video" + std::to_string(i) + ".bik", 64 * kMiB, false);
    for (int i = 0; i < 256; ++i)
        addEntry(package, random, "scripts/s" + std::to_string(i / 16) + "/f" + std::to_string(i) + ".lua",
                 512 * 1024, true);
    return package.inflated;
}

// The plain program: zlib's inflate straight from the package into one file.
bool plainInflate(const std::string& packagePath, const std::string& outPath)
{
    int in = ::open(packagePath.c_str(), O_RDONLY);
    int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    z_stream stream = {};
    inflateInit(&stream);
    std::vector<Bytef> input(256 * 1024), output(1024 * 1024);
    int result = Z_OK;
    while (result != Z_STREAM_END) {
        ssize_t got = ::read(in, input.data(), input.size());
        if (got <= 0)
            break;
        stream.next_in = input.data();
        stream.avail_in = static_cast<uInt>(got);
        do {
            stream.next_out = output.data();
            stream.avail_out = static_cast<uInt>(output.size());
            result = inflate(&stream, Z_NO_FLUSH);
            if (result != Z_OK && result != Z_STREAM_END)
                break;
            ::write(out, output.data(), output.size() - stream.avail_out);
        } while (stream.avail_out == 0);
        if (result != Z_OK && result != Z_STREAM_END)
            break;
    }
    inflateEnd(&stream);
    ::close(in);
    ::close(out);
    return result == Z_STREAM_END;
}

// Best wall, user and system time of one side over the rounds.
struct Timing {
    struct Mark {
        Mark() : start(std::chrono::steady_clock::now()) { ::getrusage(RUSAGE_SELF, &usage); }
        std::chrono::steady_clock::time_point start;
        struct rusage usage;
    };
    static double secs(const struct timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; }
    void add(const Mark& mark)
    {
        double elapsed = bench::seconds(mark.start);
        struct rusage now;
        ::getrusage(RUSAGE_SELF, &now);
        if (elapsed < wall) {
            wall = elapsed;
            user = secs(now.ru_utime) - secs(mark.usage.ru_utime);
            system = secs(now.ru_stime) - secs(mark.usage.ru_stime);
        }
    }
    double wall = 1e9, user = 0, system = 0;
};

// Peak resident memory (KiB) of this program run as a child with `arguments`.
long peakKiB(const std::string& arguments)
{
    int status = 0;
    std::string report = bench::run(
        "/usr/bin/time -v /proc/" + std::to_string(::getpid()) + "/exe " + arguments + " 2>&1", status);
    std::smatch match;
    if (status != 0 ||
        !std::regex_search(report, match, std::regex("Maximum resident set size \\(kbytes\\): ([0-9]+)")))
        return -1;
    return std::stol(match[1]);
}

}  // namespace

int main(int argc, char** argv)
{
    initPathConversion();
    if (argc == 4 && std::string(argv[1]) == "--extract")
        return extractPackage(narrowToWide(argv[3]), narrowToWide(argv[2])) ? 0 : 1;
    if (argc == 4 && std::string(argv[1]) == "--inflate")
        return plainInflate(argv[2], argv[3]) ? 0 : 1;

    const double kTarget = 0.8;
    const long kMemoryLimitKiB = 64 * 1024;
    fs::path work = (argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path()) /
                    fs::unique_path("extract-bench-%%%%-%%%%");
    fs::create_directories(work);
    const std::string package = (work / "package.quiv").string();
    const std::string plainOut = (work / "plain.out").string();
    const std::string extracted = (work / "extracted").string();

    auto start = std::chrono::steady_clock::now();
    std::uint64_t inflated = makePackage(package);
    std::printf("extract: package of %.0f MiB inflated, %.0f MiB on disk (made in %.1f s)\n",
                static_cast<double>(inflated) / kMiB, static_cast<double>(fs::file_size(package)) / kMiB,
                bench::seconds(start));

    // Rounds alternate which side goes first; the best of each side counts, as the
    // machine's other work only ever makes a round slower.
    const int kRounds = 4;
    Timing plain, ours;
    bool ok = true;
    for (int round = 0; round < kRounds && ok; ++round) {
        for (int side = 0; side < 2 && ok; ++side) {
            bool plainTurn = (round + side) % 2 == 0;
            fs::remove(plainOut);
            fs::remove_all(extracted);
            ::sync();
            Timing::Mark mark;
            ok = plainTurn ? plainInflate(package, plainOut)
                           : bool(extractPackage(narrowToWide(extracted), narrowToWide(package)));
            (plainTurn ? plain : ours).add(mark);
            if (!ok)
                std::cerr << (plainTurn ? "plain inflate" : "extractPackage") << " failed\n";
        }
    }
    fs::remove(plainOut);
    fs::remove_all(extracted);
    long plainPeak = ok ? peakKiB("--inflate '" + package + "' '" + plainOut + "'") : -1;
    long ourPeak = ok ? peakKiB("--extract '" + package + "' '" + extracted + "'") : -1;
    fs::remove_all(work);
    if (!ok) {
        std::cerr << "extraction or plain inflate failed\n";
        return 1;
    }

    double ratio = plain.wall / ours.wall;
    bool memoryOk = ourPeak > 0 && ourPeak < kMemoryLimitKiB;
    std::printf("  best of %d rounds    wall time                 processor time (user + system)\n", kRounds);
    std::printf("  extractPackage   %8.1f MiB/s (%.2f s)   %.2f s + %.2f s   peak RSS %ld KiB\n",
                bench::mibPerSecond(inflated, ours.wall), ours.wall, ours.user, ours.system, ourPeak);
    std::printf("  plain inflate    %8.1f MiB/s (%.2f s)   %.2f s + %.2f s   peak RSS %ld KiB\n",
                bench::mibPerSecond(inflated, plain.wall), plain.wall, plain.user, plain.system, plainPeak);
    std::printf("  ratio %.2f, target >= %.2f: %s\n", ratio, kTarget, bench::verdict(ratio >= kTarget));
    std::printf("  peak RSS below %ld KiB: %s\n", kMemoryLimitKiB, bench::verdict(memoryOk));
    return ratio >= kTarget && memoryOk ? 0 : 1;
}
