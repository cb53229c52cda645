#include "SupportTestUtil.h"

#include "support/FileManager.h"

#include <fstream>

namespace fs = boost::filesystem;
using testutil::present;
using testutil::readFile;
using testutil::writeFile;

namespace {

FileManager& files()
{
    return FileManager::instance();
}

}  // namespace

class CreateDirectoriesTest : public TempDirTest {};

TEST_F(CreateDirectoriesTest, EmptyPathIsTrueAndTouchesNothing)
{
    EXPECT_TRUE(files().createDirectories(L""));
    EXPECT_TRUE(fs::is_empty(dir_));
}

struct CreateCase {
    const wchar_t* path;
    FileResult::Code result;
    std::vector<const char*> directories;  // that exist afterwards
};

class CreateDirectoriesCases : public TempDirTest, public ::testing::WithParamInterface<CreateCase> {};

TEST_P(CreateDirectoriesCases, CreatesEveryLevel)
{
    const CreateCase& c = GetParam();
    for (int call = 0; call < 2; ++call) {  // a second call gives the same
        const FileResult result = files().createDirectories(c.path);
        EXPECT_EQ(c.result == FileResult::Done, bool(result));
        EXPECT_EQ(c.result == FileResult::Refused, result.refused());
    }
    for (const char* directory : c.directories)
        EXPECT_TRUE(fs::is_directory(directory)) << directory;
    if (c.directories.empty()) {
        EXPECT_TRUE(fs::is_empty(dir_));
    }
}

// A leading ".." (even as part of a name) is refused before anything is made.
INSTANTIATE_TEST_SUITE_P(Paths, CreateDirectoriesCases,
                         ::testing::Values(CreateCase{L"a\\b\\c", FileResult::Done, {"a/b/c"}},
                                           CreateCase{L"a/b/", FileResult::Done, {"a/b"}},
                                           CreateCase{L"a//b", FileResult::Done, {"a/b"}},
                                           CreateCase{L"x\\..\\y", FileResult::Done, {"x", "y"}},
                                           CreateCase{L"C:", FileResult::Failed, {}},
                                           CreateCase{L"..\\x", FileResult::Refused, {}},
                                           CreateCase{L"..x\\y", FileResult::Refused, {}},
                                           CreateCase{L"../x", FileResult::Refused, {}}));

TEST_F(CreateDirectoriesTest, AbsolutePathStartsAtTheRoot)
{
    const fs::path target = fs::absolute("p/q");
    EXPECT_TRUE(files().createDirectories(target.wstring()));
    EXPECT_TRUE(fs::is_directory("p/q"));
}

TEST_F(CreateDirectoriesTest, PlainFileInTheWayStopsTheLoop)
{
    writeFile("f", "data");
    EXPECT_FALSE(files().createDirectories(L"f/g/h"));
    EXPECT_EQ("data", readFile("f"));
}

class FileTest : public TempDirTest {};

TEST_F(FileTest, OpenTruncatesOrAppends)
{
    writeFile("t", "old");
    ASSERT_TRUE(files().openFile(L"t", false));
    EXPECT_EQ("", readFile("t"));

    writeFile("a", std::string(1000, 'x'));
    std::unique_ptr<FileManager::File> file = files().openFile(L"a", true);
    ASSERT_TRUE(file);
    EXPECT_EQ(1000, file->position());
    EXPECT_TRUE(file->write("yz", 2));
    EXPECT_TRUE(file->write("ignored", 0));
    EXPECT_EQ(1002, file->position());
    file.reset();
    EXPECT_EQ(std::string(1000, 'x') + "yz", readFile("a"));
}

TEST_F(FileTest, OpenFailsWithoutDirectory)
{
    EXPECT_FALSE(files().openFile(L"missing/x", false));
}

TEST_F(FileTest, OpenFileIsExclusiveAndInUse)
{
    writeFile("held", "content");
    std::unique_ptr<FileManager::File> held = files().openFile(L"held", true);
    ASSERT_TRUE(held);
    EXPECT_FALSE(files().openFile(L"held", false));
    EXPECT_FALSE(files().deleteFile(L"held", true));
    EXPECT_FALSE(files().copyFile(L"held", L"copy"));
    EXPECT_FALSE(files().moveFile(L"held", L"moved"));
    held.reset();
    EXPECT_EQ("content", readFile("held")) << "a refused opener must not truncate";
    EXPECT_TRUE(files().deleteFile(L"held"));
}

// Write system calls made by this process so far, where the system counts them.
static bool writeCalls(std::uint64_t& count)
{
    std::ifstream in("/proc/self/io");
    for (std::string key; in >> key >> count;)
        if (key == "syscw:")
            return true;
    return false;
}

