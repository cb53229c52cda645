#include "SupportTestUtil.h"

#include "support/StagedFile.h"

namespace fs = boost::filesystem;
using testutil::present;
using testutil::readFile;
using testutil::writeFile;

namespace {

const char kAbcSha1[] = "a9993e364706816aba3e25717850c26c9cd0d89d";
const char kAbcSha256[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

struct StagedCase {
    const char* name;
    ExpectedContent expected;
    ContentVerdict verdict;
};

class StagedCheck : public TempDirTest, public testing::WithParamInterface<StagedCase> {};

TEST_P(StagedCheck, GivesTheFirstCheckThatFails)
{
    StagedFile staged(L"f.txt");
    writeFile("f.txt.part", "abc");
    const ContentCheck checked = staged.check(GetParam().expected);
    EXPECT_EQ(GetParam().verdict, checked.verdict);
    EXPECT_EQ(GetParam().expected.sha1.empty() ? "" : kAbcSha1, checked.sha1);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, StagedCheck,
    testing::Values(
        StagedCase{"nothing_asked", {}, ContentVerdict::Matches},
        StagedCase{"all_match", {true, 3, kAbcSha1, kAbcSha256}, ContentVerdict::Matches},
        StagedCase{"size", {true, 4, kAbcSha1, kAbcSha256}, ContentVerdict::SizeDiffers},
        StagedCase{"sha1", {true, 3, std::string(40, '0'), kAbcSha256}, ContentVerdict::Sha1Differs},
        StagedCase{"sha256", {false, 0, "", std::string(64, '0')}, ContentVerdict::Sha256Differs}),
    [](const testing::TestParamInfo<StagedCase>& info) { return std::string(info.param.name); });

// A staging file that cannot be placed or written never costs the file in place.
TEST_F(TempDirTest, StagedContentReplacesOnlyWhenPlaced)
{
    fs::create_directories("dir.txt");
    for (StagedFile::Kind kind : {StagedFile::Kind::Received, StagedFile::Kind::Download}) {
        StagedFile staged(L"dir.txt", kind);
        staged.open(false)->write("new", 3);
        EXPECT_FALSE(staged.place().empty());
        EXPECT_TRUE(fs::is_directory("dir.txt"));
        // A download stays for the next attempt; anything else goes.
        EXPECT_EQ(kind == StagedFile::Kind::Download, present("dir.txt.tmp"));
        EXPECT_FALSE(present("dir.txt.part"));
    }

    fs::create_directories("blocked.txt.part");
    writeFile("blocked.txt", "old");
    EXPECT_EQ("无法打开文件", writeWholeFile(L"blocked.txt", "new"));
    EXPECT_EQ("old", readFile("blocked.txt"));
    EXPECT_EQ("", writeWholeFile(L"blocked.txt.new", "new"));
    EXPECT_EQ("new", readFile("blocked.txt.new"));
}

}  // namespace
