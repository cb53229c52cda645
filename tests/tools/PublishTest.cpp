#include "engine/StarterWorker.h"
#include "support/BlockIndex.h"
#include "support/FileDigest.h"
#include "support/Package.h"
#include "support/SignedRelease.h"
#include "tests/common/Directories.h"
#include "tests/common/Files.h"
#include "tools/launcher-publish/BlockIndexWriter.h"
#include "tools/launcher-publish/Publish.h"
#include "tools/launcher-publish/Signing.h"

#include <boost/filesystem/directory.hpp>
#include <boost/filesystem/fstream.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/property_tree/info_parser.hpp>

#include <gtest/gtest.h>
#include <zlib.h>

#include <sys/stat.h>

#include <functional>
#include <map>
#include <sstream>

namespace fs = boost::filesystem;
namespace pt = boost::property_tree;

namespace {

using fixtures::readFile;
using fixtures::writeFile;

// Every file below `root` by relative name, with its content.
std::map<std::string, std::string> tree(const fs::path& root)
{
    std::map<std::string, std::string> files;
    for (fs::recursive_directory_iterator it(root), end; it != end; ++it) {
        if (fs::is_regular_file(it->path()))
            files[it->path().lexically_relative(root).generic_string()] = readFile(it->path());
    }
    return files;
}

std::string inflateAll(const std::string& compressed)
{
    std::string out(1 << 16, '\0');
    uLongf size = static_cast<uLongf>(out.size());
    EXPECT_EQ(
        uncompress(reinterpret_cast<Bytef*>(&out[0]), &size,
                   reinterpret_cast<const Bytef*>(compressed.data()), static_cast<uLong>(compressed.size())),
        Z_OK);
    out.resize(size);
    return out;
}

// The text of the Error that `write` throws; "" when it throws none.
std::string refusal(const std::function<void()>& write)
{
    try {
        write();
    } catch (const publish::Error& e) {
        return e.what();
    }
    return "";
}

std::string everyByteValue()
{
    std::string bytes;
    for (int i = 0; i < 256; ++i)
        bytes += static_cast<char>(i);
    return bytes;
}

}  // namespace

TEST(PublishPackage, WritesTheMarkerAndLittleEndianLengthPrefixedEntries)
{
    fixtures::WorkingDirectory directory;
    writeFile("src/a.txt", "abc");
    ASSERT_EQ(publish::writePackage("src", "p.quiv"), 1u);
    const std::string expected = std::string("abc_morvelant") + std::string("\x05\x00\x00\x00", 4) + "a.txt" +
                                 std::string("\x03\x00\x00\x00", 4) + "abc";
    EXPECT_EQ(inflateAll(readFile("p.quiv")), expected);
}

TEST(PublishPackage, UnpacksToTheSameBytes)
{
    fixtures::WorkingDirectory directory;
    writeFile("src/readme.txt", "hello\r\n");
    writeFile("src/empty.dat", "");
    writeFile("src/bin/all-bytes.bin", everyByteValue());
    writeFile("src/bin/deep/er/游戏.txt", "non-ASCII name");
    std::string large(3 * 1024 * 1024 + 17, '\0');
    for (std::size_t i = 0; i < large.size(); ++i)
        large[i] = static_cast<char>((i * 7919) >> 3);
    writeFile("src/large.bin", large);

    // The native unpacker reads entry names as UTF-8.
    ASSERT_EQ(publish::writePackage("src", "game.quiv", NameEncoding::Utf8), 5u);
    ASSERT_TRUE(extractPackage(L"out", L"game.quiv"));
    EXPECT_EQ(tree("out"), tree("src"));
}

TEST(PublishPackage, EmptyDirectoryGivesAMarkerOnlyPackage)
{
    fixtures::WorkingDirectory directory;
    fs::create_directories("src/only-a-directory");
    ASSERT_EQ(publish::writePackage("src", "p.quiv"), 0u);
    EXPECT_EQ(inflateAll(readFile("p.quiv")), "abc_morvelant");
    EXPECT_TRUE(extractPackage(L"out", L"p.quiv"));
    EXPECT_TRUE(tree("out").empty());
}

TEST(PublishPackage, PackageWrittenInsideItsSourceLeavesItselfOut)
{
    fixtures::WorkingDirectory directory;
    writeFile("src/a.txt", "a");
    writeFile("src/p.quiv", "an older package");
    ASSERT_EQ(publish::writePackage("src", "src/p.quiv"), 1u);
    ASSERT_TRUE(extractPackage(L"out", L"src/p.quiv"));
    EXPECT_EQ(tree("out"), (std::map<std::string, std::string>{{"a.txt", "a"}}));
}

