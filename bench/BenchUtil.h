#pragma once
// Small helpers shared by the benchmark programs (header-only: every .cpp in
// bench/ is a program of its own).

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace bench {

inline double seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

inline double mibPerSecond(std::uint64_t bytes, double secs)
{
    return static_cast<double>(bytes) / (1024.0 * 1024.0) / secs;
}

// Runs a shell command; its standard output, and its exit status in `status`.
inline std::string run(const std::string& command, int& status)
{
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) {
        status = -1;
        return out;
    }
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.append(buffer, got);
    status = ::pclose(pipe);
    return out;
}

// Deterministic pseudo-random bytes (xorshift64*).
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed | 1) {}
    std::uint64_t next()
    {
        state_ ^= state_ >> 12;
        state_ ^= state_ << 25;
        state_ ^= state_ >> 27;
        return state_ * 2685821657736338717ULL;
    }
    void fill(char* data, std::size_t size)
    {
        std::size_t i = 0;
        for (; i + 8 <= size; i += 8) {
            std::uint64_t v = next();
            for (int b = 0; b < 8; ++b)
                data[i + b] = static_cast<char>(v >> (8 * b));
        }
        for (; i < size; ++i)
            data[i] = static_cast<char>(next());
    }

private:
    std::uint64_t state_;
};

inline const char* verdict(bool met)
{
    return met ? "met" : "NOT MET";
}

const std::size_t kPackBlock = 4096;

inline std::string randomText(Random& random, std::size_t size)
{
    std::string text(size, '\0');
    random.fill(&text[0], size);
    return text;
}

// The next release of a pack: 0.5 % of its blocks rewritten, two runs added, one removed.
inline std::string nextPackRelease(std::string pack, Random& random)
{
    const std::size_t blocks = pack.size() / kPackBlock;
    for (std::size_t i = 0; i < blocks / 200; ++i)
        pack.replace(random.next() % blocks * kPackBlock, kPackBlock, randomText(random, kPackBlock));
    for (int i = 0; i < 2; ++i)
        pack.insert(random.next() % pack.size(), randomText(random, 1024 + random.next() % (15 * 1024)));
    pack.erase(random.next() % (pack.size() / 2), 1024 + random.next() % (15 * 1024));
    return pack;
}

// `count` blocks of a pack overwritten at random places, as a disk or a scanner might.
inline std::string withDamagedBlocks(std::string pack, Random& random, int count)
{
    for (int i = 0; i < count; ++i)
        pack.replace(random.next() % (pack.size() / kPackBlock) * kPackBlock, kPackBlock,
                     randomText(random, kPackBlock));
    return pack;
}

}  // namespace bench
