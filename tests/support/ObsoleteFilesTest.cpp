#include "SupportTestUtil.h"

#include "HostileNames.h"

#include "support/Log.h"
#include "support/ObsoleteFiles.h"

#include <boost/property_tree/info_parser.hpp>

#include <algorithm>
#include <map>

namespace fs = boost::filesystem;
using testutil::present;
using testutil::readFile;
using testutil::writeFile;

class ObsoleteFilesTest : public TempDirTest {
protected:
    void deliver(const std::string& list) { writeFile("updater/delete_config.txt", list); }

    std::map<std::string, std::string> record()
    {
        std::map<std::string, std::string> entries;
        if (!present("updater/file_delete_record.txt"))
            return entries;
        boost::property_tree::ptree tree;
        boost::property_tree::read_info("updater/file_delete_record.txt", tree);
        for (const auto& entry : tree)
            entries[entry.first] = entry.second.data();
        return entries;
    }
};

TEST_F(ObsoleteFilesTest, TimeStampedEntriesRunOncePerRelease)
{
    writeFile("bin/old.dll", "old");
    writeFile("bin/a.b.c.dll", "dotted");
    deliver(
        "bin/old.dll 20170301_000000\n\"bin/a.b.c.dll\" 20170301_000000\nnever/there.txt 20170301_000000\n");
    deleteObsoleteFiles();
    EXPECT_FALSE(present("bin/old.dll"));
    EXPECT_FALSE(present("bin/a.b.c.dll"));
    std::map<std::string, std::string> first = record();
    ASSERT_EQ(3u, first.size()) << "a missing path is recorded too";
    const std::string stamp = first["bin/old.dll"];
    EXPECT_EQ(15u, stamp.size());
    EXPECT_EQ(stamp, first["bin/a.b.c.dll"]);

    // Delivered again: older than the record, so a newly installed file stays.
    writeFile("bin/old.dll", "reinstalled");
    deleteObsoleteFiles();
    EXPECT_EQ("reinstalled", readFile("bin/old.dll"));

    // A release stamp equal to the record, or newer, acts again.
    deliver("bin/old.dll " + stamp + "\n");
    deleteObsoleteFiles();
    EXPECT_FALSE(present("bin/old.dll"));
    writeFile("bin/old.dll", "again");
    deliver("bin/old.dll 99991231_235959\n");
    deleteObsoleteFiles();
    EXPECT_FALSE(present("bin/old.dll"));
    EXPECT_EQ(3u, record().size()) << "entries no longer listed stay";
}

TEST_F(ObsoleteFilesTest, RecordKeepsAKeyThatBeginsWithHash)
{
    // Written bare, the key would read back as a directive, and the record as empty.
    writeFile("#notes.txt", "old");
    deliver("\"#notes.txt\" 20170301_000000\n");
    deleteObsoleteFiles();
    writeFile("#notes.txt", "reinstalled");
    deleteObsoleteFiles();
    EXPECT_EQ("reinstalled", readFile("#notes.txt"));
    EXPECT_EQ(1u, record().count("#notes.txt"));
}

TEST_F(ObsoleteFilesTest, EmptyValueDeletesEveryTimeAndRecordStaysUntouched)
{
    writeFile("updater/file_delete_record.txt", "done.txt 99991231_235959\n");
    const std::time_t past = std::time(nullptr) - 3600;
    fs::last_write_time("updater/file_delete_record.txt", past);
    writeFile("tmp.txt", "x");
    writeFile("done.txt", "stays");
    deliver("tmp.txt \"\"\ndone.txt 20170301_000000\n");
    deleteObsoleteFiles();
    EXPECT_FALSE(present("tmp.txt"));
    EXPECT_EQ("stays", readFile("done.txt"));
    writeFile("tmp.txt", "x");
    deleteObsoleteFiles();
    EXPECT_FALSE(present("tmp.txt"));
    EXPECT_EQ(past, fs::last_write_time("updater/file_delete_record.txt"))
        << "unchanged record not rewritten";
    EXPECT_EQ(1u, record().size());
}