TEST(PublishPackage, BadSourceIsAnErrorAndLeavesTheOldPackageAlone)
{
    fixtures::WorkingDirectory directory;
    writeFile("good/a.txt", "a");
    ASSERT_EQ(publish::writePackage("good", "p.quiv"), 1u);
    const std::string before = readFile("p.quiv");

    EXPECT_THROW(publish::writePackage("missing", "p.quiv"), publish::Error);
    writeFile("bad/a.txt", "a");
    fs::create_symlink("a.txt", "bad/link");
    EXPECT_THROW(publish::writePackage("bad", "p.quiv"), publish::Error);

    EXPECT_EQ(readFile("p.quiv"), before);
    EXPECT_FALSE(fs::exists("p.quiv.part"));
}

TEST(PublishLauncherInfo, TheEngineReadsWhatItWrites)
{
    fixtures::WorkingDirectory directory;
    writeFile("files/game.quiv", "package bytes");
    writeFile("files/data/level 1.dat", "level");
    writeFile("files/\xe4\xb8\xad\xe6\x96\x87.txt", "chinese");  // UTF-8 on disk
    publish::FileGroupSettings settings;
    settings.updaterName = "updater/Updater.exe";
    settings.gameClientPath = "-client \"game\"";
    settings.hosts = {"dl1.example.test", "127.0.0.1"};
    settings.saveDir = "game";
    settings.pathPrefix = "release/";
    settings.concurrentDownloads = 16;
    // This engine is the native one, which reads names as strict UTF-8.
    settings.nameEncoding = NameEncoding::Utf8;
    const auto listed = publish::writeLauncherInfo("files", settings, "launcher_info.cfg");
    ASSERT_EQ(listed.size(), 3u);

    StarterWorker worker(nullptr, L"");
    ASSERT_TRUE(worker.readLauncherInfo("launcher_info.cfg"));
    EXPECT_EQ(worker.settings().updaterName, "updater/Updater.exe");
    EXPECT_EQ(worker.settings().gameClientPath, "-client \"game\"");
    const auto group = worker.settings().updaterGroup;
    EXPECT_EQ(group->hosts, settings.hosts);
    EXPECT_EQ(group->saveDir, L"game");
    EXPECT_EQ(group->concurrentDownloads, 16u);
    ASSERT_EQ(group->files.size(), 3u);
    EXPECT_EQ(group->files[0].name, "data/level 1.dat");
    EXPECT_EQ(group->files[0].path, "release/data/level%201.dat");
    EXPECT_EQ(group->files[0].sha1, computeFileSha1(L"files/data/level 1.dat"));
    EXPECT_EQ(group->files[0].size, 5u);
    EXPECT_EQ(group->files[1].name, "game.quiv");
    EXPECT_EQ(group->files[1].size, 13u);
    EXPECT_EQ(group->files[2].name, "\xe4\xb8\xad\xe6\x96\x87.txt");
    EXPECT_EQ(group->files[2].path, "release/%E4%B8%AD%E6%96%87.txt");
}

struct BadSettingsCase {
    const char* name;
    publish::FileGroupSettings settings;
};

void PrintTo(const BadSettingsCase& c, std::ostream* os)
{
    *os << c.name;
}

class PublishLauncherInfoErrors : public ::testing::TestWithParam<BadSettingsCase> {};

TEST_P(PublishLauncherInfoErrors, AreRefusedWithoutWritingAnything)
{
    fixtures::WorkingDirectory directory;
    writeFile("files/a.txt", "a");
    EXPECT_THROW(publish::writeLauncherInfo("files", GetParam().settings, "launcher_info.cfg"),
                 publish::Error);
    EXPECT_FALSE(fs::exists("launcher_info.cfg"));
}

INSTANTIATE_TEST_SUITE_P(Cases, PublishLauncherInfoErrors,
                         ::testing::Values(BadSettingsCase{"no_program", {"", "", {"h"}, "", ""}},
                                           BadSettingsCase{"no_host", {"u.exe", "", {}, "", ""}},
                                           BadSettingsCase{"empty_host", {"u.exe", "", {"h", ""}, "", ""}},
                                           BadSettingsCase{"dir_outside_gbk", {"u.exe", "", {"h"}, "🎮", ""}}),
                         [](const ::testing::TestParamInfo<BadSettingsCase>& info) {
                             return std::string(info.param.name);
                         });

