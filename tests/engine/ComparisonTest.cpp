// Comparing the group's local files, and the worker's own listener and start-up.

#include "engine/StarterWorker.h"
#include "tests/engine/EngineTestSupport.h"

#include <gtest/gtest.h>

#include <boost/filesystem/operations.hpp>
#include <boost/thread/exceptions.hpp>

#include <functional>
#include <stdexcept>

namespace {

struct NeedCase {
    const char* label;
    const char* content;   // nullptr: no file; "<dir>": a directory
    std::string expected;  // the digest the configuration names
    bool needsUpdate;
    std::string logged;
};
void PrintTo(const NeedCase& c, std::ostream* os)
{
    *os << c.label;
}

class FileNeedsUpdateTest : public testing::TestWithParam<NeedCase> {};

TEST_P(FileNeedsUpdateTest, ComparesByExistenceAndDigest)
{
    const NeedCase& c = GetParam();
    Sandbox sandbox;
    if (c.content && std::string(c.content) == "<dir>")
        boost::filesystem::create_directory(at("f.bin"));
    else if (c.content)
        writeFile("f.bin", c.content);
    gametool::EventSet sink;
    StarterWorker worker(&sink, sandbox.work().wstring());

    EXPECT_EQ(worker.fileNeedsUpdate(L"f.bin", c.expected), c.needsUpdate);
    const std::string log = sandbox.log();
    if (c.logged.empty())
        EXPECT_EQ(log, "");
    else
        EXPECT_NE(log.find(c.logged), std::string::npos) << log;
}

std::string upper(std::string text)
{
    for (char& ch : text)
        ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    return text;
}

const NeedCase kNeedCases[] = {
    {"Missing", nullptr, sha1Of(""), true, "f.bin 不存在，加入更新列表"},
    {"Directory", "<dir>", sha1Of(""), true, "f.bin 不存在，加入更新列表"},
    {"Current", "abc", sha1Of("abc"), false, ""},
    {"Differs", "abd", sha1Of("abc"), true,
     "f.bin " + sha1Of("abd") + " 校验失败，加入更新列表:服务器sha1:" + sha1Of("abc")},
    {"UpperCaseDigestNeverMatches", "abc", upper(sha1Of("abc")), true, "校验失败"},
    {"EmptyDigestNeverMatches", "", "", true, "校验失败"},
};

INSTANTIATE_TEST_SUITE_P(Local, FileNeedsUpdateTest, testing::ValuesIn(kNeedCases),
                         [](const testing::TestParamInfo<NeedCase>& info) { return info.param.label; });

TEST(LocalCollectPending, KeysByNameAndTotalsEveryDifferingNode)
{
    Sandbox sandbox;
    writeFile("game/current.dll", "same");
    writeFile("launcher_info.cfg",
              launcherInfo("        host h\n", "game",
                           fileNode("dup.dll", "first", sha1Of("x"), 5) +
                               fileNode("dup.dll", "second", sha1Of("x"), 7) +
                               fileNode("current.dll", "c", sha1Of("same"), 100) + fileNode("", "", "", 11)));
    gametool::EventSet sink;
    StarterWorker worker(&sink, sandbox.work().wstring());
    ASSERT_TRUE(worker.readLauncherInfo("launcher_info.cfg"));

    worker.collectPendingFiles();
    ASSERT_EQ(worker.pending().size(), 2u);
    EXPECT_EQ(worker.pending().at("dup.dll").file->path, "first");
    EXPECT_EQ(worker.pending().at("").file->size, 11u);  // an empty name is the directory itself
    EXPECT_EQ(worker.totalBytes(), 5u + 7u + 11u);
    EXPECT_EQ(worker.receivedBytes(), 0u);

    // Entries stay pending across passes, even when their file has become current.
    writeFile("game/dup.dll", "x");
    worker.collectPendingFiles();
    EXPECT_EQ(worker.pending().size(), 2u);
    EXPECT_EQ(worker.totalBytes(), 11u);
}

TEST(LocalWorker, StartsWithDirectoriesAndDefaults)
{
    Sandbox sandbox;
    gametool::EventSet sink;
    StarterWorker worker(&sink, sandbox.work().wstring());
    EXPECT_TRUE(boost::filesystem::is_directory(at("Log")));
    EXPECT_TRUE(boost::filesystem::is_directory(at("updater")));
    EXPECT_EQ(worker.updaterName(), "updater/Updater.exe");
    EXPECT_FALSE(worker.selfUpdatePending());
    EXPECT_TRUE(worker.pending().empty());
}

TEST(LocalWorker, ListenerCallsBecomeEventsAndLogLines)
{
    Sandbox sandbox;
    RecordingEventSet sink;
    StarterWorker worker(&sink, sandbox.work().wstring());
    worker.onBytesReceived(10);
    worker.onBytesReceived(5);
    worker.onMessage("a message");
    worker.onDownloadComplete("first", "second");

    EXPECT_EQ(sink.sequence(), "B(15)");
    EXPECT_EQ(worker.receivedBytes(), 15u);
    EXPECT_EQ(sandbox.log(), "a message\n下载完成 second first\n");
}

struct StopCase {
    const char* label;
    std::function<void()> duringWait;
    std::string events;
    std::string logged;
};
void PrintTo(const StopCase& c, std::ostream* os)
{
    *os << c.label;
}

class RunStopTest : public testing::TestWithParam<StopCase> {};

// With no version server to try, the first check fails at once and the loop waits.
TEST_P(RunStopTest, AnInterruptionIsSilentAnErrorFinishesWithOne)
{
    Sandbox sandbox;
    RecordingEventSet sink;
    StarterWorker worker(&sink, sandbox.work().wstring());
    worker.setBuiltInHosts({});
    worker.setSleeper([&](std::chrono::milliseconds) { GetParam().duringWait(); });

    worker.run();
    EXPECT_EQ(sink.sequence(), GetParam().events);
    EXPECT_EQ(sandbox.log(), "没有可用版本服务器\n" + GetParam().logged);
}

INSTANTIATE_TEST_SUITE_P(Local, RunStopTest,
                         testing::Values(StopCase{"Interrupted", [] { throw boost::thread_interrupted(); },
                                                  "", ""},
                                         StopCase{"Error", [] { throw std::runtime_error("wait failed"); },
                                                  "F(1)", "wait failed\n"}),
                         [](const testing::TestParamInfo<StopCase>& info) { return info.param.label; });

}  // namespace
