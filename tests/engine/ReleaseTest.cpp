// Signed releases end to end, in both builds: our version server delivers, the
// publisher's tool signs (natively, also for the Windows program under wine), the
// worker checks. A refused delivery leaves the installation byte for byte as it was.

#include "engine/StarterWorker.h"
#include "support/SignedRelease.h"
#include "tests/common/Network.h"
#include "tests/engine/EngineTestSupport.h"

#include <boost/filesystem/directory.hpp>
#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace fs = boost::filesystem;
using fixtures::ChildProcess;
using fixtures::inPrivateNetwork;
using fixtures::kNoNamespace;
using fixtures::nativePath;
using fixtures::publishProgram;
using fixtures::replaced;

namespace {

const std::int64_t kDay = 24 * 60 * 60;

// Every file below `dir` with its content, the log left out.
std::map<std::string, std::string> snapshot(const fs::path& dir)
{
    std::map<std::string, std::string> files;
    for (fs::recursive_directory_iterator it(dir), end; it != end; ++it) {
        const std::string name = it->path().lexically_relative(dir).generic_string();
        if (name == "Log") {
            it.disable_recursion_pending();
            continue;
        }
        if (fs::is_regular_file(it->path()))
            files[name] = readFile(it->path());
    }
    return files;
}

class ReleaseFixture {
public:
    ReleaseFixture()
        : served_(sandbox_.root() / "served"), keys_(sandbox_.root() / "keys"), www_(sandbox_.root() / "www")
    {
        fs::create_directories(served_);
        fs::create_directories(www_);
        fs::create_directories(keys_);
        writeFile("test.cfg", "starter_cfg_host 127.0.0.1\n");
        writeFile(served_ / "launcher_info.cfg",
                  "updater_name updater/Updater.exe\n"
                  "updater\n{\n    host_list\n    {\n        host 127.0.0.1\n    }\n"
                  "    save_dir game\n    file_list\n    {\n    }\n}\n");
        for (const char* pair : {"publisher", "stranger"})
            tool({"keygen", "--private", key(pair, "private"), "--public", key(pair, "public")});
        server_.reset(new VersionServer(served_));
    }

    bool ready() const { return server_->ready() && fs::exists(keys_ / "stranger-public.pem"); }

    // launcher-publish with `arguments`; its output.
    std::string tool(std::vector<std::string> arguments)
    {
        arguments.insert(arguments.begin(), publishProgram());
        const fs::path output = sandbox_.root() / "tool-output.txt";
        ChildProcess process(arguments, output);
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (process.running() && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return readFile(output);
    }

    std::string key(const std::string& pair, const std::string& half) const
    {
        return nativePath(keys_ / (pair + "-" + half + ".pem"));
    }

    // The server's files of one release, listed and signed.
    void publish(const std::string& generation, const std::string& release,
                 const std::string& signer = "publisher", const std::string& days = "30")
    {
        writeFile(served_ / "a.dat", "alpha " + generation);
        writeFile(served_ / "b.dat", "beta " + generation);
        manifest();
        const std::string output =
            tool({"sign", nativePath(served_), "--key", key(signer, "private"), "--release", release,
                  "--valid-days", days, "--http-dir", nativePath(www_)});
        EXPECT_NE(std::string::npos, output.find("release " + release)) << output;
    }

    void manifest()
    {
        tool({"manifest", nativePath(served_), "--place", "b.dat=updater", "--place",
              "launcher_info.cfg=updater"});
    }

    // One whole run of a fresh worker trusting `trusted` key pairs; its result code.
    int run(bool withKey = true, std::int64_t clockAhead = 0,
            std::vector<std::string> trusted = {"publisher"})
    {
        RecordingEventSet sink;
        StarterWorker worker(&sink, sandbox_.work().wstring());
        worker.setSleeper([this](std::chrono::milliseconds) { ++waits; });
        std::string keys;
        for (const std::string& pair : trusted)
            keys += readFile(keys_ / (pair + "-public.pem"));
        worker.setReleaseKey(withKey ? keys : std::string());
        if (clockAhead)
            worker.setUtcClock([clockAhead] {
                return std::chrono::duration_cast<std::chrono::seconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count() +
                       clockAhead;
            });
        worker.run();
        const std::string events = sink.sequence();
        const std::size_t finished = events.rfind("F(");
        return finished == std::string::npos ? -1 : std::stoi(events.substr(finished + 2));
    }

    // One file of the download host, listed in launcher_info.cfg with `listed`'s digest and size.
    void listHttpFile(const std::string& name, const std::string& listed)
    {
        writeFile(served_ / "launcher_info.cfg",
                  launcherInfo("        host 127.0.0.1\n", "game",
                               fileNode(name, name, sha1Of(listed), listed.size())));
    }

    const fs::path& served() const { return served_; }
    const fs::path& www() const { return www_; }
    std::string log() const { return sandbox_.log(); }
    int waits = 0;

private:
    Sandbox sandbox_;
    fs::path served_;
    fs::path keys_;
    fs::path www_;
    std::unique_ptr<VersionServer> server_;
};

struct HostileCase {
    const char* name;
    std::function<void(ReleaseFixture&)> spoil;  // after release 6 was signed
    const char* reason;
    std::int64_t clockAhead;
};

void PrintTo(const HostileCase& c, std::ostream* out)
{
    *out << c.name;
}

// A fresh installation beside a running version server and two key pairs;
// skipped where the native programs cannot run.
class SignedRelease : public testing::Test {
protected:
    void SetUp() override
    {
        if (!inPrivateNetwork() || !ChildProcess::supported())
            GTEST_SKIP() << kNoNamespace;
        fixture_.reset(new ReleaseFixture);
        ASSERT_TRUE(fixture_->ready());
    }