// Files from 1 MiB get a content-named index that the starter's reader takes;
// smaller ones and earlier indexes get none, and a second run names it the same.
TEST(PublishBlockIndexes, IndexFilesOfAMebibyteAndMore)
{
    fixtures::WorkingDirectory directory;
    writeFile("www/pack/data.quiv", std::string(3 * 1024 * 1024 + 17, 'd'));
    writeFile("www/small.txt", std::string(1024 * 1024 - 1, 's'));
    for (int run = 0; run < 2; ++run) {
        const auto written = publish::writeBlockIndexes("www");
        ASSERT_EQ(1u, written.size());
        EXPECT_EQ("pack/data.quiv", written[0].first);
        const publish::BlockIndexNode& node = written[0].second;
        EXPECT_EQ("delta/" + node.sha256 + ".blocks", node.path);
        const std::string index = readFile("www/" + node.path);
        EXPECT_EQ(node.size, index.size());
        BlockIndex parsed;
        std::string reason;
        EXPECT_TRUE(parsed.parseWhole(index.data(), index.size(), reason)) << reason;
        EXPECT_EQ(3u * 1024 * 1024 + 17, parsed.fileSize());
        EXPECT_EQ(3u, tree("www").size());
    }
}

TEST(PublishManifest, ListsTheServersFilesWithTheirPlaces)
{
    fixtures::WorkingDirectory directory;
    writeFile("server/Launcher.exe", "new starter");
    writeFile("server/delete_config.txt", "old.txt \"\"\n");
    writeFile("server/platform.dll", "dll");
    writeFile("server/B.txt", "b");
    writeFile("server/files.cfg", "stale manifest");
    const auto names =
        publish::writeManifest("server", {{"platform.dll", "public"}, {"B.txt", "docs"}}, "server/files.cfg");
    EXPECT_EQ(names,
              (std::vector<std::string>{"B.txt", "Launcher.exe", "delete_config.txt", "platform.dll"}));

    pt::ptree manifest;
    pt::read_info("server/files.cfg", manifest);
    std::vector<std::pair<std::string, std::string>> entries;
    for (const auto& child : manifest)
        entries.emplace_back(child.first, child.second.data());
    const std::vector<std::pair<std::string, std::string>> expected{
        {"B.txt", "docs"}, {"Launcher.exe", ""}, {"delete_config.txt", ""}, {"platform.dll", "public"}};
    EXPECT_EQ(entries, expected);
}

TEST(PublishManifest, RefusesSubdirectoriesAndPlacesOfUnknownFiles)
{
    fixtures::WorkingDirectory directory;
    writeFile("server/a.txt", "a");
    EXPECT_THROW(publish::writeManifest("server", {{"b.txt", "x"}}, "server/files.cfg"), publish::Error);
    writeFile("server/sub/c.txt", "c");
    EXPECT_THROW(publish::writeManifest("server", {}, "server/files.cfg"), publish::Error);
    fs::remove_all("server/sub");
    writeFile("server/empty.txt", "");
    const std::string why = refusal([] { publish::writeManifest("server", {}, "server/files.cfg"); });
    EXPECT_NE(why.find("empty.txt\": the version server's empty reply means \"your copy is current\""),
              std::string::npos)
        << why;
    EXPECT_FALSE(fs::exists("server/files.cfg"));
}

// 中文 on disk and in the options, as each encoding writes it for the starters;
// and a name it cannot hold.
struct EncodingCase {
    NameEncoding encoding;
    std::string zhongwen;
    std::string unheld;
};

class PublishNames : public ::testing::TestWithParam<EncodingCase> {};

TEST_P(PublishNames, AreWrittenInTheStartersEncoding)
{
    fixtures::WorkingDirectory directory;
    const std::string zh = "\xe4\xb8\xad\xe6\x96\x87", out = GetParam().zhongwen;
    const NameEncoding encoding = GetParam().encoding;
    writeFile("src/" + zh + "/a", "x");
    publish::writePackage("src", "p.quiv", encoding);
    EXPECT_EQ(inflateAll(readFile("p.quiv")), "abc_morvelant" + std::string(1, char(out.size() + 2)) +
                                                  std::string(3, '\0') + out + "/a" +
                                                  std::string("\x01\x00\x00\x00", 4) + "x");

    publish::writeLauncherInfo("src", {zh + "/u.exe", "-c " + zh, {"h"}, zh, zh + "/", encoding}, "info.cfg");
    pt::ptree info;
    pt::read_info("info.cfg", info);
    EXPECT_EQ(info.get<std::string>("updater_name") + info.get<std::string>("gameclient_path") +
                  info.get<std::string>("updater.save_dir") +
                  info.get<std::string>("updater.file_list.file.name"),
              out + "/u.exe-c " + out + out + out + "/a");
    EXPECT_EQ(info.get<std::string>("updater.file_list.file.path"),
              "%E4%B8%AD%E6%96%87/%E4%B8%AD%E6%96%87/a");

    publish::writeManifest("src/" + zh, {{"a", zh}}, "files.cfg", encoding);
    EXPECT_EQ(readFile("files.cfg"), "a " + out + "\n");
    publish::writeDeletionList({{zh + "/old", ""}}, "delete.txt", encoding);
    EXPECT_EQ(readFile("delete.txt"), out + "/old \"\"\n");

    writeFile("bad/" + GetParam().unheld, "");
    EXPECT_NE(refusal([&] { publish::writePackage("bad", "bad.quiv", encoding); }).find(GetParam().unheld),
              std::string::npos);
    EXPECT_FALSE(fs::exists("bad.quiv"));
}

