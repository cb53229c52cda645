// One update check against our version server: where files go, what is refused,
// and the deletion list it delivers.

#include "tests/common/Network.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/HostileNames.h"

#include "platform/Platform.h"

#include <boost/filesystem/operations.hpp>

#include <cstdlib>

namespace fs = boost::filesystem;

namespace {

class NetUpdateCheck : public NetEngineTest {
protected:
    NetUpdateCheck() { useVersionServerFromTestConfig(); }
};

TEST_F(NetUpdateCheck, ManifestReportedCurrentIsReadFromTheLocalCopy)
{
    const std::string manifest = "a.txt \"\"\n";
    serve("files.cfg", manifest);
    serve("a.txt", "A");
    writeFile("updater/files.cfg", manifest);
    startVersionServer();

    EXPECT_TRUE(worker.runUpdateCheck());
    EXPECT_EQ(readFile("a.txt"), "A");
    EXPECT_EQ(readFile("updater/files.cfg"), manifest);
}

TEST_F(NetUpdateCheck, BrokenUserLocaleDoesNotStopTheRead)
{
    serve("files.cfg", "a.txt \"\"\n");
    serve("a.txt", "A");
    startVersionServer();
    ::setenv("LC_ALL", "xx_XX.no-such-charset", 1);
    const bool checked = worker.runUpdateCheck();
    ::unsetenv("LC_ALL");

    EXPECT_TRUE(checked);
    EXPECT_EQ(readFile("a.txt"), "A");
}

TEST_F(NetUpdateCheck, PlacesFilesByKeyOrderAndDirectory)
{
    // The later of two equal keys wins; "public" is the platform directory, "Public" is not.
    // Two keys for one place: the later one is asked with the digest of what the earlier one put there.
    serve("files.cfg",
          "a.dll \"\"\nB.dll \"\"\ntwice.txt dir1\ntwice.txt dir2\np.txt public\nq.txt Public\n"
          "shared.txt sub\nsub/shared.txt \"\"\n");
    for (const char* name : {"a.dll", "B.dll", "twice.txt", "p.txt", "q.txt", "shared.txt", "sub/shared.txt"})
        serve(name, name);
    writeFile("sub/shared.txt", "sub/shared.txt");
    VersionServer& server = startVersionServer();

    EXPECT_TRUE(worker.runUpdateCheck());
    EXPECT_EQ(readFile("dir2/twice.txt"), "twice.txt");
    EXPECT_FALSE(fs::exists(at("dir1")));
    EXPECT_EQ(readFile(worker.settings().isWow64 ? "x64/p.txt" : "win32/p.txt"), "p.txt");
    EXPECT_EQ(readFile("Public/q.txt"), "q.txt");
    EXPECT_EQ(readFile("sub/shared.txt"), "sub/shared.txt");
    EXPECT_EQ(0, server.stop());  // its request lines are all out once it has ended
    const std::string requests = server.output();
    EXPECT_NE(requests.find("B.dll"), std::string::npos) << requests;
    EXPECT_LT(requests.find("B.dll"), requests.find("a.dll")) << requests;
}

TEST_F(NetUpdateCheck, DirectoryStartingWithTwoDotsIsReportedNotShown)
{
    // The file utilities refuse such a directory; the engine reports it and the UI decides.
    serve("files.cfg", "v.txt \"..x\"\n");
    serve("v.txt", "v");
    startVersionServer();
    std::vector<std::wstring> boxes;
    platform::MessageBoxHandler previous = platform::setMessageBoxHandler(
        [&boxes](const std::wstring& text, const std::wstring&, unsigned) { boxes.push_back(text); });
    worker.runUpdateCheck();
    platform::setMessageBoxHandler(previous);

    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(sink.sequence(), "R");
    EXPECT_FALSE(fs::exists(at("..x")));
}

struct LauncherCase {
    const char* label;
    const char* key;
    const char* local;   // the running Launcher.exe; nullptr for none
    const char* link;    // a hard link to it, or nullptr
    bool selfUpdate;     // stored as Launcher.exe.tmp
    const char* landed;  // where the new file is found otherwise, or nullptr
};
void PrintTo(const LauncherCase& c, std::ostream* os)
{
    *os << c.label;
}

class NetSelfUpdate : public NetUpdateCheck, public testing::WithParamInterface<LauncherCase> {};

TEST_P(NetSelfUpdate, NewStarterGoesBesideTheRunningOne)
{
    const LauncherCase& c = GetParam();
    serve("files.cfg", std::string(c.key) + " \"\"\n");
    serve(c.key, "new");
    if (c.local)
        writeFile("Launcher.exe", c.local);
    if (c.link)
        fs::create_hard_link(at("Launcher.exe"), at(c.link));
    startVersionServer();

    EXPECT_TRUE(worker.runUpdateCheck());
    if (c.local) {
        EXPECT_EQ(readFile("Launcher.exe"), c.local);
    }
    EXPECT_EQ(fs::exists(at("Launcher.exe.tmp")), c.selfUpdate);
    if (c.selfUpdate) {
        EXPECT_EQ(readFile("Launcher.exe.tmp"), "new");
    }
    EXPECT_EQ(worker.settings().selfUpdatePending, c.selfUpdate);
    if (c.landed) {
        EXPECT_EQ(readFile(c.landed), "new");
    }
}

// The file system here tells letter cases apart: "launcher.exe" beside the
// starter is another file, and only the same file by identity counts.
INSTANTIATE_TEST_SUITE_P(
    Net, NetSelfUpdate,
    testing::Values(LauncherCase{"Differs", "Launcher.exe", "old", nullptr, true, nullptr},
                    LauncherCase{"Current", "Launcher.exe", "new", nullptr, false, nullptr},
                    LauncherCase{"OtherCaseWithoutStarter", "LAUNCHER.exe", nullptr, nullptr, true, nullptr},
                    LauncherCase{"HardLinkToStarter", "alias.exe", "old", "alias.exe", true, nullptr},
                    LauncherCase{"OtherFileInOtherCase", "launcher.exe", "old", nullptr, false,
                                 "launcher.exe"}),
    [](const testing::TestParamInfo<LauncherCase>& info) { return info.param.label; });

TEST_F(NetUpdateCheck, FailedFileDoesNotStopTheOthers)
{
    serve("files.cfg", "a.txt \"\"\nmissing.txt \"\"\nz.txt \"\"\n");
    serve("a.txt", "A");
    serve("z.txt", "Z");
    startVersionServer();

    EXPECT_FALSE(worker.runUpdateCheck());
    EXPECT_EQ(readFile("a.txt"), "A");
    EXPECT_EQ(readFile("z.txt"), "Z");
}

struct OrderCase {
    const char* label;
    bool allAskedFirst;  // the server reads every request before it answers one
    int oversizedAt;     // the file whose reply announces more than a starter takes; -1: none
};
void PrintTo(const OrderCase& c, std::ostream* os)
{
    *os << c.label;
}

class NetReplyOrder : public NetUpdateCheck, public testing::WithParamInterface<OrderCase> {};

// Requests go out ahead of their replies, which come in the order asked; a reply
// that fails takes the ones after it away with the connection.
TEST_P(NetReplyOrder, EachReplyGoesToItsOwnFile)
{
    const OrderCase c = GetParam();
    const int files = 20;
    const auto name = [](int i) { return "f" + std::to_string(100 + i) + ".txt"; };
    std::string manifest;
    for (int i = 0; i < files; ++i)
        manifest += name(i) + " \"\"\n";
    const std::string oversized = c.oversizedAt < 0 ? "" : name(c.oversizedAt);
    fixtures::ScriptedServer server("127.0.0.1", 7455, [=](fixtures::Peer& peer) {
        peer.read(4);
        fixtures::readVersionRequest(peer);
        peer.write(fixtures::versionReply(manifest));
        std::vector<std::string> asked;
        for (int i = 0; i < files; ++i) {
            asked.push_back(fixtures::readVersionRequest(peer));
            if (c.allAskedFirst && i + 1 < files)
                continue;
            for (const std::string& text : asked) {
                const std::string file = text.substr(0, text.find(':'));
                peer.write(file == oversized ? "\x0a" + fixtures::be32(0) + fixtures::be32(0xFFFFFFFF)
                                             : fixtures::versionReply(file));
            }
            asked.clear();
        }
        peer.waitForClose();
    });

    EXPECT_EQ(worker.runUpdateCheck(), c.oversizedAt < 0);
    for (int i = 0; i < files; ++i) {
        if (c.oversizedAt < 0 || i < c.oversizedAt)
            EXPECT_EQ(readFile(name(i)), name(i));
        else
            EXPECT_FALSE(fs::exists(at(name(i)))) << name(i);
    }
    EXPECT_EQ(sandbox.log().find("write: "), std::string::npos) << sandbox.log();
}

INSTANTIATE_TEST_SUITE_P(Net, NetReplyOrder,
                         testing::Values(OrderCase{"Sequential", false, -1},
                                         OrderCase{"AllAskedFirst", true, -1},
                                         OrderCase{"OversizedReplyEndsTheCheck", true, 5}),
                         [](const testing::TestParamInfo<OrderCase>& info) { return info.param.label; });

TEST_F(NetUpdateCheck, IncludeInTheManifestFailsTheCheck)
{
    serve("files.cfg", "a.txt \"\"\n  #include \"local.info\"\n");
    serve("a.txt", "A");
    writeFile("local.info", "b.txt \"\"\n");
    startVersionServer();

    EXPECT_FALSE(worker.runUpdateCheck());
    EXPECT_FALSE(fs::exists(at("a.txt")));
    EXPECT_NE(sandbox.log().find("服务器文件包含不允许的指令: files.cfg"), std::string::npos);
}

struct RefusedCase {
    const char* label;
    std::string key;  // as written in INFO text
    std::string
        value;  // as written in INFO text; "<outside>" is an absolute directory beside the work directory
    std::string logged;
};
void PrintTo(const RefusedCase& c, std::ostream* os)
{
    *os << c.label;
}

class NetRefusedPath : public NetUpdateCheck, public testing::WithParamInterface<RefusedCase> {};

TEST_P(NetRefusedPath, IsNeitherRequestedNorWritten)
{
    const RefusedCase& c = GetParam();
    const std::string outside = (sandbox.root() / "outside").string();
    const std::string value = c.value == "<outside>" ? "\"" + outside + "\"" : c.value;
    serve("files.cfg", c.key + " " + value + "\nok.txt \"\"\n");
    serve("ok.txt", "ok");
    serve("v.txt", "v");
    VersionServer& server = startVersionServer();

    EXPECT_TRUE(worker.runUpdateCheck());
    EXPECT_EQ(readFile("ok.txt"), "ok");
    EXPECT_NE(sandbox.log().find("文件路径不安全，已忽略: " + c.logged + "\n"), std::string::npos)
        << sandbox.log();
    EXPECT_EQ(0, server.stop());  // its request lines are all out once it has ended
    EXPECT_EQ(server.output().find("v.txt"), std::string::npos);
    EXPECT_FALSE(fs::exists(sandbox.root() / "v.txt"));
    EXPECT_FALSE(fs::exists(outside));
}

INSTANTIATE_TEST_SUITE_P(Net, NetRefusedPath,
                         testing::Values(RefusedCase{"AbsoluteKey", "\"/v.txt\"", "\"\"", "/v.txt"},
                                         RefusedCase{"BackslashKey", "\"\\\\v.txt\"", "\"\"", "\\v.txt"},
                                         RefusedCase{"DriveKey", "\"C:v.txt\"", "\"\"", "C:v.txt"},
                                         RefusedCase{"UncKey", "\"\\\\\\\\srv\\\\share\\\\v.txt\"", "\"\"",
                                                     "\\\\srv\\share\\v.txt"},
                                         RefusedCase{"ClimbingKey", "\"sub/../../v.txt\"", "\"\"",
                                                     "sub/../../v.txt"},
                                         RefusedCase{"WorkingDirectoryKey", "\".\"", "\"\"", "."},
                                         RefusedCase{"AbsoluteValue", "v.txt", "<outside>", "v.txt"},
                                         RefusedCase{"ClimbingValue", "v.txt", "\"..\"", "v.txt"},
                                         RefusedCase{"DriveValue", "v.txt", "\"C:\\\\\"", "v.txt"},
                                         RefusedCase{"WorkingDirectoryValue", "v.txt", "\".\"", "v.txt"}),
                         [](const testing::TestParamInfo<RefusedCase>& info) { return info.param.label; });

class NetHostileName : public NetUpdateCheck, public testing::WithParamInterface<hostile::Name> {};

// The name as a manifest key and as a manifest value (the directory of another key).
TEST_P(NetHostileName, ManifestKeyAndValueAreSkippedOrStayInside)
{
    const std::string name = hostile::infoQuoted(GetParam().bytes);
    serve("files.cfg", name + " \"\"\nv.txt " + name + "\nok.txt \"\"\n");
    serve("ok.txt", "ok");
    serve("v.txt", "v");
    startVersionServer();
    const hostile::Canary canary(sandbox.work());

    worker.runUpdateCheck();
    EXPECT_EQ(readFile("ok.txt"), "ok");
    EXPECT_EQ("", canary.damage());
    if (!hostile::refusedHere(GetParam()))
        return;
    for (const std::string& key : {GetParam().bytes, std::string("v.txt")})
        EXPECT_NE(sandbox.log().find("文件路径不安全，已忽略: " + key + "\n"), std::string::npos)
            << sandbox.log();
}

INSTANTIATE_TEST_SUITE_P(Table, NetHostileName, testing::ValuesIn(hostile::names()), hostile::label);

class NetDeletionList : public NetUpdateCheck {
protected:
    NetDeletionList()
    {
        serve("files.cfg", "delete_config.txt \"\"\n");
        startVersionServer();
    }
    // Delivers a new list and runs one check. Each list differs in size, so that
    // no cache can take it for the one before.
    void deliver(const std::string& list)
    {
        serve("delete_config.txt", list + ";" + std::string(++delivered, '-') + "\n");
        ASSERT_TRUE(worker.runUpdateCheck());
    }
    int delivered = 0;
    std::string recordedStamp(const std::string& key)
    {
        const std::string record = readFile("updater/file_delete_record.txt");
        const std::size_t at = record.find(key + " ");
        return at == std::string::npos ? "" : record.substr(at + key.size() + 1, 15);
    }
};

TEST_F(NetDeletionList, ActsOncePerTimeStamp)
{
    writeFile("old.dll", "old");
    writeFile("always.dll", "x");
    deliver("old.dll 20170301_000000\nalways.dll \"\"\n");
    EXPECT_FALSE(fs::exists(at("old.dll")));
    EXPECT_FALSE(fs::exists(at("always.dll")));
    const std::string stamp = recordedStamp("old.dll");
    ASSERT_EQ(stamp.size(), 15u);
    EXPECT_EQ(recordedStamp("always.dll"), "");
    // The list took its place once its deletions were done; nothing is left beside it.
    EXPECT_EQ(readFile("updater/delete_config.txt"), "old.dll 20170301_000000\nalways.dll \"\"\n;-\n");
    EXPECT_FALSE(fs::exists(at("updater/delete_config.txt.part")));
    EXPECT_FALSE(fs::exists(at("updater/file_delete_record.txt.part")));

    // The same list again is reported current and not acted on.
    writeFile("old.dll", "reinstalled");
    writeFile("always.dll", "x");
    ASSERT_TRUE(worker.runUpdateCheck());
    EXPECT_TRUE(fs::exists(at("old.dll")));
    EXPECT_TRUE(fs::exists(at("always.dll")));

    // A new list: an older stamp is skipped, an empty one acts every time, and
    // the record is left as it was.
    const fs::path record = at("updater/file_delete_record.txt");
    fs::last_write_time(record, 1000000000);
    deliver("old.dll 20000101_000000\nalways.dll \"\"\n");
    EXPECT_TRUE(fs::exists(at("old.dll")));
    EXPECT_FALSE(fs::exists(at("always.dll")));
    EXPECT_EQ(fs::last_write_time(record), 1000000000);

    // The recorded stamp itself counts as not older.
    deliver("old.dll " + stamp + "\n");
    EXPECT_FALSE(fs::exists(at("old.dll")));
}

TEST_F(NetDeletionList, RemovesDirectoriesWholeAndStaysInside)
{
    writeFile("retired/sub/file.txt", "x");
    writeFile(sandbox.root() / "linked/keep.txt", "keep");
    fs::create_symlink(sandbox.root() / "linked", at("retired/link"));
    writeFile(sandbox.root() / "outside.txt", "keep");
    deliver("retired 20170301_000000\n\"../outside.txt\" 20170301_000000\n");

    EXPECT_FALSE(fs::exists(at("retired")));
    EXPECT_EQ(readFile(sandbox.root() / "linked/keep.txt"), "keep");
    EXPECT_EQ(readFile(sandbox.root() / "outside.txt"), "keep");
}

}  // namespace