TEST_F(FileTest, WritesInPiecesOfOneMebibyte)
{
    const std::string data = testutil::patternBytes(2 * 1024 * 1024 + 512 * 1024);
    std::unique_ptr<FileManager::File> file = files().openFile(L"big", false);
    ASSERT_TRUE(file);
    std::uint64_t before = 0, probe = 0, after = 0;
    bool counted = writeCalls(before) && file->write("p", 1) && writeCalls(probe) && probe == before + 1;
    EXPECT_TRUE(file->write(data.data(), static_cast<std::int64_t>(data.size())));
    file.reset();
    EXPECT_EQ("p" + data, readFile("big"));
    if (!counted)
        GTEST_SKIP() << "this system does not count write calls per process";
    ASSERT_TRUE(writeCalls(after));
    EXPECT_EQ(3u, after - probe);
}

TEST_F(FileTest, ReadOnlyFileIsDeletedOnlyWhenAsked)
{
    writeFile("ro", "x");
    testutil::makeReadOnly("ro");
    EXPECT_FALSE(files().openFile(L"ro", false));
    EXPECT_FALSE(files().deleteFile(L"ro"));
    EXPECT_TRUE(present("ro"));
    EXPECT_TRUE(files().deleteFile(L"ro", true));
    EXPECT_FALSE(present("ro"));
    EXPECT_FALSE(files().deleteFile(L"ro"));
    fs::create_directory("d");
    EXPECT_FALSE(files().deleteFile(L"d", true));
}

TEST_F(FileTest, CopyAndMoveNeverReplace)
{
    writeFile("src", "source");
    writeFile("dst", "kept");
    EXPECT_FALSE(files().copyFile(L"src", L"dst"));
    EXPECT_FALSE(files().moveFile(L"src", L"dst"));
    EXPECT_EQ("kept", readFile("dst"));
    EXPECT_EQ("source", readFile("src"));

    EXPECT_TRUE(files().copyFile(L"src", L"copy"));
    EXPECT_EQ("source", readFile("copy"));
    EXPECT_TRUE(files().moveFile(L"src", L"moved"));
    EXPECT_FALSE(present("src"));
    EXPECT_EQ("source", readFile("moved"));
    EXPECT_TRUE(files().isFile(L"moved"));
    EXPECT_FALSE(files().isDirectory(L"moved"));
}

TEST_F(FileTest, DeleteDirectoryTreeRemovesEverythingButNeverFollowsLinks)
{
    writeFile("outside/keep.txt", "keep");
    writeFile("tree/a/b/deep.txt", "x");
    writeFile("tree/ro.txt", "x");
    testutil::makeReadOnly("tree/ro.txt");
    boost::system::error_code linkError;
    fs::create_directory_symlink(fs::absolute("outside"), "tree/a/link", linkError);

    EXPECT_TRUE(files().deleteDirectoryTree(L"tree"));
    EXPECT_FALSE(present("tree"));
    EXPECT_EQ("keep", readFile("outside/keep.txt"));
    EXPECT_FALSE(files().deleteDirectoryTree(L"tree"));
    EXPECT_FALSE(files().deleteDirectoryTree(L"outside/keep.txt"));
}

namespace {

struct Collector : FileManager::DirectoryVisitor {
    explicit Collector(std::size_t stopAfter = 1000) : stopAfter(stopAfter) {}
    bool visit(const wchar_t* name, bool isDirectory) override
    {
        seen.push_back(std::wstring(name) + (isDirectory ? L"/" : L""));
        return seen.size() < stopAfter;
    }
    std::size_t stopAfter;
    std::vector<std::wstring> seen;
};

}  // namespace

TEST_F(FileTest, WalkVisitsMatchingEntriesOfOneLevel)
{
    writeFile("w/one.txt", "");
    writeFile("w/two.log", "");
    writeFile("w/sub.txt/inner.txt", "");
    Collector all;
    files().walkDirectory(L"w", L"*.txt", all);
    std::sort(all.seen.begin(), all.seen.end());
    EXPECT_EQ((std::vector<std::wstring>{L"one.txt", L"sub.txt/"}), all.seen);

    Collector first(1);
    files().walkDirectory(L"w", L"*", first);
    EXPECT_EQ(1u, first.seen.size());

    Collector none;
    files().walkDirectory(L"missing", L"*", none);
    files().walkDirectory(L"w", L"*.none", none);
    files().walkDirectory(L"w", std::wstring(300, L'*'), none);  // longer than the search buffer
    EXPECT_TRUE(none.seen.empty());
}
