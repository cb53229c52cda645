// A patch made by the zstd program, kept here as bytes so that the Windows
// build (zstd's decoder alone, run under wine) applies it through its own file
// mapping too. PatchTest_posix.cpp makes its patches as it runs.

#include "SupportTestUtil.h"

#include "support/Patch.h"

#include <random>

using testutil::present;
using testutil::readFile;
using testutil::writeFile;

namespace {

// zstd -19 --patch-from=old new: old is oldContent(); new has "CHANGED" at three
// places and "inserted " 100 times at 500000.
const char kPatch[] =
    "\x28\xb5\x2f\xfd\xa4\x84\x03\x10\x00\xac\x00\x00\x40\x25\x43\x48\x41\x4e\x47\x45\x44\x02\x00\x0e"
    "\xfc\x20\x37\xf2\x03\x00\x50\xb5\x2b\x54\x00\x00\x00\x01\x00\xfd\xff\x03\x00\x90\x37\x20\x7c\x00"
    "\x00\x00\x03\x40\x00\x16\x6c\x20\xef\x3f\x82\xdc\xee\x89\x0e\x02\xd4\x00\x00\x48\x69\x6e\x73\x65"
    "\x72\x74\x65\x64\x20\x03\x00\x59\xdb\xe1\x00\xb4\x1d\xe0\x65\xa9\xae\x23\x54\x7e\x81\x54\x00\x00"
    "\x00\x01\x00\xfd\xff\x87\x03\x90\x37\x20\x7c\x00\x00\x00\x03\x40\x00\x12\x4e\x20\x1f\x78\x88\xdc"
    "\xf0\x98\x0e\x02\x44\x00\x00\x00\x01\x00\xfd\xff\xf2\x0b\x04\x44\x00\x00\x00\x01\x00\xfd\xff\x39"
    "\x00\x02\x3d\x00\x00\x00\x01\x00\x81\x2b\x00\x04\x04\xfe\x5f\x49";

// 1 MiB from std::mt19937, whose output the standard fixes on every system.
std::string oldContent()
{
    std::mt19937 generator(1);
    std::string bytes(1 << 20, '\0');
    for (char& c : bytes)
        c = static_cast<char>(generator());
    return bytes;
}

std::string newContent()
{
    std::string bytes = oldContent();
    for (std::size_t at : {1000, 300000, 700000})
        bytes.replace(at, 7, "CHANGED");
    std::string inserted;
    for (int i = 0; i < 100; ++i)
        inserted += "inserted ";
    return bytes.insert(500000, inserted);
}

struct StoredPatchCase {
    const char* name;
    std::string patch;  // the stored patch, or what became of it
    bool oldChanged;    // one byte in the middle of the old file
    std::int64_t listedSizeChange;
    PatchOutcome outcome;
};

class StoredPatch : public TempDirTest, public ::testing::WithParamInterface<StoredPatchCase> {};

const std::string kStored(kPatch, sizeof kPatch - 1);

std::string damaged(std::size_t at)
{
    std::string patch = kStored;
    patch[at] = static_cast<char>(patch[at] ^ 0x55);
    return patch;
}

}  // namespace

TEST_P(StoredPatch, AppliesOrIsRefused)
{
    const StoredPatchCase& row = GetParam();
    writeFile("patch.bin", row.patch);
    std::string old = oldContent();
    if (row.oldChanged)
        old[200000] = 'x';
    writeFile("old.bin", old);
    writeFile("new.bin", "in place");
    const std::string expected = newContent();

    StagedFile staged(L"new.bin");
    const PatchResult result =
        applyPatch(L"old.bin", L"patch.bin", expected.size() + row.listedSizeChange, staged);
    EXPECT_EQ(row.outcome, result.outcome) << result.reason;
    EXPECT_EQ(result.reason.empty(), bool(result));
    EXPECT_EQ(row.outcome == PatchOutcome::Applied, present("new.bin.part"));
    if (result) {
        EXPECT_TRUE(readFile("new.bin.part") == expected);
    }
    EXPECT_EQ("in place", readFile("new.bin"));
    EXPECT_TRUE(readFile("old.bin") == old);
}

INSTANTIATE_TEST_SUITE_P(
    Table, StoredPatch,
    ::testing::Values(
        StoredPatchCase{"applies", kStored, false, 0, PatchOutcome::Applied},
        StoredPatchCase{"wrong_old_file", kStored, true, 0, PatchOutcome::WrongResult},
        StoredPatchCase{"listed_size_smaller", kStored, false, -1, PatchOutcome::PastListedSize},
        StoredPatchCase{"listed_size_larger", kStored, false, 1, PatchOutcome::ShortOfListedSize},
        StoredPatchCase{"damaged", damaged(40), false, 0, PatchOutcome::Corrupt},
        StoredPatchCase{"truncated", kStored.substr(0, kStored.size() - 10), false, 0,
                        PatchOutcome::Truncated},
        StoredPatchCase{"header_only", kStored.substr(0, 3), false, 0, PatchOutcome::Truncated},
        StoredPatchCase{"trailing_data", kStored + "more", false, 0, PatchOutcome::TrailingData},
        StoredPatchCase{"not_zstd", "PK\x03\x04 a zip file, not a patch", false, 0, PatchOutcome::NotAFrame}),
    [](const ::testing::TestParamInfo<StoredPatchCase>& info) { return std::string(info.param.name); });
