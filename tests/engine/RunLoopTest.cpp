// Whole runs of the worker: the events that come out, and the bounds of its retries.

#include "tests/engine/EngineTestSupport.h"
#include "tests/common/Network.h"

#include <boost/filesystem/directory.hpp>
#include <boost/filesystem/operations.hpp>

#include <algorithm>
#include <cstdlib>
#include <thread>

namespace fs = boost::filesystem;

namespace {

const std::string kHost = "        host 127.0.0.1\n";

class NetRunLoop : public NetEngineTest {
protected:
    NetRunLoop()
    {
        useVersionServerFromTestConfig();
        serve("files.cfg", "; nothing listed\n");
    }
};

TEST_F(NetRunLoop, NothingPendingFinishesAtOnceOnTheWorkersThread)
{
    startVersionServer();
    writeFile("game/a.txt", "current");
    writeFile("launcher_info.cfg",
              launcherInfo(kHost, "game", fileNode("a.txt", "a.txt", sha1Of("current"), 7)));

    worker.start();
    worker.join();
    EXPECT_EQ(sink.sequence(), "F(0)");
    EXPECT_NE(sink.lastThread(), std::this_thread::get_id());
    EXPECT_TRUE(waits.empty());
}

TEST_F(NetRunLoop, PassReportsItsTotalThenEveryPiece)
{
    startVersionServer();
    startWebServer();
    const std::string small(3000, 's');
    const std::string large(300000, 'L');
    publish(1, "small.bin", small);
    publish(1, "large.bin", large);
    writeFile("launcher_info.cfg",
              launcherInfo(kHost, "game",
                           fileNode("small.bin", "small.bin", sha1Of(small), small.size()) +
                               fileNode("large.bin", "large.bin", sha1Of(large), large.size())));

    worker.run();
    EXPECT_EQ(sink.sequence(), "P(0,303000) B(303000) F(0)");
    EXPECT_TRUE(readFile("game/small.bin") == small);
    EXPECT_TRUE(readFile("game/large.bin") == large);
    EXPECT_EQ(worker.totals().receivedBytes, 303000u);
}

class NetBadConfiguration : public NetRunLoop, public testing::WithParamInterface<std::string> {};

TEST_P(NetBadConfiguration, FinishesWithOneAfterCheckAndPruning)
{
    startVersionServer();
    if (!GetParam().empty())
        writeFile("launcher_info.cfg", GetParam());
    for (int i = 10; i < 22; ++i)
        writeFile("Log/20000101_0000" + std::to_string(i) + ".txt", "old");

    worker.run();
    EXPECT_EQ(sink.sequence(), "F(1)");
    EXPECT_TRUE(fs::is_regular_file(at("updater/files.cfg")));
    int logs = 0;
    for (fs::directory_iterator it(at("Log")); it != fs::directory_iterator(); ++it)
        ++logs;
    EXPECT_EQ(logs, 10);
}

INSTANTIATE_TEST_SUITE_P(Net, NetBadConfiguration,
                         testing::Values("", "gameclient_path x\n", launcherInfo("", "", ""),
                                         "updater_name u\nupdater { host_list { host h } }\n"));

struct DownCase {
    const char* label;
    bool testConfig;  // a test.cfg names the server, else the built-in hosts are tried
    // files.cfg of a server that is reached but answers wrongly; none is started without one.
    const char* manifest = nullptr;
};
void PrintTo(const DownCase& c, std::ostream* os)
{
    *os << c.label;
}

class NetServersDown : public NetEngineTest, public testing::WithParamInterface<DownCase> {};

// 2 says that no server could be reached; one that answered wrongly is a failed update.
TEST_P(NetServersDown, GivesUpAfterTenChecksWithGrowingPauses)
{
    if (GetParam().testConfig)
        useVersionServerFromTestConfig();
    worker.setBuiltInHosts({"127.0.0.1", "127.0.0.2"});
    if (GetParam().manifest) {
        serve("files.cfg", GetParam().manifest);
        startVersionServer();
    }

    worker.run();
    EXPECT_EQ(sink.sequence(), GetParam().manifest ? "F(1)" : "F(2)");
    EXPECT_EQ(waits, (std::vector<long long>{1000, 2000, 4000, 8000, 16000, 30000, 30000, 30000, 30000}));
    const std::string log = sandbox.log();
    std::size_t noServer = 0;
    for (std::size_t at = log.find("没有可用版本服务器"); at != std::string::npos;
         at = log.find("没有可用版本服务器", at + 1))
        ++noServer;
    EXPECT_EQ(noServer, GetParam().testConfig || GetParam().manifest ? 0u : 10u);
}

INSTANTIATE_TEST_SUITE_P(Net, NetServersDown,
                         testing::Values(DownCase{"TestConfigHost", true}, DownCase{"BuiltInHosts", false},
                                         DownCase{"ListedFileMissing", true, "missing.txt \"\"\n"},
                                         DownCase{"ManifestMalformed", false, "{ unbalanced\n"}),
                         [](const testing::TestParamInfo<DownCase>& info) { return info.param.label; });

// A built-in server that was reached but answered wrongly is not asked first again.
TEST_F(NetEngineTest, CheckAfterABadReplyStartsWithTheOtherBuiltInHost)
{
    fixtures::ScriptedServer sick("127.0.0.1", 7455, [](fixtures::Peer& peer) { peer.write("garbage"); });
    worker.setBuiltInHosts({"127.0.0.1", "127.0.0.2"});
    serve("files.cfg", "; nothing listed\n");
    versionServer.reset(new VersionServer(sandbox.root() / "served", {}, "127.0.0.2"));
    writeFile("launcher_info.cfg", launcherInfo(kHost, "", ""));

    worker.run();
    EXPECT_EQ(sink.sequence(), "F(0)");
    EXPECT_EQ(waits, std::vector<long long>{1000});
}

TEST_F(NetRunLoop, FailedPassesRetryWhatIsLeftThenGiveUp)
{
    startVersionServer();
    WebServer& web = startWebServer();
    const std::string good(1000, 'g');
    publish(1, "good.bin", good);
    publish(1, "bad.bin", std::string(500, 'x'));
    writeFile("launcher_info.cfg", launcherInfo(kHost, "game",
                                                fileNode("good.bin", "good.bin", sha1Of(good), 1000) +
                                                    fileNode("bad.bin", "bad.bin", sha1Of("expected"), 500)));

    worker.run();
    std::string expected = "P(0,1500) B(1500)";
    for (int pass = 2; pass <= StarterWorker::kMaxFailedPasses; ++pass)
        expected += " P(0,500) B(500)";
    EXPECT_EQ(sink.sequence(), expected + " F(1)");
    EXPECT_EQ(waits, std::vector<long long>(StarterWorker::kMaxFailedPasses - 1, 1000));
    const std::vector<std::string> requests = web.requests(1);
    EXPECT_EQ(std::count(requests.begin(), requests.end(), "/good.bin"), 1);
    EXPECT_EQ(std::count(requests.begin(), requests.end(), "/bad.bin"), StarterWorker::kMaxFailedPasses);
}

// A file that cannot be written here is no reason to ask the server again: the
// others are installed, and the run ends with 1, not with "server unreachable".
TEST_F(NetRunLoop, FileThatCannotBeWrittenEndsTheRunWithOneAfterTheOthers)
{
    serve("files.cfg", "a.txt \"\"\nheld.txt \"\"\n");
    serve("a.txt", "A");
    serve("held.txt", "new");
    fs::create_directories(at("held.txt"));
    VersionServer& server = startVersionServer();
    startWebServer();
    publish(1, "g.bin", "game");
    fs::create_directories(at("game/blocked.bin"));
    publish(1, "blocked.bin", "blocked");
    writeFile("launcher_info.cfg",
              launcherInfo(kHost, "game",
                           fileNode("g.bin", "g.bin", sha1Of("game"), 4) +
                               fileNode("blocked.bin", "blocked.bin", sha1Of("blocked"), 7)));

    worker.run();
    EXPECT_EQ(sink.sequence(), "P(0,11) B(11) F(1)");
    EXPECT_EQ(readFile("a.txt"), "A");
    EXPECT_EQ(readFile("game/g.bin"), "game");
    EXPECT_TRUE(fs::is_directory(at("held.txt")));
    EXPECT_TRUE(fs::is_directory(at("game/blocked.bin")));
    EXPECT_TRUE(waits.empty());
    EXPECT_EQ(0, server.stop());  // its request lines are all out once it has ended
    const std::string requests = server.output();
    EXPECT_NE(requests.find("held.txt"), std::string::npos) << requests;
    EXPECT_EQ(requests.find("held.txt"), requests.rfind("held.txt")) << requests;
    EXPECT_NE(sandbox.log().find("打开文件失败: held.txt "), std::string::npos) << sandbox.log();
    EXPECT_NE(sandbox.log().find("保存下载文件失败:game/blocked.bin "), std::string::npos) << sandbox.log();
}

// A volume with room for a file but not for it twice: the part kept from an
// interrupted run already holds its share, and the run continues it.
TEST_F(NetRunLoop, AKeptPartNeedsNoRoomTwice)
{
    const fs::path small = sandbox.root() / "small";
    fs::create_directories(small);
    const std::string mountPoint = small.string();
    if (std::system(("mount -t tmpfs -o size=512k tmpfs '" + mountPoint + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "no tmpfs can be mounted here (no private mount namespace)";
    struct Unmount {
        std::string at;
        ~Unmount() { (void)std::system(("umount '" + at + "'").c_str()); }
    } unmount{mountPoint};
    startVersionServer();
    startWebServer();
    std::string content(400 * 1024, '\0');
    for (std::size_t at = 0; at < content.size(); ++at)
        content[at] = static_cast<char>('a' + at * 7 % 26);
    publish(1, "f.bin", content);
    writeFile(small / "test.cfg", "starter_cfg_host 127.0.0.1\n");
    writeFile(small / "launcher_info.cfg",
              launcherInfo(kHost, "", fileNode("f.bin", "f.bin", sha1Of(content), content.size())));
    writeFile(small / "f.bin.tmp", content.substr(0, 300 * 1024));

    RecordingEventSet smallSink;
    StarterWorker onSmall(&smallSink, small.wstring());
    onSmall.setSleeper([](std::chrono::milliseconds) {});
    onSmall.run();
    EXPECT_EQ(smallSink.sequence(), "P(0,409600) B(102400) F(0)");
    EXPECT_TRUE(readFile(small / "f.bin") == content);
    EXPECT_FALSE(fs::exists(small / "f.bin.tmp"));
}

TEST_F(NetRunLoop, ExceptionInAPhaseIsLoggedAndFinishesWithOne)
{
    startVersionServer();
    writeFile("launcher_info.cfg", launcherInfo(kHost, "", fileNode("a.txt", "a.txt", sha1Of("a"), 1)));
    sink.throwOnKind = UpdateEvent::Progress;

    worker.run();
    EXPECT_EQ(sink.sequence(), "P(0,1) F(1)");
    EXPECT_NE(sandbox.log().find("sink refused\n"), std::string::npos);
}

struct ChoiceCase {
    const char* label;
    std::string deliveredPrefix;  // text put before the delivered configuration ("" delivers none)
    bool directoryInUpdater;
    std::string finished;
    std::string updaterName;
};
void PrintTo(const ChoiceCase& c, std::ostream* os)
{
    *os << c.label;
}

class NetConfigurationChoice : public NetRunLoop, public testing::WithParamInterface<ChoiceCase> {};

TEST_P(NetConfigurationChoice, DeliveredCopyWinsUnlessItIsNoFile)
{
    const ChoiceCase& c = GetParam();
    writeFile("launcher_info.cfg", launcherInfo(kHost, "", "", "local.exe"));
    writeFile("included.info", "updater_name included.exe\n");
    if (!c.deliveredPrefix.empty()) {
        serve("files.cfg", "launcher_info.cfg updater\n");
        serve("launcher_info.cfg", c.deliveredPrefix + launcherInfo(kHost, "", "", "delivered.exe"));
    }
    if (c.directoryInUpdater)
        fs::create_directories(at("updater/launcher_info.cfg"));
    startVersionServer();

    worker.run();
    EXPECT_EQ(sink.sequence(), c.finished);
    EXPECT_EQ(worker.settings().updaterName, c.updaterName);
}

INSTANTIATE_TEST_SUITE_P(Net, NetConfigurationChoice,
                         testing::Values(ChoiceCase{"Delivered", "\n", false, "F(0)", "delivered.exe"},
                                         ChoiceCase{"DirectoryIgnored", "", true, "F(0)", "local.exe"},
                                         ChoiceCase{"DeliveredWithInclude", "#include \"included.info\"\n",
                                                    false, "F(1)", "updater/Updater.exe"}),
                         [](const testing::TestParamInfo<ChoiceCase>& info) { return info.param.label; });

}  // namespace
