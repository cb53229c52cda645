#include "SupportTestUtil.h"

#include "support/FileDigest.h"

#include <boost/filesystem/operations.hpp>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <new>

using testutil::writeFile;

namespace {

// The largest single allocation this thread made while watched: lanes continue
// parts side by side in a 32-bit address space.
thread_local bool digestAllocationsWatched = false;
thread_local std::size_t largestDigestAllocation = 0;

}  // namespace

[[gnu::noinline]] void* operator new(std::size_t size)
{
    if (digestAllocationsWatched)
        largestDigestAllocation = std::max(largestDigestAllocation, size);
    if (void* memory = std::malloc(size ? size : 1))
        return memory;
    throw std::bad_alloc();
}

// Both forms, so that no delete of a sanitizer's own meets memory from malloc.
// Not inlined: the compiler would then pair a free with an allocation it takes
// for the library's own.
[[gnu::noinline]] void operator delete(void* memory) noexcept
{
    std::free(memory);
}

[[gnu::noinline]] void operator delete(void* memory, std::size_t) noexcept
{
    std::free(memory);
}

// Every other plain form too, so that libraries which use them (Boost's
// directory walk takes the nothrow one) pair malloc with free as well.
[[gnu::noinline]] void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    if (digestAllocationsWatched)
        largestDigestAllocation = std::max(largestDigestAllocation, size);
    return std::malloc(size ? size : 1);
}

[[gnu::noinline]] void* operator new[](std::size_t size)
{
    return operator new(size);
}

[[gnu::noinline]] void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept
{
    return operator new(size, tag);
}

[[gnu::noinline]] void operator delete(void* memory, const std::nothrow_t&) noexcept
{
    std::free(memory);
}

[[gnu::noinline]] void operator delete[](void* memory) noexcept
{
    std::free(memory);
}

[[gnu::noinline]] void operator delete[](void* memory, std::size_t) noexcept
{
    std::free(memory);
}

[[gnu::noinline]] void operator delete[](void* memory, const std::nothrow_t&) noexcept
{
    std::free(memory);
}

TEST_F(TempDirTest, ContinuingAPartTakesNoLargeBuffer)
{
    writeFile("part", testutil::patternBytes(3 * 1024 * 1024));
    StreamDigest digest;
    digestAllocationsWatched = true;
    const std::int64_t read = digest.updateFromFile(L"part");
    digestAllocationsWatched = false;
    EXPECT_EQ(3 * 1024 * 1024, read);
    EXPECT_LE(largestDigestAllocation, 256u * 1024);
}

struct DigestCase {
    std::size_t size;
    const char* digest;
};

class DigestTest : public TempDirTest, public ::testing::WithParamInterface<DigestCase> {};

// Around the 64 KiB blocks, and sizes that once straddled larger ones.
TEST_P(DigestTest, MatchesTheStandardDigest)
{
    writeFile("f", testutil::patternBytes(GetParam().size));
    EXPECT_EQ(GetParam().digest, computeFileSha1(L"f"));
}

INSTANTIATE_TEST_SUITE_P(Sizes, DigestTest,
                         ::testing::Values(DigestCase{0, "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
                                           DigestCase{65536, "fefb71740a82b94a2da3bcd2fd72fc64a7fb8666"},
                                           DigestCase{65537, "74c69f8e2c886f87f68d52d16c30e9b4790513c9"},
                                           DigestCase{21037056, "b383739b41efb17838cd24e4d651e2e76b15209a"},
                                           DigestCase{20971520, "f4f3a3b925fe91c417c0508c821757f03ca8afe0"},
                                           DigestCase{20971521, "1d8dff8e36566afd95bc045926780225c58d8460"},
                                           DigestCase{47185923, "af1d526e4c795826c75081b2a4108b787e966fc4"}));

TEST_F(TempDirTest, DigestOfTextAndOfAMissingFile)
{
    writeFile("abc", "abc");
    EXPECT_EQ("a9993e364706816aba3e25717850c26c9cd0d89d", computeFileSha1(L"abc"));
    EXPECT_EQ("da39a3ee5e6b4b0d3255bfef95601890afd80709", computeFileSha1(L"missing"));
}

// A retried check does not read the same files again; a file written since is.
TEST_F(TempDirTest, CachedDigestIsReadAgainOnlyAfterAWrite)
{
    writeFile("c", "aaaa");
    const boost::filesystem::path path("c");
    // Whole seconds, the resolution the time is set back with below.
    const std::time_t written = boost::filesystem::last_write_time(path);
    boost::filesystem::last_write_time(path, written);
    DigestCache cache;
    const std::string first = cache.digestOf(L"c");
    EXPECT_EQ(computeFileSha1(L"c"), first);
    // Same size and time: taken as it was, without reading.
    writeFile("c", "bbbb");
    boost::filesystem::last_write_time(path, written);
    EXPECT_EQ(first, cache.digestOf(L"c"));
    boost::filesystem::last_write_time(path, written + 10);
    EXPECT_EQ(computeFileSha1(L"c"), cache.digestOf(L"c"));
    EXPECT_NE(first, cache.digestOf(L"c"));
    EXPECT_EQ("", cache.digestOf(L"missing"));
}
