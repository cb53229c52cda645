// Download passes against nginx: verification, packages, order and hosts.

#include "tests/engine/EngineTestSupport.h"
#include "engine/DownloadPass.h"
#include "support/BlockIndex.h"
#include "support/DeltaIndex.h"
#include "support/SignedRelease.h"
#include "tests/common/Network.h"
#include "tools/launcher-publish/Delta.h"

#include <boost/filesystem/operations.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>

namespace fs = boost::filesystem;

namespace {

class NetInstallation : public NetEngineTest {
protected:
    NetInstallation() { startWebServer(); }

    // Configures one group in "game" on the given hosts and compares it.
    void configure(const std::string& files, const std::string& hosts = "        host 127.0.0.1\n",
                   int concurrentDownloads = 8)
    {
        std::string text = launcherInfo(hosts, "game", files);
        text.insert(text.find("    save_dir"),
                    "    concurrent_downloads " + std::to_string(concurrentDownloads) + "\n");
        writeFile("launcher_info.cfg", text);
        ASSERT_TRUE(worker.readLauncherInfo("launcher_info.cfg"));
        worker.collectPendingFiles();
    }

    // One file on host 1, with the delta index `indexText` published and named
    // (its SHA-1 given as `indexSha1` when not its own).
    void configureWithDeltaIndex(const std::string& fileNodeText, const std::string& indexText,
                                 std::string indexSha1 = std::string())
    {
        const std::string path = "delta/index-0123456789abcdef.cfg";
        publish(1, path, indexText);
        const std::string text = withDeltaIndex(
            launcherInfo("        host 127.0.0.1\n", "game", fileNodeText), path, indexText, indexSha1);
        writeFile("launcher_info.cfg", text);
        ASSERT_TRUE(worker.readLauncherInfo("launcher_info.cfg"));
        worker.collectPendingFiles();
    }
};

TEST_F(NetInstallation, PackageIsUnpackedIntoSaveDirAndKept)
{
    const std::string package = fixtures::packageBytes({{"bin/x.dll", "x"}, {"readme.txt", "read me"}});
    publish(1, "pack.quiv", package);
    configure(fileNode("pack.quiv", "pack.quiv", sha1Of(package), package.size()));

    EXPECT_TRUE(worker.downloadAndInstall());
    EXPECT_EQ(readFile("game/bin/x.dll"), "x");
    EXPECT_EQ(readFile("game/readme.txt"), "read me");
    EXPECT_EQ(readFile("game/pack.quiv"), package);
    worker.collectPendingFiles();
    EXPECT_TRUE(worker.pending().empty());
}

TEST_F(NetInstallation, EmptyFileIsMadeWithoutARequestAndThenCurrent)
{
    configure(fileNode("sub/empty.txt", "sub/empty.txt", sha1Of(""), 0));
    EXPECT_TRUE(worker.downloadAndInstall());
    EXPECT_TRUE(fs::is_regular_file(at("game/sub/empty.txt")));
    EXPECT_EQ(fs::file_size(at("game/sub/empty.txt")), 0u);
    EXPECT_TRUE(webServer->requests(1).empty());
    worker.collectPendingFiles();
    EXPECT_TRUE(worker.pending().empty());
}

TEST_F(NetInstallation, UpperCaseExtensionIsAPlainFile)
{
    const std::string package = fixtures::packageBytes({{"x.dll", "x"}});
    publish(1, "PACK.QUIV", package);
    configure(fileNode("PACK.QUIV", "PACK.QUIV", sha1Of(package), package.size()));

    EXPECT_TRUE(worker.downloadAndInstall());
    EXPECT_EQ(readFile("game/PACK.QUIV"), package);
    EXPECT_FALSE(fs::exists(at("game/x.dll")));
}

// A size of 0 (missing or not a number in launcher_info.cfg) is only an unknown
// progress total: the host's is taken, and the digest decides.
TEST_F(NetInstallation, ConfiguredSizeOfZeroTakesTheHostsSize)
{
    publish(1, "z.bin", "0123456789");
    configure(fileNode("z.bin", "z.bin", sha1Of("0123456789"), 0));

    EXPECT_TRUE(worker.downloadAndInstall());
    EXPECT_EQ(readFile("game/z.bin"), "0123456789");
}

enum class Local { OldFile, Directory };

struct FailedCase {
    const char* label;
    const char* name;
    std::string served;
    std::string expectedSha1;
    Local local;
    bool stillPending;  // tried again in the next pass
    bool tempKept;      // the verified content waits for the next try
    std::string logged;
    int configuredLess = 0;  // the configuration's size is this much below the served one
};
void PrintTo(const FailedCase& c, std::ostream* os)
{
    *os << c.label;
}

class NetFailedInstall : public NetInstallation, public testing::WithParamInterface<FailedCase> {};

// Whatever fails, the local file is the old one: nothing unverified or half
// unpacked takes its place.
TEST_P(NetFailedInstall, LeavesTheLocalFileAsItWas)
{
    const FailedCase& c = GetParam();
    const fs::path local = at(fs::path("game") / c.name);
    if (c.local == Local::Directory)
        fs::create_directories(local);
    else
        writeFile(local.string(), "old");
    publish(1, c.name, c.served);
    configure(fileNode(c.name, c.name, c.expectedSha1, c.served.size() - c.configuredLess));

    EXPECT_EQ(!c.stillPending, worker.downloadAndInstall());
    EXPECT_EQ(c.stillPending, worker.pending().count(c.name) == 1);
    if (c.local == Local::Directory) {
        EXPECT_TRUE(fs::is_directory(local));
    } else {
        EXPECT_EQ(readFile(local.string()), "old");
    }
    const std::string temp = local.string() + ".tmp";
    EXPECT_EQ(c.tempKept, fs::exists(temp));
    if (c.tempKept) {
        EXPECT_EQ(readFile(temp), c.served);
    }
    EXPECT_NE(sandbox.log().find(c.logged), std::string::npos) << sandbox.log();

    // The next pass takes the kept content without asking the server again, or
    // leaves out a file that cannot be written.
    worker.collectPendingFiles();
    EXPECT_EQ(c.stillPending, worker.pending().count(c.name) == 1);
    worker.downloadAndInstall();
    EXPECT_EQ(webServer->requests(1).size(), c.tempKept ? 1u : 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Net, NetFailedInstall,
    testing::Values(
        FailedCase{"DigestMismatch", "f.bin", "wrong", sha1Of("right"), Local::OldFile, true, false,
                   "下载文件校验失败:game/f.bin " + sha1Of("wrong") + " " + sha1Of("right") + "\n"},
        FailedCase{"UnpackFails", "bad.quiv", "not a package", sha1Of("not a package"), Local::OldFile, true,
                   true, "解压文件失败: game/bad.quiv\n"},
        FailedCase{"DirectoryInItsPlace", "d.bin", "new", sha1Of("new"), Local::Directory, false, true,
                   "保存下载文件失败:game/d.bin "},
        // Refused before a byte is written, however long the host would go on.
        FailedCase{"TotalOtherThanConfigured", "t.bin", "sixteen bytes...", sha1Of("sixteen bytes..."),
                   Local::OldFile, true, false,
                   "服务器返回的文件尺寸不符: 16 12 文件:t.bin 服务器:127.0.0.1\n", 4}),
    [](const testing::TestParamInfo<FailedCase>& info) { return info.param.label; });

// The downloads of a pass share one buffer: a long file followed by short ones
// must arrive byte for byte, each verified and installed.
TEST_F(NetInstallation, PassOverManyFilesInstallsEachOfThem)
{
    std::string files;
    std::vector<std::pair<std::string, std::string>> published;
    for (int i = 0; i < 120; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "f%03d.bin", i);
        // Byte order puts every long file before short ones.
        const std::size_t size = i % 10 == 0 ? 300 * 1024 + std::size_t(i) : std::size_t(i % 7) * 100 + 1;
        std::string content(size, '\0');
        for (std::size_t at = 0; at < size; ++at)
            content[at] = static_cast<char>('a' + (at * 31 + std::size_t(i)) % 26);
        publish(1, name, content);
        files += fileNode(name, name, sha1Of(content), content.size());
        published.emplace_back(name, content);
    }
    configure(files);
    ASSERT_EQ(worker.pending().size(), published.size());

    EXPECT_TRUE(worker.downloadAndInstall());
    for (const auto& file : published)
        EXPECT_EQ(readFile(fs::path("game") / file.first), file.second) << file.first;
    worker.collectPendingFiles();
    EXPECT_TRUE(worker.pending().empty());
}

// One download at a time, as configured: the order is the names' byte order.
TEST_F(NetInstallation, FetchesInByteOrderFirstHostFirstUntilItIsSetAside)
{
    for (const char* name : {"b.txt", "a.txt", "B.txt", "c.txt"})
        publish(2, name, name);
    configure(
        fileNode("b.txt", "b.txt", sha1Of("b.txt"), 5) + fileNode("a.txt", "a.txt", sha1Of("a.txt"), 5) +
            fileNode("B.txt", "B.txt", sha1Of("B.txt"), 5) + fileNode("c.txt", "c.txt", sha1Of("c.txt"), 5),
        "        host 127.0.0.1\n        host 127.0.0.2\n", 1);

    EXPECT_TRUE(worker.downloadAndInstall());
    EXPECT_EQ(webServer->requests(1), (std::vector<std::string>{"/B.txt", "/a.txt", "/b.txt"}));
    EXPECT_EQ(webServer->requests(2), (std::vector<std::string>{"/B.txt", "/a.txt", "/b.txt", "/c.txt"}));
    EXPECT_TRUE(worker.pending().empty());
    EXPECT_NE(sandbox.log().find("服务器多次下载失败，本次运行不再使用: 127.0.0.1\n"), std::string::npos);
}

// Parts kept from an older release fail their check once continued: each is
// fetched again from its start from the same host, which is not blamed for it.
TEST_F(NetInstallation, StaleKeptPartsBlameNoHost)
{
    std::string files;
    for (const std::string name : {"a.bin", "b.bin", "c.bin"}) {
        const std::string content = name + " of the new release";
        publish(1, name, content);
        publish(2, name, content);
        writeFile("game/" + name + ".tmp", "old");
        files += fileNode(name, name, sha1Of(content), content.size());
    }
    configure(files, "        host 127.0.0.1\n        host 127.0.0.2\n", 1);

    EXPECT_TRUE(worker.downloadAndInstall());
    EXPECT_EQ(readFile("game/c.bin"), "c.bin of the new release");
    EXPECT_EQ(webServer->requests(1).size(), 6u);
    EXPECT_TRUE(webServer->requests(2).empty());
    EXPECT_EQ(sandbox.log().find("本次运行不再使用"), std::string::npos) << sandbox.log();
}

// A configured size of 0 (missing or unreadable) leaves the size to the host;
// the digest decides. A package never writes over a file the group configures.
TEST_F(NetInstallation, UnknownSizeAndAPackageOverAConfiguredFile)
{
    const std::string package = fixtures::packageBytes({{"a.txt", "from the package"}, {"b.txt", "b"}});
    publish(1, "pack.quiv", package);
    publish(1, "a.txt", "configured");
    configure(fileNode("a.txt", "a.txt", sha1Of("configured"), 0) +
                  fileNode("pack.quiv", "pack.quiv", sha1Of(package), package.size()),
              "        host 127.0.0.1\n", 1);

    EXPECT_TRUE(worker.downloadAndInstall());
    EXPECT_EQ(readFile("game/a.txt"), "configured");
    EXPECT_EQ(readFile("game/b.txt"), "b");
    EXPECT_LE(worker.totals().receivedBytes, worker.totals().totalBytes);
    worker.collectPendingFiles();
    EXPECT_TRUE(worker.pending().empty());
}

struct SickHostCase {
    const char* label;
    const char* reply;  // what 127.0.0.3 answers before it holds the connection open
    std::string logged;
};
class NetSickHost : public NetInstallation, public testing::WithParamInterface<SickHostCase> {};

// A stalled part is continued from the next host: it belongs to the file.
TEST_P(NetSickHost, NextHostInstallsTheFile)
{
    const SickHostCase& c = GetParam();
    fixtures::ScriptedServer sick("127.0.0.3", 80, [&c](fixtures::Peer& peer) {
        peer.readUntil("\r\n\r\n");
        peer.write(c.reply);
        peer.waitForClose();
    });
    worker.setTransferDeadline(std::chrono::milliseconds(300), 1000000);
    publish(1, "f.bin", "0123456789");
    configure(fileNode("f.bin", "f.bin", sha1Of("0123456789"), 10),
              "        host 127.0.0.3\n        host 127.0.0.1\n");

    EXPECT_TRUE(worker.downloadAndInstall());
    EXPECT_EQ(readFile("game/f.bin"), "0123456789");
    EXPECT_EQ(webServer->requests(1), std::vector<std::string>{"/f.bin"});
    const std::string log = sandbox.log();
    EXPECT_NE(log.find(c.logged + "\n"), std::string::npos) << log;
    EXPECT_NE(log.find("下载失败，换下一个服务器: 127.0.0.3\n"), std::string::npos) << log;
    // Bytes discarded with the sick host's copy do not count again.
    EXPECT_EQ(worker.totals().receivedBytes, 10u);
}

// Files under "slow/" trickle (the web server's fixture): the small ones pass it
// by on the other connections, and the progress counts every byte once.
TEST_F(NetInstallation, SlowFileHoldsNoOtherBack)
{
    const std::string slow(48 * 1024, 's');
    publish(1, "slow/0.bin", slow);
    std::string files = fileNode("0.bin", "slow/0.bin", sha1Of(slow), slow.size());
    std::uint64_t total = slow.size();
    for (int i = 1; i <= 20; ++i) {
        const std::string name = std::to_string(i) + ".txt";
        publish(1, name, name);
        files += fileNode(name, name, sha1Of(name), name.size());
        total += name.size();
    }
    configure(files);

    EXPECT_TRUE(worker.downloadAndInstall());
    EXPECT_EQ(readFile("game/0.bin"), slow);
    const std::vector<std::string> finished = webServer->requests(1);
    ASSERT_EQ(finished.size(), 21u);
    // Only the file asked for behind it on its connection may wait for it.
    EXPECT_GE(std::find(finished.begin(), finished.end(), "/slow/0.bin") - finished.begin(), 19);
    EXPECT_EQ(worker.totals().receivedBytes, total);
}

#define RANGE_REPLY(range) "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " range "\r\n\r\n"
INSTANTIATE_TEST_SUITE_P(
    Net, NetSickHost,
    testing::Values(SickHostCase{"Status500", "HTTP/1.1 500 Internal Server Error\r\n\r\n",
                                 "解析头部信息失败 文件:f.bin 服务器:127.0.0.3"},
                    SickHostCase{"StallsMidBody", RANGE_REPLY("0-9/10") "01234",
                                 "传输过慢，已中断: 文件:f.bin 服务器:127.0.0.3"},
                    SickHostCase{
                        "WrongBytes", RANGE_REPLY("0-9/10") "9876543210",
                        "下载文件校验失败:game/f.bin " + sha1Of("9876543210") + " " + sha1Of("0123456789")},
                    SickHostCase{"WrongTotal", RANGE_REPLY("0-11/12") "0123456789ab",
                                 "服务器返回的文件尺寸不符: 12 10 文件:f.bin 服务器:127.0.0.3"}),
    [](const testing::TestParamInfo<SickHostCase>& info) { return info.param.label; });

}  // namespace