    std::unique_ptr<ReleaseFixture> fixture_;
};

class HostileRelease : public SignedRelease, public testing::WithParamInterface<HostileCase> {};

TEST_P(HostileRelease, IsRefusedAndInstallsNothing)
{
    ReleaseFixture& f = *fixture_;
    f.publish("1", "5");
    ASSERT_EQ(0, f.run());
    const std::map<std::string, std::string> before = snapshot(at("."));
    ASSERT_EQ("5\n", before.at("updater/accepted_release.txt"));

    f.publish("2", "6");
    GetParam().spoil(f);
    EXPECT_EQ(1, f.run(true, GetParam().clockAhead));
    EXPECT_NE(std::string::npos, f.log().find(std::string("发布签名无效: ") + GetParam().reason)) << f.log();
    EXPECT_EQ(before, snapshot(at(".")));
    EXPECT_EQ(0, f.waits) << "a refused release is not asked for again";
}

INSTANTIATE_TEST_SUITE_P(
    Rows, HostileRelease,
    testing::Values(
        HostileCase{"tampered_file",
                    [](ReleaseFixture& f) { writeFile(f.served() / "a.dat", "alpha 2, changed"); },
                    "文件不符 a.dat", 0},
        HostileCase{"tampered_signature",
                    [](ReleaseFixture& f) {
                        const fs::path sig = f.served() / "release.sig";
                        writeFile(sig, replaced(readFile(sig), "release 6", "release 7"));
                    },
                    "签名不符", 0},
        HostileCase{"signed_by_another_key", [](ReleaseFixture& f) { f.publish("2", "6", "stranger"); },
                    "签名不符", 0},
        HostileCase{"replayed_older_release", [](ReleaseFixture& f) { f.publish("0", "4"); },
                    "发布编号 4 低于已接受的 5", 0},
        HostileCase{"expired", [](ReleaseFixture& f) { f.publish("2", "6", "publisher", "1"); }, "发布已过期",
                    2 * kDay},
        HostileCase{"missing_signature", [](ReleaseFixture& f) { fs::remove(f.served() / "release.sig"); },
                    "无法取得release.sig", 0},
        HostileCase{"unlisted_file",
                    [](ReleaseFixture& f) {
                        writeFile(f.served() / "c.dat", "not signed");
                        f.manifest();
                    },
                    "文件不符 files.cfg", 0},
        // Release 6's signature over release 5's files: every one is "current".
        HostileCase{"lagging_mirror",
                    [](ReleaseFixture& f) {
                        writeFile(f.served() / "a.dat", "alpha 1");
                        writeFile(f.served() / "b.dat", "beta 1");
                    },
                    "文件不符 a.dat", 0},
        // Endless replies stand refused by their announced length, before a byte is read.
        HostileCase{"endless_file",
                    [](ReleaseFixture& f) { writeFile(f.served() / "b.dat", std::string(3 << 20, 'b')); },
                    "文件不符 b.dat", 0},
        HostileCase{"endless_manifest",
                    [](ReleaseFixture& f) {
                        writeFile(f.served() / "files.cfg",
                                  readFile(f.served() / "files.cfg") + std::string(3 << 20, ' '));
                    },
                    "文件不符 files.cfg", 0},
        HostileCase{"endless_signature",
                    [](ReleaseFixture& f) {
                        writeFile(f.served() / "release.sig", std::string(kMaxReleaseText + 1, 's'));
                    },
                    "无法取得release.sig", 0}),
    [](const testing::TestParamInfo<HostileCase>& info) { return std::string(info.param.name); });

TEST_F(SignedRelease, IsInstalledAndItsNumberRemembered)
{
    ReleaseFixture& f = *fixture_;
    f.publish("1", "5");
    ASSERT_EQ(0, f.run());
    f.publish("2", "6");
    ASSERT_EQ(0, f.run());
    EXPECT_EQ("alpha 2", readFile("a.dat"));
    EXPECT_EQ("beta 2", readFile("updater/b.dat"));
    EXPECT_EQ(readFile(f.served() / "release.sig"), readFile("updater/release.sig"));
    EXPECT_EQ("6\n", readFile("updater/accepted_release.txt"));
    EXPECT_EQ(std::string::npos, f.log().find("发布签名无效")) << f.log();
}

TEST_F(SignedRelease, NextKeyIsTrustedBesideTheCurrentOneAndARetiredKeyIsNot)
{
    ReleaseFixture& f = *fixture_;
    f.publish("1", "5", "stranger");
    ASSERT_EQ(0, f.run(true, 0, {"publisher", "stranger"})) << f.log();
    const std::map<std::string, std::string> before = snapshot(at("."));
    // The publisher's key retired: a starter built without it refuses what it signs.
    f.publish("2", "6", "publisher");
    EXPECT_EQ(1, f.run(true, 0, {"stranger"}));
    EXPECT_NE(std::string::npos, f.log().find("发布签名无效: 签名不符")) << f.log();
    EXPECT_EQ(before, snapshot(at(".")));
}

// SHA-1 alone can be forged: a download whose SHA-1 matches launcher_info.cfg
// still has to match the size and SHA-256 that the release signed.
TEST_F(SignedRelease, DownloadMustMatchItsSignedSha256)
{
    ReleaseFixture& f = *fixture_;
    WebServer web(f.www());
    ASSERT_TRUE(web.ready());
    writeFile(f.www() / "c.dat", "gamma 1");
    f.listHttpFile("c.dat", "gamma 1");
    f.publish("1", "5");
    ASSERT_EQ(0, f.run()) << f.log();
    ASSERT_EQ("gamma 1", readFile("game/c.dat"));

    // Stands in for a collision: listed by its SHA-1, signed by another content's SHA-256.
    f.listHttpFile("c.dat", "gamma X");
    writeFile(f.www() / "c.dat", "gamma 2");
    f.publish("2", "6");
    writeFile(f.www() / "c.dat", "gamma X");
    EXPECT_EQ(1, f.run());
    EXPECT_NE(std::string::npos, f.log().find("发布签名无效: 文件不符 http:c.dat")) << f.log();
    EXPECT_EQ("gamma 1", readFile("game/c.dat"));
    EXPECT_FALSE(fs::exists(at("game/c.dat.tmp")));
}

// A damaged copy of a large file is mended by the blocks it lacks, from the
// block index the release signed; the host sends far less than the file. An
// index the signature does not list is not used: the signed whole file comes.
class SignedBlocks : public SignedRelease, public testing::WithParamInterface<bool> {};

TEST_P(SignedBlocks, DamagedCopyIsRepairedOnlyByBlocksOfASignedIndex)
{
    const bool indexSigned = GetParam();
    ReleaseFixture& f = *fixture_;
    WebServer web(f.www());
    ASSERT_TRUE(web.ready());
    const std::string content = fixtures::randomBytes(3 << 20, 5);
    writeFile(f.www() / "c.dat", content);
    const std::string report = f.tool({"delta", nativePath(f.www())});
    const std::string indexPath = report.substr(report.find("delta/"), 32);
    const std::string index = readFile(f.www() / indexPath);
    f.listHttpFile("c.dat", content);
    const fs::path info = f.served() / "launcher_info.cfg";
    writeFile(info, withDeltaIndex(readFile(info), indexPath, index));
    // The block index the delta index names, left out of the signature.
    const std::size_t blocksEnd = index.find(".blocks") + 7;
    const std::size_t blocksStart = index.rfind("delta/", blocksEnd);
    const std::string blocksPath = index.substr(blocksStart, blocksEnd - blocksStart);
    const std::string blocks = readFile(f.www() / blocksPath);
    if (!indexSigned)
        fs::remove(f.www() / blocksPath);
    f.publish("1", "5");
    writeFile(f.www() / blocksPath, blocks);
    std::string damaged = content;
    damaged.replace((1 << 20) + 100, 4096, std::string(4096, 'd'));
    writeFile("game/c.dat", damaged);

    ASSERT_EQ(0, f.run()) << f.log();
    EXPECT_EQ(content, readFile("game/c.dat"));
    EXPECT_EQ(indexSigned, f.log().find("块同步:c.dat") != std::string::npos) << f.log();
    EXPECT_EQ(!indexSigned, f.log().find("块索引未列在发布签名中") != std::string::npos) << f.log();
    EXPECT_EQ(indexSigned, web.bytesSent(1) < 64u * 1024);
}

INSTANTIATE_TEST_SUITE_P(Rows, SignedBlocks, testing::Bool());

TEST_F(SignedRelease, StarterWithoutKeyIgnoresTheSignature)
{
    ReleaseFixture& f = *fixture_;
    f.publish("2", "6", "stranger");
    writeFile(f.served() / "a.dat", "alpha 2, changed");
    ASSERT_EQ(0, f.run(false));
    EXPECT_EQ("alpha 2, changed", readFile("a.dat"));
    EXPECT_EQ(readFile(f.served() / "release.sig"), readFile("updater/release.sig"));
    EXPECT_FALSE(fs::exists(at("updater/accepted_release.txt")));
    EXPECT_EQ(std::string::npos, f.log().find("发布签名无效")) << f.log();
}

}  // namespace

// A patch in a signed release: the index and the patch are files of the host
// that the release signs. An index altered after signing (its SHA-1 in
// launcher_info.cfg made to match, as an attacker on the host could not do for
// the signature) is refused with one line, and the signed whole file comes.
class SignedPatch : public SignedRelease, public testing::WithParamInterface<bool> {};

TEST_P(SignedPatch, IsUsedOnlyWhenTheIndexIsSigned)
{
    const bool altered = GetParam();
    ReleaseFixture& f = *fixture_;
    WebServer web(f.www());
    ASSERT_TRUE(web.ready());
    const std::string before = fixtures::randomBytes(64 * 1024, 7);
    std::string after = before;
    after.replace(500, 20, std::string(20, 'z'));
    writeFile(f.www() / "c.dat", before);
    f.listHttpFile("c.dat", before);
    f.publish("1", "5");
    ASSERT_EQ(0, f.run()) << f.log();

    const fs::path old = f.www().parent_path() / "old-www";
    fs::create_directories(old);
    fs::copy_file(f.www() / "c.dat", old / "c.dat");
    writeFile(f.www() / "c.dat", after);
    f.tool({"delta", nativePath(f.www()), "--from", nativePath(old)});
    fs::path index;
    for (const fs::directory_entry& entry : fs::directory_iterator(f.www() / "delta")) {
        if (entry.path().extension() == ".cfg")
            index = entry.path();
    }
    ASSERT_FALSE(index.empty());
    const std::string signedText = readFile(index);
    const std::string listedText = altered ? signedText + "\n" : signedText;
    f.listHttpFile("c.dat", after);
    writeFile(f.served() / "launcher_info.cfg",
              withDeltaIndex(readFile(f.served() / "launcher_info.cfg"), "delta/" + index.filename().string(),
                             listedText.size(), sha1Of(listedText)));
    f.publish("2", "6");
    writeFile(index, listedText);

    EXPECT_EQ(0, f.run()) << f.log();
    EXPECT_EQ(after, readFile("game/c.dat"));
    EXPECT_NE(std::string::npos, f.log().find(altered ? "补丁索引不可用" : "使用补丁:")) << f.log();
    const std::vector<std::string> requests = web.requests(1);
    EXPECT_EQ(std::count(requests.begin(), requests.end(), "/c.dat"), altered ? 2 : 1) << f.log();
}

INSTANTIATE_TEST_SUITE_P(Rows, SignedPatch, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "AlteredIndex" : "SignedIndex");
                         });
