#include "SupportTestUtil.h"

#include "HostileNames.h"

#include "support/Package.h"

namespace fs = boost::filesystem;
using testutil::deflateBytes;
using testutil::Entry;
using testutil::filesBelow;
using testutil::packageBody;
using testutil::present;
using testutil::readFile;
using testutil::writeFile;

class PackageTest : public TempDirTest {
protected:
    bool extract(const std::string& packed)
    {
        writeFile("pkg.quiv", packed);
        return bool(extractPackage(L"out", L"pkg.quiv"));
    }
    bool extract(const std::vector<Entry>& entries) { return extract(deflateBytes(packageBody(entries))); }
};

TEST_F(PackageTest, MarkerOnlyCreatesTheDestination)
{
    EXPECT_TRUE(extract(std::vector<Entry>{}));
    EXPECT_TRUE(fs::is_directory("out"));
    EXPECT_TRUE(fs::is_empty("out"));
}

// Packages as starters already shipped received them (one stream) and as the
// publisher writes them now (restarted after each entry, for small patches).
class PackageFormTest : public PackageTest,
                        public ::testing::WithParamInterface<std::string (*)(const std::vector<Entry>&)> {};

TEST_P(PackageFormTest, WritesEntriesInOrderIntoNestedDirectories)
{
    const std::string big = testutil::patternBytes(25 * 1024 * 1024 + 7);  // several copy blocks
    writeFile("out/bin/x.dll", "read-only and in the way");
    testutil::makeReadOnly("out/bin/x.dll");
    ASSERT_TRUE(extract(GetParam()({{"bin/x.dll", "new dll"},
                                    {"data\\deep\\big.bin", big},
                                    {"empty.txt", ""},
                                    {"twice.txt", "first"},
                                    {"twice.txt", "second"}})));
    EXPECT_EQ((std::vector<std::string>{"bin/x.dll", "data/deep/big.bin", "empty.txt", "twice.txt"}),
              filesBelow("out"));
    EXPECT_EQ("new dll", readFile("out/bin/x.dll"));
    EXPECT_TRUE(readFile("out/data/deep/big.bin") == big);
    EXPECT_EQ("", readFile("out/empty.txt"));
    EXPECT_EQ("second", readFile("out/twice.txt"));
}

INSTANTIATE_TEST_SUITE_P(Forms, PackageFormTest,
                         ::testing::Values(&fixtures::packageBytes, &fixtures::restartedPackageBytes),
                         [](const ::testing::TestParamInfo<PackageFormTest::ParamType>& info) {
                             return std::string(info.index == 0 ? "one_stream" : "restarted_per_entry");
                         });

TEST_F(PackageTest, LengthsAreLittleEndian)
{
    EXPECT_TRUE(
        extract(deflateBytes(std::string("abc_morvelant\x05\x00\x00\x00"
                                         "a.txt\x02\x00\x00\x00hi",
                                         28))));
    EXPECT_EQ("hi", readFile("out/a.txt"));
}

TEST_F(PackageTest, RefusesWhatIsNotAZlibPackage)
{
    const std::string body = packageBody({{"a.txt", "data"}});
    std::string wrongMarker = body;
    wrongMarker[0] = 'A';
    EXPECT_FALSE(extract(deflateBytes(body, true))) << "raw deflate";
    EXPECT_FALSE(extract(testutil::gzipBytes(body))) << "gzip";
    EXPECT_FALSE(extract(deflateBytes(wrongMarker)));
    EXPECT_FALSE(extract(deflateBytes("abc_morv")));
    EXPECT_FALSE(extract(body)) << "not compressed";
    EXPECT_FALSE(extractPackage(L"out", L"missing.quiv"));
    EXPECT_TRUE(filesBelow("out").empty());
}

class RefusedNameTest : public PackageTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(RefusedNameTest, StopsBeforeWritingTheEntry)
{
    fs::create_directory("out");
    EXPECT_FALSE(extract({{"ok.txt", "ok"}, {GetParam(), "evil"}, {"after.txt", "x"}}));
    EXPECT_EQ(std::vector<std::string>{"ok.txt"}, filesBelow("out")) << "earlier entries stay";
    EXPECT_EQ((std::vector<std::string>{"out/ok.txt", "pkg.quiv"}), filesBelow("."));
    EXPECT_FALSE(present(dir_.parent_path() / "evil.txt"));
}

