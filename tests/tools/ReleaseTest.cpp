#include "tests/common/Directories.h"
#include "tests/common/Files.h"
#include "tools/launcher-publish/Release.h"

#include <boost/filesystem/directory.hpp>
#include <boost/filesystem/operations.hpp>

#include <gtest/gtest.h>

#include <sstream>

namespace fs = boost::filesystem;

namespace {

class ReleaseCommand : public testing::Test {
protected:
    void SetUp() override
    {
        fixtures::writeFile(build() / "game/readme.txt", "welcome\n");
        fixtures::writeFile(build() / "game/data.bin", std::string(5000, 'd'));
        fixtures::writeFile(build() / "maps/maps/forest.map", "forest");
        fixtures::writeFile(build() / "Launcher.exe", "starter");
        fixtures::writeFile(build() / "Updater.exe", "updater");
        fs::create_directories(root());
        configure("");
    }

    fs::path build() const { return dir_.path() / "build"; }
    fs::path root() const { return dir_.path() / "root"; }

    void configure(const std::string& extra)
    {
        fixtures::writeFile(dir_.path() / "release.cfg",
                            "files build/game\n"
                            "package { name maps.quiv\n source build/maps }\n"
                            "updater_name updater/Updater.exe\n"
                            "host 127.0.0.1\nsave_dir game\npath_prefix game/\nname_encoding gbk\n"
                            "server_file { source build/Launcher.exe }\n"
                            "server_file { source build/Updater.exe\n place updater }\n" +
                                extra);
    }

    publish::ReleaseReport release(std::uint64_t number, bool dryRun = false)
    {
        publish::ReleaseOptions options;
        options.root = root();
        options.number = number;
        options.dryRun = dryRun;
        options.stamp = "20261201_00000" + std::to_string(number);
        std::ostringstream out;
        return publish::makeRelease(publish::readReleaseSettings(dir_.path() / "release.cfg"), options, out);
    }

    std::string current() const { return fs::read_symlink(root() / "current").string(); }

    fixtures::TempDirectory dir_;
};

TEST_F(ReleaseCommand, EachReleaseRetiresWhatThePreviousShippedAndCountsWhatPlayersDownload)
{
    release(1);
    EXPECT_EQ(current(), "r1");
    fs::remove(build() / "game/readme.txt");
    fixtures::writeFile(build() / "game/data.bin", std::string(6000, 'e'));
    const publish::ReleaseReport second = release(2);
    EXPECT_EQ(current(), "r2");
    EXPECT_EQ(fixtures::readFile(root() / "r2/version/delete_config.txt"),
              "game/readme.txt 20261201_000002\n");
    ASSERT_EQ(second.costs.size(), 2u);
    EXPECT_EQ(second.costs[0].from, "r1");
    EXPECT_EQ(second.costs[0].files, 1u);
    EXPECT_EQ(second.costs[0].wholeBytes, 6000u);
    EXPECT_EQ(second.costs[1].files, 2u);  // a new installation: data.bin and maps.quiv

    // What earlier lists held stays, but a file that ships again is no longer deleted.
    fixtures::writeFile(build() / "game/readme.txt", "back\n");
    fs::remove(build() / "game/data.bin");
    release(3);
    EXPECT_EQ(fixtures::readFile(root() / "r3/version/delete_config.txt"), "game/data.bin 20261201_000003\n");
    EXPECT_EQ(fixtures::readFile(root() / "r1/www/game/readme.txt"), "welcome\n");
}

TEST_F(ReleaseCommand, DryRunSwitchesNothingAndLeavesNothingBehind)
{
    release(1);
    const publish::ReleaseReport dry = release(2, true);
    EXPECT_EQ(current(), "r1");
    EXPECT_FALSE(fs::exists(root() / "r2"));
    EXPECT_EQ(std::distance(fs::directory_iterator(root()), fs::directory_iterator()), 2);
    EXPECT_EQ(dry.costs.size(), 2u);
}

struct Refusal {
    const char* name;
    const char* extra;    // added to the configuration
    const char* reasons;  // expected in the error, each line one reason
};

class ReleaseRefusals : public ReleaseCommand, public testing::WithParamInterface<Refusal> {};

TEST_P(ReleaseRefusals, NameEveryReasonAndChangeNothing)
{
    release(1);
    fixtures::writeFile(build() / "empty.txt", "");
    configure(GetParam().extra);
    try {
        release(std::string(GetParam().name) == "number_not_above_current" ? 1 : 2);
        FAIL() << "not refused";
    } catch (const publish::Error& e) {
        std::istringstream reasons(GetParam().reasons);
        for (std::string reason; std::getline(reasons, reason);)
            EXPECT_NE(std::string(e.what()).find(reason), std::string::npos) << e.what();
    }
    EXPECT_EQ(current(), "r1");
    EXPECT_EQ(std::distance(fs::directory_iterator(root()), fs::directory_iterator()), 2);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReleaseRefusals,
    testing::Values(Refusal{"number_not_above_current", "", "is not above the current release 1"},
                    Refusal{"empty_server_file", "server_file { source build/empty.txt }\n", "is empty"},
                    Refusal{"name_outside_the_encoding",
                            "server_file { source build/Updater.exe\n name \"\xF0\x9F\x8E\xAE.exe\" }\n",
                            "cannot be written in the starters' encoding (gbk)"},
                    Refusal{"path_in_both_groups",
                            "server_file { source build/Updater.exe\n name README.TXT\n place game }\n",
                            "is in both the version server's files and the game's files"},
                    Refusal{"deleted_and_shipped", "delete { path game }\n", "is both deleted and shipped"},
                    Refusal{"every_reason_at_once",
                            "delete { path game/data.bin }\nserver_file { source build/empty.txt }\n",
                            "is both deleted and shipped\nis empty"}),
    [](const testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

}  // namespace