// A file synced by blocks from what is local, against nginx: the bytes the host
// sent, the result, and the fallback to the whole file.
struct BlockCase {
    const char* label;
    std::function<std::string(const std::string& fresh)> local;  // the local copy, from the new file
    std::uint64_t mostSent;                                      // by the host, index included
    bool hostDamaged;  // the host's file differs from its index in a missing range
    std::string logged;
    bool partLeft = false;  // a sync was cut short before
};
class NetBlockSync : public NetInstallation, public testing::WithParamInterface<BlockCase> {};

TEST_P(NetBlockSync, BuildsTheNewFileFromLocalBlocksOrFallsBack)
{
    const BlockCase& c = GetParam();
    const std::string fresh = fixtures::randomBytes(4 << 20, 1);
    const std::string old = c.local(fresh);
    publish(1, "pack.bin", fresh);
    std::string index, reason;
    ASSERT_TRUE(buildBlockIndex((sandbox.root() / "http/www1/pack.bin").wstring(), index, reason)) << reason;
    publish(1, "delta/f.blocks", index);
    if (c.hostDamaged)
        publish(1, "pack.bin",
                fixtures::replaced(fresh, fresh.substr(7 * 411 * 1024 + 5100, 64), std::string(64, 'x')));
    writeFile(at("game/pack.bin"), old);
    // What a sync cut short left is started afresh.
    if (c.partLeft)
        writeFile(at("game/pack.bin.part"), old.substr(0, 2 << 20));
    // Its digest is for a keyed starter, which takes it from the release's signature.
    DeltaIndex delta;
    delta.files["pack.bin"] = DeltaFile{
        fresh.size(), sha1Of(fresh), {}, DeltaPiece{"delta/f.blocks", index.size(), std::string(64, '0')}};
    configureWithDeltaIndex(fileNode("pack.bin", "pack.bin", sha1Of(fresh), fresh.size()),
                            deltaIndexText(delta));
    const std::uint64_t indexSent = webServer->bytesSent(1);
    EXPECT_EQ(!c.hostDamaged, worker.downloadAndInstall());
    EXPECT_FALSE(fs::exists(at("game/pack.bin.part")));
    // The bar ends at its total; a host that sends wrong bytes costs the whole
    // file, whose check fails too.
    EXPECT_TRUE(c.hostDamaged || worker.totals().totalBytes == worker.totals().receivedBytes);
    EXPECT_TRUE(fixtures::hasContent(at("game/pack.bin"), c.hostDamaged ? old : fresh));
    EXPECT_LE(webServer->bytesSent(1) - indexSent, c.mostSent);
    EXPECT_NE(sandbox.log().find(c.logged), std::string::npos) << sandbox.log();
}

