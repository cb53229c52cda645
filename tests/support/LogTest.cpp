#include "SupportTestUtil.h"

#include "support/FileManager.h"
#include "support/Log.h"
#include "support/LogPruning.h"

#include <boost/filesystem/path.hpp>

#include <regex>
#include <thread>

namespace fs = boost::filesystem;
using testutil::present;
using testutil::readFile;
using testutil::writeFile;

class LogTest : public TempDirTest {};

TEST_F(LogTest, FileIsNamedAfterTheTimeOfItsFirstLine)
{
    EXPECT_TRUE(std::regex_match(timestampText(), std::regex("[0-9]{8}_[0-9]{6}")));
    Log log("logs");
    EXPECT_FALSE(present("logs/")) << "nothing logged, nothing made";
    log.write("x");
    std::vector<std::string> names = testutil::filesBelow("logs");
    ASSERT_EQ(1u, names.size());
    EXPECT_TRUE(std::regex_match(names[0], std::regex("[0-9]{8}_[0-9]{6}\\.txt")));
    EXPECT_EQ("logs/" + names[0], log.filePath());
}

TEST_F(LogTest, PartsAreJoinedByOneBlankAndEveryLineIsInTheFileAtOnce)
{
    Log log("logs");
    log.write("打开文件失败:", "a.txt");
    log.write("a", "");
    log.write(" b", "c", "d");
    log.write("two\nlines");
    // A text-mode stream: CR LF on Windows.
    const std::string eol = fs::path::preferred_separator == '\\' ? "\r\n" : "\n";
    EXPECT_EQ("打开文件失败: a.txt" + eol + "a " + eol + " b c d" + eol + "two" + eol + "lines" + eol,
              readFile(log.filePath()));
}

TEST_F(LogTest, LinesFromSeveralThreadsStayWhole)
{
    Log log("logs");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&log, t] {
            for (int i = 0; i < 200; ++i)
                log.write("thread", std::to_string(t), std::string(50, static_cast<char>('a' + t)));
        });
    for (std::thread& thread : threads)
        thread.join();
    std::string text = readFile(log.filePath());
    std::regex line("thread ([0-3]) (a{50}|b{50}|c{50}|d{50})\r?\n");
    int count = 0;
    for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it)
        ++count;
    EXPECT_EQ(800, count);
    EXPECT_EQ("", std::regex_replace(text, line, ""));
}

TEST_F(LogTest, UnopenableFileDropsLinesQuietly)
{
    writeFile("logs", "a plain file where the directory should be");
    Log log("logs");
    log.write("dropped");
    log.write("dropped", "too");
    EXPECT_EQ("", log.filePath());
}

TEST_F(LogTest, OpenLogFileCannotBeDeleted)
{
    Log log("logs");
    log.write("x");
    EXPECT_FALSE(FileManager::instance().deleteFile(fs::path(log.filePath()).wstring()));
    EXPECT_TRUE(present(log.filePath()));
}

class PruningTest : public TempDirTest, public ::testing::WithParamInterface<int> {
protected:
    static std::string logName(int i)
    {
        char name[32];
        std::snprintf(name, sizeof name, "2017%04d_120000.txt", 101 + i);
        return name;
    }
};

// The names are written in a scrambled order so that the walk's order does not matter.
TEST_P(PruningTest, KeepsTheTenNewest)
{
    const int count = GetParam();
    fs::create_directory("Log");
    for (int i = 0; i < count; ++i)
        writeFile("Log/" + logName((i * 7) % count), "log");
    pruneLogFiles();
    std::vector<std::string> expected;
    for (int i = std::max(0, count - 10); i < count; ++i)
        expected.push_back(logName(i));
    EXPECT_EQ(expected, testutil::filesBelow("Log"));
}

INSTANTIATE_TEST_SUITE_P(Counts, PruningTest, ::testing::Values(0, 10, 11, 25));

TEST_F(LogTest, PruningCountsOnlyLogNamedFiles)
{
    const char* kept[] = {"abcdefghijklmno.txt", "notes.txt", "20170101_000000.log"};
    for (const char* name : kept)
        writeFile(std::string("Log/") + name, "");
    fs::create_directories("Log/20000101_000000.txt");
    writeFile("Log/20000101_000001.txt", "held open");
    std::unique_ptr<FileManager::File> held =
        FileManager::instance().openFile(L"Log/20000101_000001.txt", true);
    ASSERT_TRUE(held);
    for (int i = 0; i < 10; ++i)
        writeFile("Log/2017010" + std::to_string(i) + "_000000.txt", "");

    pruneLogFiles();
    // 12 counted: the held file stays though it sorts first, the next one goes.
    EXPECT_TRUE(present("Log/20000101_000001.txt"));
    EXPECT_FALSE(present("Log/20170100_000000.txt"));
    EXPECT_TRUE(present("Log/20170101_000000.txt"));
    EXPECT_TRUE(fs::is_directory("Log/20000101_000000.txt"));
    for (const char* name : kept)
        EXPECT_TRUE(present(std::string("Log/") + name)) << name;
}
