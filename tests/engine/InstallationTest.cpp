// Download passes against nginx: verification, packages, order and hosts.

#include "tests/engine/NetTestSupport.h"

#include <boost/filesystem/operations.hpp>

#include <cstdio>

namespace fs = boost::filesystem;

namespace {

class NetInstallation : public NetEngineTest {
protected:
    NetInstallation() { startWebServer(); }

    // Configures one group in "game" on the given hosts and compares it.
    void configure(const std::string& files, const std::string& hosts = "        host 127.0.0.1\n")
    {
        writeFile("launcher_info.cfg", launcherInfo(hosts, "game", files));
        ASSERT_TRUE(worker.readLauncherInfo("launcher_info.cfg"));
        worker.collectPendingFiles();
    }
};

TEST_F(NetInstallation, PackageIsUnpackedIntoSaveDirAndKept)
{
    const std::string package = makePackage({{"bin/x.dll", "x"}, {"readme.txt", "read me"}});
    publish(1, "pack.quiv", package);
    configure(fileNode("pack.quiv", "pack.quiv", sha1Of(package), package.size()));

    EXPECT_TRUE(worker.downloadAndInstall());
    EXPECT_EQ(readFile("game/bin/x.dll"), "x");
    EXPECT_EQ(readFile("game/readme.txt"), "read me");
    EXPECT_EQ(readFile("game/pack.quiv"), package);
    worker.collectPendingFiles();
    EXPECT_TRUE(worker.pending().empty());
}

TEST_F(NetInstallation, UpperCaseExtensionIsAPlainFile)
{
    const std::string package = makePackage({{"x.dll", "x"}});
    publish(1, "PACK.QUIV", package);
    configure(fileNode("PACK.QUIV", "PACK.QUIV", sha1Of(package), package.size()));

    EXPECT_TRUE(worker.downloadAndInstall());
    EXPECT_EQ(readFile("game/PACK.QUIV"), package);
    EXPECT_FALSE(fs::exists("game/x.dll"));
}

struct KeptCase {
    const char* label;
    const char* name;
    std::string served;
    std::string expectedSha1;
    std::string logged;
};
void PrintTo(const KeptCase& c, std::ostream* os) { *os << c.label; }

class NetKeptEntry : public NetInstallation, public testing::WithParamInterface<KeptCase> {};

TEST_P(NetKeptEntry, StaysPendingWithTheFileLeftInPlace)
{
    const KeptCase& c = GetParam();
    publish(1, c.name, c.served);
    configure(fileNode(c.name, c.name, c.expectedSha1, c.served.size()));

    EXPECT_FALSE(worker.downloadAndInstall());
    EXPECT_EQ(worker.pending().count(c.name), 1u);
    EXPECT_EQ(readFile(fs::path("game") / c.name), c.served);
    EXPECT_NE(sandbox.log().find(c.logged), std::string::npos) << sandbox.log();
}

INSTANTIATE_TEST_SUITE_P(
    Net, NetKeptEntry,
    testing::Values(KeptCase{"DigestMismatch", "f.bin", "wrong", sha1Of("right"),
                             "下载文件校验失败:game/f.bin " + sha1Of("wrong") + " " + sha1Of("right") + "\n"},
                    KeptCase{"UnpackFails", "bad.quiv", "not a package", sha1Of("not a package"),
                             "解压文件失败: game/bad.quiv\n"}),
    [](const testing::TestParamInfo<KeptCase>& info) { return info.param.label; });

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

TEST_F(NetInstallation, FetchesInByteOrderFromTheFirstHostOnly)
{
    for (const char* name : {"b.txt", "a.txt", "B.txt"})
        publish(2, name, name);
    configure(fileNode("b.txt", "b.txt", sha1Of("b.txt"), 5) + fileNode("a.txt", "a.txt", sha1Of("a.txt"), 5) +
                  fileNode("B.txt", "B.txt", sha1Of("B.txt"), 5),
              "        host 127.0.0.1\n        host 127.0.0.2\n");

    EXPECT_FALSE(worker.downloadAndInstall());
    EXPECT_EQ(webServer->requests(1), (std::vector<std::string>{"/B.txt", "/a.txt", "/b.txt"}));
    EXPECT_TRUE(webServer->requests(2).empty());
    EXPECT_EQ(worker.pending().size(), 3u);
}

}  // namespace