std::string damaged(std::string content)
{
    for (std::size_t at = 0; at < 10; ++at)
        content.replace(at * 411 * 1024 + 5000, 4096, std::string(4096, char(at)));
    return content;
}

INSTANTIATE_TEST_SUITE_P(
    Net, NetBlockSync,
    testing::Values(BlockCase{"ScatteredDamage", damaged, 120 * 1024, false, "块同步:pack.bin 本地"},
                    BlockCase{"AfterACutShortSync", damaged, 120 * 1024, false, "块同步:pack.bin 本地", true},
                    // Deletions, insertions and changes: the content after each has moved.
                    BlockCase{"TwoReleasesOld",
                              [](const std::string& fresh) {
                                  std::string old = fresh;
                                  old.erase(3 << 19, 7000);
                                  old.insert(5 << 19, fixtures::randomBytes(30000, 2));
                                  old.replace(1 << 19, 20000, fixtures::randomBytes(20000, 3));
                                  return old.substr(4096);
                              },
                              80 * 1024, false, "块同步:pack.bin 本地"},
                    BlockCase{"AnotherFileEntirely",
                              [](const std::string&) { return fixtures::randomBytes(4 << 20, 4); },
                              (4 << 20) + 64 * 1024, false,
                              "块同步:本地可用的块太少，下载整个文件: 文件:pack.bin 服务器:127.0.0.1"},
                    BlockCase{"TruncatedCopy",
                              [](const std::string& fresh) { return fresh.substr(0, (2 << 20) + 100); },
                              (2 << 20) + 16 * 1024, false, "块同步:pack.bin 本地2097152字节"},
                    BlockCase{"HostSendsWrongBytes", damaged, 2 * (4 << 20), true,
                              "块同步失败，下载整个文件: 文件:pack.bin 服务器:127.0.0.1 结果校验失败"}),
    [](const testing::TestParamInfo<BlockCase>& info) { return info.param.label; });