INSTANTIATE_TEST_SUITE_P(
    Encodings, PublishNames,
    // U+E0041 is a tag character, which glibc drops on the way to GBK without an error.
    ::testing::Values(EncodingCase{NameEncoding::Gbk, "\xd6\xd0\xce\xc4", "a\xf3\xa0\x81\x81"},
                      EncodingCase{NameEncoding::Utf8, "\xe4\xb8\xad\xe6\x96\x87", "\xd6\xd0"}),
    [](const auto& info) { return info.param.encoding == NameEncoding::Gbk ? "gbk" : "utf8"; });

TEST(PublishDeletionList, WritesPathsWithTheirTimeStampsAndRefusesMalformedOnes)
{
    fixtures::WorkingDirectory directory;
    publish::writeDeletionList({{"old dir", "20260101_120000"}, {"a\\b.txt", ""}}, "delete_config.txt");
    pt::ptree list;
    pt::read_info("delete_config.txt", list);
    EXPECT_EQ(list.get<std::string>("old dir"), "20260101_120000");
    EXPECT_EQ(list.begin()->first, "a\\b.txt");
    EXPECT_EQ(list.begin()->second.data(), "");

    for (const char* stamp : {"2026-01-01", "20260101120000_", "20260101_12000x"})
        EXPECT_THROW(publish::writeDeletionList({{"x", stamp}}, "bad.txt"), publish::Error) << stamp;
    EXPECT_FALSE(fs::exists("bad.txt"));
}

namespace {

// A server directory with two files and its manifest, and a key pair.
class Signing : public testing::Test {
protected:
    Signing()
    {
        writeFile("served/a.dat", "alpha");
        writeFile("served/Launcher.exe", "new starter");
        publish::writeManifest("served", {}, "served/files.cfg");
        publish::writeKeyPair("private.pem", "public.pem");
    }

    bool check(Release& release, std::string& reason)
    {
        return checkRelease(readFile("public.pem"), readFile("served/release.sig"), utcNow(), 0, release,
                            reason);
    }

    fixtures::WorkingDirectory directory;
};

TEST_F(Signing, SignedReleaseCoversTheManifestAndEveryListedFile)
{
    struct stat info = {};
    ASSERT_EQ(0, ::stat("private.pem", &info));
    EXPECT_EQ(0600u, info.st_mode & 0777u);

    ASSERT_EQ(3u, publish::signRelease("served", "private.pem", 5, 30));
    EXPECT_NE(std::string::npos, readFile("served/files.cfg").find("release.sig updater"));

    Release release;
    std::string reason;
    ASSERT_TRUE(check(release, reason)) << reason;
    EXPECT_EQ(5u, release.number);
    EXPECT_NEAR(double(utcNow() + 30 * 86400), double(release.expires), 5.0);
    for (const char* name : {"files.cfg", "a.dat", "Launcher.exe"}) {
        ReleaseFile digest;
        ASSERT_TRUE(fileSha256(fs::path("served/" + std::string(name)).wstring(), digest));
        EXPECT_EQ(digest.sha256, release.files[name].sha256) << name;
        EXPECT_EQ(digest.size, release.files[name].size) << name;
    }
    EXPECT_EQ(0u, release.files.count("release.sig"));

    // Signing again (the next release) leaves the manifest as it is.
    const std::string manifest = readFile("served/files.cfg");
    publish::signRelease("served", "private.pem", 6, 1);
    EXPECT_EQ(manifest, readFile("served/files.cfg"));
    ASSERT_TRUE(check(release, reason)) << reason;
    EXPECT_EQ(6u, release.number);
}

TEST_F(Signing, BadRequestsAreRefusedAndWriteNothing)
{
    const std::string privateKey = readFile("private.pem");
    EXPECT_THROW(publish::writeKeyPair("private.pem", "other.pem"), publish::Error);
    EXPECT_EQ(privateKey, readFile("private.pem"));

    EXPECT_THROW(publish::signRelease("served", "private.pem", 1, 0), publish::Error);
    EXPECT_THROW(publish::signRelease("served", "public.pem", 1, 30), publish::Error);
    fs::remove("served/a.dat");
    EXPECT_THROW(publish::signRelease("served", "private.pem", 1, 30), publish::Error);
    EXPECT_FALSE(fs::exists("served/release.sig"));
}

}  // namespace