INSTANTIATE_TEST_SUITE_P(Names, RefusedNameTest,
                         ::testing::Values("", ".", "a/..", "../evil.txt", "a/../../evil.txt", "..\\evil.txt",
                                           "/evil.txt", "\\evil.txt", "C:evil.txt", "C:\\evil.txt",
                                           "\\\\server\\share\\evil.txt", "\\\\.\\evil.txt", "//?/evil.txt",
                                           "CON", "sub/nul.txt"));

class HostilePackageEntry : public PackageTest, public ::testing::WithParamInterface<hostile::Name> {};

// Unpacked into the installation by a path that does not begin with "..", as
// into a group's save_dir.
TEST_P(HostilePackageEntry, FailsOrStaysInside)
{
    fs::create_directories("games/install");
    writeFile("pkg.quiv", deflateBytes(packageBody({{GetParam().bytes, "evil"}})));
    const hostile::Canary canary(fs::absolute("games/install"), dir_);
    const bool extracted = bool(extractPackage(L"games/install", L"pkg.quiv"));
    if (hostile::refusedHere(GetParam())) {
        EXPECT_FALSE(extracted);
    }
    EXPECT_EQ("", canary.damage());
}

INSTANTIATE_TEST_SUITE_P(Table, HostilePackageEntry, ::testing::ValuesIn(hostile::names()), hostile::label);

TEST_F(PackageTest, RefusesEntriesThatRunPastTheEnd)
{
    const std::string good = packageBody({{"ok.txt", "ok"}});
    const std::string tail = testutil::le32(5) + "b.txt" + testutil::le32(100) + std::string(50, 'x');
    writeFile("out/b.txt", "old");
    EXPECT_FALSE(extract(deflateBytes(good + tail))) << "data shorter than its length";
    EXPECT_EQ("ok", readFile("out/ok.txt"));
    EXPECT_EQ("old", readFile("out/b.txt")) << "a cut-off entry never replaces the file in place";
    EXPECT_FALSE(present("out/b.txt.part"));
    EXPECT_FALSE(
        extract(deflateBytes(good + testutil::le32(5) + "c.txt" + testutil::le32(0xFFFFFFFF) + "xy")))
        << "largest data length";
    EXPECT_FALSE(extract(deflateBytes(good + testutil::le32(10) + "short"))) << "name past the end";
    EXPECT_FALSE(extract(deflateBytes(good + testutil::le32(5) + "c.txt" + "\x01"))) << "data length cut";
    EXPECT_FALSE(extract(deflateBytes(good + "\x01\x00"))) << "name length cut";
    EXPECT_FALSE(
        extract(deflateBytes(good + testutil::le32(4097) + std::string(4097, 'n') + testutil::le32(0))))
        << "name longer than any real one";

    std::string corrupt = deflateBytes(good);
    corrupt[corrupt.size() - 1] ^= 1;
    EXPECT_FALSE(extract(corrupt)) << "check sum wrong";
}

// A stream cut after its last entry looks complete from the entries alone; sizes
// of whole mebibytes make the cut fall between two reads of the inflater.
TEST_F(PackageTest, RefusesAStreamCutAfterItsLastEntry)
{
    for (std::size_t size : {1024 * 1024, 2 * 1024 * 1024}) {
        const std::string packed =
            deflateBytes(packageBody({{"a.bin", testutil::patternBytes(size - 13 - 4 - 5 - 4)}}));
        EXPECT_TRUE(extract(packed));
        EXPECT_FALSE(extract(packed.substr(0, packed.size() - 4))) << size;
    }
}

TEST_F(PackageTest, FailsWhenAnEntryCannotBeWritten)
{
    writeFile("out/blocker", "file");
    EXPECT_FALSE(extract({{"blocker/x.txt", "x"}}));
    fs::create_directories("out/dir.txt");
    EXPECT_FALSE(extract({{"dir.txt", "x"}}));
    // Its staging file cannot be made: the file in place stays as it was.
    writeFile("out/kept.txt", "old");
    fs::create_directories("out/kept.txt.part");
    EXPECT_FALSE(extract({{"kept.txt", "new"}}));
    EXPECT_EQ("old", readFile("out/kept.txt"));
    writeFile("dest", "file");
    writeFile("pkg.quiv", deflateBytes(packageBody({})));
    EXPECT_FALSE(extractPackage(L"dest", L"pkg.quiv"));
}
