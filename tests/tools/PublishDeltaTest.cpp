// launcher-publish delta: patches between real releases, their index, and the
// index's place in launcher_info.cfg and release.sig.

#include "support/DeltaIndex.h"
#include "support/FileDigest.h"
#include "support/Patch.h"
#include "support/SignedRelease.h"
#include "tests/common/Directories.h"
#include "tests/common/Files.h"
#include "tools/launcher-publish/Delta.h"
#include "tools/launcher-publish/Signing.h"

#include <boost/filesystem/directory.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/property_tree/info_parser.hpp>

#include <gtest/gtest.h>

#include <random>

namespace fs = boost::filesystem;

namespace {

std::string randomText(std::size_t size, unsigned seed)
{
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = static_cast<char>(generator());
    return bytes;
}

std::string withChanges(std::string bytes, const std::string& mark, std::size_t from)
{
    for (std::size_t at = from; at + mark.size() < bytes.size(); at += 100000)
        bytes.replace(at, mark.size(), mark);
    return bytes;
}

void put(const fs::path& path, const std::string& content)
{
    fs::create_directories(path.parent_path());
    fixtures::writeFile(path, content);
}

// Two older releases and a new one, with a stale run of delta files in the new one.
class PublishDelta : public testing::Test {
protected:
    PublishDelta()
    {
        const std::string pack = randomText(2 << 20, 1);
        put("r0/pack/big.bin", pack);
        put("r1/pack/big.bin", withChanges(pack, "one", 777));
        put("new/pack/big.bin", withChanges(withChanges(pack, "one", 777), "two!", 50000));
        for (const char* release : {"r0", "r1", "new"}) {
            put(fs::path(release) / "same.txt", "unchanged");
            put(fs::path(release) / "noise.bin", randomText(100000, release[1]));  // no patch pays
        }
        put("new/added.txt", "only new");
        put("r1/delta/old.patch", "an older release's patch");
        put("new/delta/stale.patch", "from an earlier run");
        put("new/delta/index-0000000000000000.cfg", "format 1\n");
    }

    fixtures::WorkingDirectory directory;
};

}  // namespace

TEST_F(PublishDelta, PatchesEveryChangedFileFromEachOlderRelease)
{
    const publish::DeltaReport report = publish::writeDelta("new", {"r1", "r0"});
    ASSERT_EQ(2u, report.releases.size());
    EXPECT_EQ(2u, report.patches);
    EXPECT_EQ(1u, report.blockIndexes) << "big.bin alone reaches 1 MiB";

    DeltaIndex index;
    std::string reason;
    ASSERT_TRUE(readDeltaIndex(fs::path("new/" + report.indexPath).wstring(), index, reason)) << reason;
    ASSERT_EQ(1u, index.files.size()) << "only big.bin has a patch worth its size";
    const DeltaFile& big = index.files.at("pack/big.bin");
    EXPECT_EQ(computeFileSha1(L"new/pack/big.bin"), big.sha1);
    ASSERT_TRUE(big.blocks);
    ASSERT_EQ(2u, big.patches.size());
    std::uint64_t patchBytes[2] = {};
    for (int i = 0; i < 2; ++i) {
        const fs::path old = i == 0 ? "r1/pack/big.bin" : "r0/pack/big.bin";
        const DeltaPatch& patch = big.patches[i];
        EXPECT_EQ(computeFileSha1(old.wstring()), patch.fromSha1);
        ReleaseFile digest;
        ASSERT_TRUE(fileSha256(fs::path("new/" + patch.patch.path).wstring(), digest));
        EXPECT_EQ(digest.sha256, patch.patch.sha256);
        EXPECT_EQ("delta/" + digest.sha256 + ".patch", patch.patch.path);
        StagedFile staged(L"out.bin");
        ASSERT_TRUE(
            applyPatch(old.wstring(), fs::path("new/" + patch.patch.path).wstring(), big.size, staged));
        EXPECT_TRUE(staged.check({true, big.size, big.sha1, ""}));
        patchBytes[i] = patch.patch.size;
        EXPECT_LT(patch.patch.size, 20000u);
    }

    const std::uint64_t noise = 100000, added = 8, whole = 2 << 20;
    EXPECT_EQ(whole + noise + added, report.releases[0].withoutPatches);
    EXPECT_EQ(patchBytes[0] + noise + added, report.releases[0].withPatches);
    EXPECT_EQ(patchBytes[1] + noise + added, report.releases[1].withPatches);

    // Nothing of the earlier run is left, and nothing of the older releases' delta/.
    std::vector<std::string> left;
    for (fs::directory_iterator it("new/delta"), end; it != end; ++it)
        left.push_back(it->path().filename().string());
    std::sort(left.begin(), left.end());
    std::vector<std::string> expected = {fs::path(big.blocks->path).filename().string(),
                                         fs::path(big.patches[0].patch.path).filename().string(),
                                         fs::path(big.patches[1].patch.path).filename().string(),
                                         fs::path(report.indexPath).filename().string()};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, left);
}

TEST_F(PublishDelta, LauncherInfoNamesTheIndexAndTheSignatureCoversIt)
{
    const std::string indexPath = publish::writeDelta("new", {"r1"}).indexPath;
    publish::FileGroupSettings settings;
    settings.updaterName = "updater/Updater.exe";
    settings.hosts = {"127.0.0.1"};
    settings.pathPrefix = "pack/";
    settings.httpDirectory = "new";
    publish::writeLauncherInfo("new/pack", settings, "prefixed.cfg");
    settings.pathPrefix.clear();
    settings.httpDirectory.clear();
    const auto listed = publish::writeLauncherInfo("new", settings, "root.cfg");
    EXPECT_EQ(4u, listed.size()) << "the host root's delta/ is no file of the group";

    for (const char* output : {"prefixed.cfg", "root.cfg"}) {
        boost::property_tree::ptree tree;
        boost::property_tree::read_info(output, tree);
        EXPECT_EQ(indexPath, tree.get<std::string>("updater.delta_index.path")) << output;
        EXPECT_EQ(fs::file_size("new/" + indexPath), tree.get<std::uint64_t>("updater.delta_index.size"));
        EXPECT_EQ(computeFileSha1(fs::path("new/" + indexPath).wstring()),
                  tree.get<std::string>("updater.delta_index.sha1"));
    }

    put("served/a.dat", "alpha");
    publish::writeManifest("served", {}, "served/files.cfg");
    publish::writeKeyPair("private.pem", "public.pem");
    publish::signRelease("served", "private.pem", 1, 30, NameEncoding::Gbk, "new");
    Release release;
    std::string reason;
    ASSERT_TRUE(checkRelease(fixtures::readFile("public.pem"), fixtures::readFile("served/release.sig"),
                             utcNow(), 0, release, reason))
        << reason;
    EXPECT_EQ(fs::file_size("new/" + indexPath), release.files.at("http:" + indexPath).size);
    DeltaIndex index;
    ASSERT_TRUE(readDeltaIndex(fs::path("new/" + indexPath).wstring(), index, reason)) << reason;
    const DeltaPiece& patch = index.files.at("pack/big.bin").patches.at(0).patch;
    EXPECT_EQ(patch.sha256, release.files.at("http:" + patch.path).sha256);

    put("new/delta/index-1111111111111111.cfg", "format 1\n");
    EXPECT_THROW(publish::writeLauncherInfo("new", settings, "root.cfg"), publish::Error) << "two indexes";
}
