#include "SupportTestUtil.h"

#include "support/BlockSync.h"
#include "support/StagedFile.h"

using fixtures::hasContent;
using fixtures::randomBytes;
using testutil::writeFile;

namespace {

const std::size_t kK = 4096;
const std::size_t kM = 1024 * 1024;
// Six large blocks, the last one short and ending in a short small block; the
// fourth all zeros (equal blocks).
const std::size_t kNewSize = 5 * kM + 300 * 1000 + 123;
const std::string& newFile()
{
    static const std::string content =
        randomBytes(3 * kM, 29) + std::string(kM, '\0') + randomBytes(kM + 300 * 1000 + 123, 30);
    return content;
}

// A local copy from the new file: what an older release or a damaged disk left.
std::string damaged(std::string text, std::initializer_list<std::size_t> blocks)
{
    for (std::size_t block : blocks)
        text.replace(block * kK, kK, randomBytes(kK, static_cast<unsigned>(block)));
    return text;
}

// The release before: some bytes it lacked, some it had more of, a block it had otherwise.
std::string older(std::string text, unsigned seed)
{
    text.erase(kM + 5000 * seed, 777);
    text.insert(2 * kM + 7000 * seed, randomBytes(3000, seed));
    text.replace(4 * kM + 9000 * seed, 500, randomBytes(500, seed + 10));
    return text;
}

struct SyncCase {
    const char* name;
    std::string (*local)();  // built when the row runs, not when it is listed; "" means no local copy
    std::size_t maxMissing;  // bytes
    std::size_t maxGroups;   // small-entry groups of the index fetched
    bool wholeFile;
};

class BlockSync : public TempDirTest, public testing::WithParamInterface<SyncCase> {};

TEST_P(BlockSync, BuildsTheNewFileFromLocalBlocksAndFetchedRanges)
{
    const SyncCase& row = GetParam();
    writeFile("new.bin", newFile());
    const std::string local = row.local();
    if (!local.empty())
        writeFile("local.bin", local);
    std::string index;
    std::string reason;
    ASSERT_TRUE(buildBlockIndex(L"new.bin", index, reason)) << reason;
    ASSERT_EQ(kNewSize, newFile().size());
    ASSERT_EQ(BlockIndex::indexSize(kNewSize), index.size());

    std::uint64_t indexBytes = 0;
    const auto fetch = [&](const ByteRange& range, std::string& bytes) {
        indexBytes += range.size;
        bytes = index.substr(range.offset, range.size);
        return true;
    };
    BlockPlan plan;
    WireEstimate estimate;
    const BlockSyncOptions options;
    ASSERT_TRUE(planWithIndex(L"local.bin", newFile().size(), fetch, options, plan, estimate, reason))
        << reason;
    EXPECT_EQ(indexBytes, estimate.indexBytes);
    EXPECT_LE(indexBytes,
              BlockIndex::topSize(newFile().size()) + row.maxGroups * kSmallPerLarge * kSmallEntrySize);
    EXPECT_LE(plan.missingBytes, row.maxMissing);
    EXPECT_EQ(newFile().size(), plan.missingBytes + plan.localBytes);
    // The top, then the few groups in one request, then the missing ranges many to a request.
    EXPECT_LE(estimate.requests,
              2 + (plan.missing.size() + options.rangesPerRequest - 1) / options.rangesPerRequest);
    EXPECT_EQ(row.wholeFile, wholeFileCheaper(estimate, newFile().size(), options))
        << "estimate " << estimate.total << ", missing " << plan.missingBytes;

    StagedFile staged(L"out.bin");
    std::unique_ptr<FileManager::File> output = staged.open(false);
    BlockAssembler assembler(plan, *output);
    ASSERT_TRUE(assembler.copyLocal(L"local.bin", reason)) << reason;
    // Nothing lands outside the missing ranges, nor beyond the new file.
    EXPECT_FALSE(assembler.writeFetched(newFile().size(), "x", 1, reason));
    for (const ByteRange& range : plan.missing) {
        const std::string bytes = newFile().substr(range.offset, range.size);
        EXPECT_FALSE(assembler.writeFetched(range.offset, bytes.data(), bytes.size() + 1, reason));
        ASSERT_TRUE(assembler.writeFetched(range.offset, bytes.data(), bytes.size() / 2, reason)) << reason;
        ASSERT_TRUE(assembler.writeFetched(range.offset + bytes.size() / 2, bytes.data() + bytes.size() / 2,
                                           bytes.size() - bytes.size() / 2, reason))
            << reason;
    }
    EXPECT_TRUE(assembler.complete());
    EXPECT_EQ(plan.localBytes, assembler.localBytes());
    output.reset();
    EXPECT_TRUE(hasContent(staged.path(), newFile()));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, BlockSync,
    testing::Values(
        // Repair: the damaged blocks alone, the groups of their large blocks alone.
        SyncCase{"scattered_damage",
                 [] {
                     return damaged(newFile(), {3, 700, 701, 1100, 1281});
                 },
                 5 * kK, 4, false},
        // Shifted content is found by rolling; each edit costs a block or two.
        SyncCase{"two_releases_old", [] { return older(older(newFile(), 1), 2); }, 16 * kK, 6, false},
        SyncCase{"truncated", [] { return newFile().substr(0, 2 * kM + kM / 2); },
                 kNewSize - (2 * kM + kM / 2), 4, false},
        SyncCase{"everything_shifted", [] { return randomBytes(1000, 4) + newFile(); }, kK, 6, false},
        SyncCase{"longer", [] { return newFile() + randomBytes(kM, 3); }, 0, 0, false},
        SyncCase{"another_file", [] { return randomBytes(newFile().size(), 31); }, kNewSize, 6, true},
        SyncCase{"no_local_copy", [] { return std::string(); }, kNewSize, 0, true}),
    [](const testing::TestParamInfo<SyncCase>& info) { return std::string(info.param.name); });

// A local copy that changed after planning fails the build, never gives wrong bytes silently.
TEST_F(TempDirTest, BlockSyncLocalCopyShrunkAfterPlanning)
{
    writeFile("new.bin", newFile());
    writeFile("local.bin", damaged(newFile(), {10}));
    std::string index;
    std::string reason;
    ASSERT_TRUE(buildBlockIndex(L"new.bin", index, reason));
    BlockIndex parsed;
    ASSERT_TRUE(parsed.parseWhole(index.data(), index.size(), reason)) << reason;
    LargeComparison comparison;
    BlockPlan plan;
    ASSERT_TRUE(compareLargeBlocks(L"local.bin", parsed, comparison, reason));
    EXPECT_EQ(1u, comparison.differing);
    ASSERT_TRUE(planBlocks(L"local.bin", parsed, comparison, BlockSyncOptions(), plan, reason));
    writeFile("local.bin", newFile().substr(0, kM));
    StagedFile staged(L"out.bin");
    std::unique_ptr<FileManager::File> output = staged.open(false);
    BlockAssembler assembler(plan, *output);
    EXPECT_FALSE(assembler.copyLocal(L"local.bin", reason));
    EXPECT_FALSE(assembler.complete());
}

}  // namespace