TEST_F(ObsoleteFilesTest, DirectoriesGoWithTheirContentButLinksAreNotFollowed)
{
    writeFile("outside/keep.txt", "keep");
    writeFile("data/old/a/b.txt", "x");
    boost::system::error_code linkError;
    fs::create_directory_symlink(fs::absolute("outside"), "data/old/link", linkError);
    deliver("data\\\\old 20170301_000000\n");
    deleteObsoleteFiles();
    EXPECT_FALSE(present("data/old"));
    EXPECT_TRUE(fs::is_directory("data"));
    EXPECT_EQ("keep", readFile("outside/keep.txt"));
    EXPECT_EQ(1u, record().count("data\\old"));
}

TEST_F(ObsoleteFilesTest, KeysOutsideTheInstallationAreRefused)
{
    fs::create_directory("inst");
    fs::current_path("inst");
    writeFile("../victim.txt", "keep");
    writeFile("mine.txt", "x");
    const std::string absolute = fs::absolute("../victim.txt").generic_string();
    std::uintmax_t logBefore = testutil::logSize();
    deliver("../victim.txt 20170301_000000\n\"" + absolute + "\" 20170301_000000\n. \"\"\nmine.txt \"\"\n");
    deleteObsoleteFiles();
    EXPECT_EQ("keep", readFile("../victim.txt"));
    EXPECT_FALSE(present("mine.txt"));
    EXPECT_TRUE(fs::is_directory("updater"));
    EXPECT_TRUE(record().empty());
    std::vector<std::string> lines = testutil::logLinesSince(logBefore);
    EXPECT_EQ(3u, lines.size());
    for (const std::string& key : {std::string("."), std::string("../victim.txt"), absolute})
        EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), "文件路径不安全，已忽略: " + key))
            << key;
    fs::current_path(dir_);
}

TEST_F(ObsoleteFilesTest, ListWithIncludeDirectiveIsNotApplied)
{
    writeFile("secret.txt", "victim.txt 20170301_000000\n");
    writeFile("victim.txt", "keep");
    std::uintmax_t logBefore = testutil::logSize();
    deliver("  #include \"secret.txt\"\nvictim.txt \"\"\n");
    deleteObsoleteFiles();
    EXPECT_EQ("keep", readFile("victim.txt"));
    EXPECT_FALSE(present("updater/file_delete_record.txt"));
    std::vector<std::string> lines = testutil::logLinesSince(logBefore);
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(0u, lines[0].find("服务器文件包含不允许的指令: updater")) << lines[0];
}

TEST_F(ObsoleteFilesTest, MalformedListCountsAsEmpty)
{
    writeFile("victim.txt", "keep");
    deliver("victim.txt \"\"\n{ unbalanced\n");
    deleteObsoleteFiles();
    EXPECT_EQ("keep", readFile("victim.txt"));
    EXPECT_FALSE(present("updater/file_delete_record.txt"));
}

class HostileDeletionKey : public TempDirTest, public ::testing::WithParamInterface<hostile::Name> {};

TEST_P(HostileDeletionKey, IsSkippedOrStaysInside)
{
    fs::create_directories("games/install");
    fs::current_path("games/install");
    const hostile::Canary canary(fs::current_path(), dir_);
    writeFile("updater/delete_config.txt", hostile::infoQuoted(GetParam().bytes) + " \"\"\n");
    const std::uintmax_t logStart = testutil::logSize();
    deleteObsoleteFiles();
    EXPECT_EQ("", canary.damage());
    if (!hostile::refusedHere(GetParam()))
        return;
    const std::vector<std::string> lines = testutil::logLinesSince(logStart);
    const std::string expected = "文件路径不安全，已忽略: " + GetParam().bytes;
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.find(expected) != std::string::npos;
    })) << testing::PrintToString(lines);
}

INSTANTIATE_TEST_SUITE_P(Table, HostileDeletionKey, ::testing::ValuesIn(hostile::names()), hostile::label);