// Patches from the player's copy. A failing one costs one log line and the
// whole file; the host has none at first, so the pass fails, which shows the
// player's copy intact meanwhile and the patch not asked for again.
struct PatchCase {
    const char* label;
    enum Fault {
        None,
        PartKept,
        StalePart,
        LocalMatchesNone,
        WrongSha256,
        WrongResult,
        PastSize,
        IndexDigest
    } fault;
    int patchRequests;
    const char* logged;
    bool package = false;
};

class NetPatch : public NetInstallation, public testing::WithParamInterface<PatchCase> {};

TEST_P(NetPatch, PatchOrWholeFile)
{
    const PatchCase& c = GetParam();
    const std::string name = c.package ? "pack.quiv" : "f.bin", local = "game/" + name;
    std::string oldContent = fixtures::randomBytes(64 * 1024, 1), newContent = oldContent;
    newContent.replace(1000, 100, std::string(100, 'n'));
    if (c.package) {
        oldContent = fixtures::packageBytes({{"a.txt", oldContent}, {"b.txt", "b"}});
        newContent = fixtures::packageBytes({{"a.txt", newContent}, {"b.txt", "b"}});
    }
    const fs::path www = sandbox.root() / "http" / "www1";
    fs::create_directories(www / "delta");
    writeFile(www / "old", oldContent);
    writeFile(www / "new", c.fault == PatchCase::WrongResult ? "x" + newContent.substr(1)
                           : c.fault == PatchCase::PastSize  ? newContent + "more"
                                                             : newContent);
    publish::writePatch(www / "old", www / "new", www / "delta/p.patch");
    ReleaseFile patch;
    ASSERT_TRUE(fileSha256((www / "delta/p.patch").wstring(), patch));
    if (c.fault == PatchCase::WrongSha256)
        patch.sha256[0] = patch.sha256[0] == '0' ? '1' : '0';
    DeltaIndex index;
    index.files[name] = DeltaFile{
        newContent.size(),
        sha1Of(newContent),
        {DeltaPatch{sha1Of(oldContent), oldContent.size(), {"delta/p.patch", patch.size, patch.sha256}}},
        boost::none};
    const std::string indexText = deltaIndexText(index);
    publish(1, "delta/index-0.cfg", indexText);

    writeFile(local, c.fault == PatchCase::LocalMatchesNone ? oldContent + "x" : oldContent);
    const std::string patchBytes = readFile(www / "delta/p.patch");
    // Left by a killed run: part of this patch, part of another, or what the whole file clears.
    if (c.fault == PatchCase::PartKept || c.fault == PatchCase::StalePart)
        writeFile(local + ".patch.tmp", c.fault == PatchCase::PartKept
                                            ? patchBytes.substr(0, patchBytes.size() / 2)
                                            : std::string(patchBytes.size() / 2, 's'));
    if (c.fault == PatchCase::LocalMatchesNone) {
        writeFile(local + ".patch.tmp", "left");
        writeFile(local + ".part", "left");
    }
    const bool patches = c.fault <= PatchCase::StalePart;
    if (patches)
        publish(1, name, newContent);
    const std::string indexSha1 = sha1Of(c.fault == PatchCase::IndexDigest ? "x" : indexText);
    writeFile("launcher_info.cfg",
              withDeltaIndex(launcherInfo("        host 127.0.0.1\n", "game",
                                          fileNode(name, name, sha1Of(newContent), newContent.size())),
                             "delta/index-0.cfg", indexText.size(), indexSha1));
    ASSERT_TRUE(worker.readLauncherInfo("launcher_info.cfg"));
    worker.collectPendingFiles();
    EXPECT_EQ(worker.totals().totalBytes, c.patchRequests > 0 ? patch.size : newContent.size());

    if (!patches) {
        EXPECT_FALSE(worker.downloadAndInstall());
        EXPECT_EQ(readFile(local), c.fault == PatchCase::LocalMatchesNone ? oldContent + "x" : oldContent);
        publish(1, name, newContent);
        worker.collectPendingFiles();
        EXPECT_EQ(worker.totals().totalBytes, newContent.size());
    }
    EXPECT_TRUE(worker.downloadAndInstall());
    EXPECT_EQ(readFile(local), newContent);
    EXPECT_EQ(fs::exists(at("game/a.txt")), c.package);
    for (const std::string& leftover :
         {local + ".patch.tmp", local + ".part", std::string("updater/delta_index.cfg.tmp")})
        EXPECT_FALSE(fs::exists(at(leftover))) << leftover;
    const std::vector<std::string> requests = webServer->requests(1);
    EXPECT_EQ(std::count(requests.begin(), requests.end(), "/delta/p.patch"), c.patchRequests);
    EXPECT_EQ(std::count(requests.begin(), requests.end(), "/" + name), patches ? 0 : 2);
    EXPECT_NE(sandbox.log().find(c.logged), std::string::npos) << sandbox.log();
}

INSTANTIATE_TEST_SUITE_P(
    Net, NetPatch,
    testing::Values(PatchCase{"Patched", PatchCase::None, 1, "使用补丁:"},
                    PatchCase{"PackagePatchedAndUnpacked", PatchCase::None, 1, "使用补丁:", true},
                    PatchCase{"KilledRunsPatchPartContinued", PatchCase::PartKept, 1, "使用补丁:"},
                    PatchCase{"StalePatchPartFetchedAfresh", PatchCase::StalePart, 2, "使用补丁:"},
                    PatchCase{"LocalCopyMatchesNoPatch", PatchCase::LocalMatchesNone, 0, "校验失败"},
                    PatchCase{"PatchFailsItsSha256", PatchCase::WrongSha256, 1, "补丁校验失败"},
                    PatchCase{"ResultHasTheWrongDigest", PatchCase::WrongResult, 1, "补丁结果校验失败"},
                    PatchCase{"WritesPastTheListedSize", PatchCase::PastSize, 1, "补丁不可用"},
                    PatchCase{"IndexFailsItsDigest", PatchCase::IndexDigest, 0, "补丁索引不可用"}),
    [](const testing::TestParamInfo<PatchCase>& info) { return std::string(info.param.label); });
