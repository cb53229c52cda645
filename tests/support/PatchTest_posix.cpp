// Patches made by the zstd program (--patch-from), applied as the starter does.
// POSIX only: the Windows programs carry zstd's decoder alone, and the zstd
// program that makes the patches runs here.

#include "SupportTestUtil.h"

#include "support/Patch.h"
#include "tests/common/Files.h"

#include <cstdlib>
#include <utility>

using fixtures::randomBytes;
using testutil::present;
using testutil::readFile;
using testutil::writeFile;

namespace {

// `base` with every 64 KiB a few bytes rewritten, and `extra` random bytes
// inserted in its middle.
std::string changed(std::string base, std::size_t extra)
{
    for (std::size_t at = 1000; at + 8 < base.size(); at += 65536)
        base.replace(at, 8, "CHANGED!");
    return base.insert(base.size() / 2, randomBytes(extra, 99));
}

// Writes old.bin and new.bin and the zstd program's patch.bin between them.
void makePatch(const std::string& oldContent, const std::string& newContent, const std::string& options = "")
{
    writeFile("old.bin", oldContent);
    writeFile("new.bin", newContent);
    // The program fails on an empty new file with a reference; a plain frame of
    // nothing is what it would make.
    const std::string reference = newContent.empty() ? "" : " --patch-from=old.bin";
    ASSERT_EQ(0, std::system(("zstd -q -f -19 " + options + reference + " new.bin -o patch.bin").c_str()));
}

struct RoundTrip {
    const char* name;
    // Made when the row runs: every listing of the tests would pay for them otherwise.
    std::pair<std::string, std::string> (*contents)();  // old, new
};

class PatchRoundTrip : public TempDirTest, public ::testing::WithParamInterface<RoundTrip> {};

}  // namespace

TEST_P(PatchRoundTrip, GivesTheNewFile)
{
    const auto [oldContent, newContent] = GetParam().contents();
    makePatch(oldContent, newContent);
    StagedFile staged(L"target.bin");
    const PatchResult result = applyPatch(L"old.bin", L"patch.bin", newContent.size(), staged);
    ASSERT_TRUE(result) << result.reason;
    EXPECT_TRUE(readFile("target.bin.part") == newContent);
    EXPECT_TRUE(staged.place().empty());
    EXPECT_TRUE(readFile("target.bin") == newContent);
    EXPECT_TRUE(readFile("old.bin") == oldContent);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PatchRoundTrip,
    ::testing::Values(
        RoundTrip{"scattered_changes",
                  [] { return std::pair(randomBytes(3 << 20, 1), changed(randomBytes(3 << 20, 1), 100)); }},
        // a patch of many of the decoder's input pieces
        RoundTrip{
            "megabyte_inserted",
            [] { return std::pair(randomBytes(2 << 20, 2), changed(randomBytes(2 << 20, 2), 1 << 20)); }},
        RoundTrip{"identical", [] { return std::pair(randomBytes(100000, 3), randomBytes(100000, 3)); }},
        RoundTrip{"new_file_empty", [] { return std::pair(randomBytes(1000, 4), std::string()); }},
        RoundTrip{"old_file_empty", [] { return std::pair(std::string(), std::string("from nothing")); }}),
    [](const ::testing::TestParamInfo<RoundTrip>& info) { return std::string(info.param.name); });

namespace {

struct BadPatch {
    const char* name;
    // Changes the files the sample patch (old.bin to new.bin, patch.bin) made.
    void (*spoil)(std::uint64_t& listedSize);
    PatchOutcome outcome;
};

class PatchRefused : public TempDirTest, public ::testing::WithParamInterface<BadPatch> {};

std::string sampleOld()
{
    return randomBytes(1 << 20, 5);
}

}  // namespace

TEST_P(PatchRefused, DiscardsTheStagedFile)
{
    const std::string newContent = changed(sampleOld(), 300000);
    makePatch(sampleOld(), newContent);
    std::uint64_t listedSize = newContent.size();
    GetParam().spoil(listedSize);
    const std::string oldContent = readFile("old.bin");
    writeFile("target.bin", "in place");

    StagedFile staged(L"target.bin");
    const PatchResult result = applyPatch(L"old.bin", L"patch.bin", listedSize, staged);
    EXPECT_EQ(GetParam().outcome, result.outcome) << result.reason;
    EXPECT_FALSE(result.reason.empty());
    EXPECT_FALSE(present("target.bin.part"));
    EXPECT_EQ("in place", readFile("target.bin"));
    EXPECT_TRUE(readFile("old.bin") == oldContent);
}

// The frames of the table in PatchTest.cpp carry their size; these do not, and
// the decoder itself must stop at the listed size. And files that are not there.
INSTANTIATE_TEST_SUITE_P(
    Table, PatchRefused,
    ::testing::Values(
        BadPatch{"listed_size_smaller_no_size_in_frame",
                 [](std::uint64_t& size) {
                     makePatch(readFile("old.bin"), readFile("new.bin"), "--no-content-size");
                     --size;
                 },
                 PatchOutcome::PastListedSize},
        BadPatch{"listed_size_larger_no_size_in_frame",
                 [](std::uint64_t& size) {
                     makePatch(readFile("old.bin"), readFile("new.bin"), "--no-content-size");
                     ++size;
                 },
                 PatchOutcome::ShortOfListedSize},
        BadPatch{"no_patch", [](std::uint64_t&) { std::remove("patch.bin"); }, PatchOutcome::PatchUnreadable},
        BadPatch{"no_old_file", [](std::uint64_t&) { std::remove("old.bin"); }, PatchOutcome::OldUnreadable}),
    [](const ::testing::TestParamInfo<BadPatch>& info) { return std::string(info.param.name); });
