// Reading "test.cfg" and the launcher configuration from files on disk.

#include "engine/StarterWorker.h"
#include "support/PathSafety.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/HostileNames.h"

#include <gtest/gtest.h>

#include <boost/filesystem/operations.hpp>

namespace {

const std::string kHosts = "        host 10.1.1.1\n        host \"\"\n        host 10.1.1.2\n";
const std::string kSha = std::string(40, 'a');

struct ConfigCase {
    const char* label;
    std::string text;
    bool ok;
    std::string logged;                  // a line the read must log ("" for none)
    std::vector<std::string> hosts;      // on success
    std::vector<std::string> fileNames;  // on success
    std::size_t concurrentDownloads = 8;
    std::string deltaIndexPath = "";  // kept from a delta_index node; "" for none
};
void PrintTo(const ConfigCase& c, std::ostream* os)
{
    *os << c.label;
}

class LauncherInfoTest : public testing::TestWithParam<ConfigCase> {};

TEST_P(LauncherInfoTest, ReadsGroupOrFailsWithItsMessage)
{
    const ConfigCase& c = GetParam();
    Sandbox sandbox;
    writeFile("launcher_info.cfg", c.text);
    gametool::EventSet sink;
    StarterWorker worker(&sink, sandbox.work().wstring());

    EXPECT_EQ(worker.readLauncherInfo("launcher_info.cfg"), c.ok);
    const std::string log = sandbox.log();
    if (c.logged.empty()) {
        EXPECT_EQ(log, "");
    } else
        EXPECT_NE(log.find(c.logged), std::string::npos) << log;
    if (!c.ok)
        return;
    EXPECT_EQ(worker.settings().updaterGroup->hosts, c.hosts);
    std::vector<std::string> names;
    for (const auto& file : worker.settings().updaterGroup->files)
        names.push_back(file.name);
    EXPECT_EQ(names, c.fileNames);
    EXPECT_EQ(worker.settings().updaterGroup->concurrentDownloads, c.concurrentDownloads);
    EXPECT_EQ(worker.settings().updaterGroup->deltaIndex.path, c.deltaIndexPath);
}

const std::string kSha40(40, 'a');
std::string withDeltaIndex(const std::string& path, const std::string& size)
{
    return "updater_name u\nupdater { host_list { host h } file_list { } delta_index { path \"" + path +
           "\" size " + size + " sha1 " + kSha40 + " } }\n";
}

const ConfigCase kConfigCases[] = {
    {"DeltaIndex", withDeltaIndex("delta/index-0.cfg", "12"), true, "", {"h"}, {}, 8, "delta/index-0.cfg"},
    // An index the configuration names unsoundly is passed over: the files come whole.
    {"DeltaIndexOutsideDelta", withDeltaIndex("delta/../x.cfg", "12"), true, "补丁索引配置无效", {"h"}, {}},
    {"DeltaIndexTooLarge", withDeltaIndex("delta/i.cfg", "16777217"), true, "补丁索引配置无效", {"h"}, {}},
    {"ConcurrentDownloads",
     "updater_name u\nupdater { concurrent_downloads 1 host_list { host h } file_list { } }\n",
     true,
     "",
     {"h"},
     {},
     1},
    {"ConcurrentDownloadsBeyondTheLimit",
     "updater_name u\nupdater { concurrent_downloads 100000 host_list { host h } file_list { } }\n",
     true,
     "",
     {"h"},
     {},
     StarterWorker::kMaxConcurrentDownloads},
    {"ConcurrentDownloadsNotACount",
     "updater_name u\nupdater { concurrent_downloads 0 host_list { host h } file_list { } }\n",
     true,
     "下载并发数无效，使用默认值: 0",
     {"h"},
     {}},
    {"Complete",
     launcherInfo(kHosts, "game", fileNode("a.dll", "r/a.dll", kSha, 3)),
     true,
     "",
     {"10.1.1.1", "10.1.1.2"},
     {"a.dll"}},
    {"NoUpdaterName",
     launcherInfo(kHosts, "", "", ""),
     false,
     "launcher配置文件中没有指定更新器的名字",
     {},
     {}},
    {"UpdaterNameWrongCase",
     "Updater_Name x\nupdater { host_list { host h } file_list { } }\n",
     false,
     "launcher配置文件中没有指定更新器的名字",
     {},
     {}},
    {"OnlyEmptyHosts",
     launcherInfo("        host \"\"\n", "", ""),
     false,
     "launcher配置文件中没有指定更新器的服务器",
     {},
     {}},
    {"NoHostList",
     "updater_name u\nupdater { file_list { } }\n",
     false,
     "launcher配置文件中没有指定更新器的服务器",
     {},
     {}},
    {"NoFileList",
     "updater_name u\nupdater { host_list { host h } }\n",
     false,
     "launcher配置文件中没有指更新器的下载文件路径",
     {},
     {}},
    {"EmptyFileList", launcherInfo(kHosts, "", ""), true, "", {"10.1.1.1", "10.1.1.2"}, {}},
    {"NodesKeptOrDropped",
     launcherInfo("        host h\n", "",
                  fileNode("both", "p", "", 0) + fileNode("", "", "", 9) +
                      "        file { name noPath sha1 " + kSha +
                      " }\n"
                      "        file { name letters size 12abc }\n"
                      "        file { name signed path \"\" size -5 }\n"),
     true,
     "",
     {"h"},
     {"both", ""}},
    // Read entry by entry, the configuration still means what its tree meant.
    {"FirstOfEqualKeysWins",
     "updater_name u\nupdater\n{\n  host_list { host h1 }\n  host_list { host h2 }\n"
     "  file_list { f { name a.dll ; note\n name b.dll path p } }\n  file_list { f { name c.dll path p } "
     "}\n}\n"
     "updater { host_list { host h3 } file_list { f { name d.dll path p } } }\n",
     true,
     "",
     {"h1"},
     {"a.dll"}},
    {"QuotedContinuedAndBracesOnTheirOwnLines",
     "updater_name \"u\"\nupdater\n{\n  host_list\n  {\n    host \"h\" \\\n         \"4\"\n  }\n"
     "  file_list\n  {\n    \"\" { name \"sp ace.dll\" path \"p\\tq\" }\n  }\n}\n",
     true,
     "",
     {"h4"},
     {"sp ace.dll"}},
    {"NotInfoText", "updater_name u\nupdater {\n", false, "launcher_info.cfg", {}, {}},
    {"NameLeavesSaveDir",
     launcherInfo("        host h\n", "",
                  fileNode("../evil.dll", "p", kSha, 1) + fileNode("ok.dll", "p", kSha, 1)),
     true,
     "文件路径不安全，已忽略: ../evil.dll",
     {"h"},
     {"ok.dll"}},
};

INSTANTIATE_TEST_SUITE_P(Local, LauncherInfoTest, testing::ValuesIn(kConfigCases),
                         [](const testing::TestParamInfo<ConfigCase>& info) { return info.param.label; });

TEST(LocalLauncherInfo, KeepsValuesAsWritten)
{
    Sandbox sandbox;
    writeFile("launcher_info.cfg",
              launcherInfo("        host h\n", "dir/sub",
                           fileNode("x/y.dll", "remote/y.dll", kSha, 1234567890123), "bin/Start.exe"));
    gametool::EventSet sink;
    StarterWorker worker(&sink, sandbox.work().wstring());
    ASSERT_TRUE(worker.readLauncherInfo("launcher_info.cfg"));
    EXPECT_EQ(worker.settings().updaterName, "bin/Start.exe");
    EXPECT_EQ(worker.settings().gameClientPath, "-game");
    EXPECT_EQ(worker.settings().updaterGroup->saveDir, L"dir/sub");
    const auto& file = worker.settings().updaterGroup->files.at(0);
    EXPECT_EQ(file.path, "remote/y.dll");
    EXPECT_EQ(file.sha1, kSha);
    EXPECT_EQ(file.size, 1234567890123u);
}

TEST(LocalLauncherInfo, MissingFileOrDirectoryFailsQuietly)
{
    Sandbox sandbox;
    boost::filesystem::create_directories(at("dir.cfg"));
    gametool::EventSet sink;
    StarterWorker worker(&sink, sandbox.work().wstring());
    EXPECT_FALSE(worker.readLauncherInfo("launcher_info.cfg"));
    EXPECT_FALSE(worker.readLauncherInfo("dir.cfg"));
    EXPECT_EQ(sandbox.log(), "");
}

TEST(LocalLauncherInfo, IncludeRefusedOnlyInTheServersCopy)
{
    Sandbox sandbox;
    writeFile("name.info", "updater_name included.exe\n");
    // The reader opens an included file itself, from the current directory, not
    // from the installation's: the name is given whole.
    const std::string text = "#include \"" + at("name.info").generic_string() +
                             "\"\nupdater { host_list { host h } file_list { } }\n";
    writeFile("launcher_info.cfg", text);
    writeFile("updater/launcher_info.cfg", text);
    gametool::EventSet sink;
    StarterWorker worker(&sink, sandbox.work().wstring());

    ASSERT_TRUE(worker.readLauncherInfo("launcher_info.cfg"));
    EXPECT_EQ(worker.settings().updaterName, "included.exe");
    EXPECT_FALSE(worker.readLauncherInfo("updater/launcher_info.cfg"));
    EXPECT_NE(sandbox.log().find("服务器文件包含不允许的指令: updater/launcher_info.cfg"), std::string::npos)
        << sandbox.log();
}

class HostileLauncherInfo : public testing::TestWithParam<hostile::Name> {};

// The server can write this file: a file name that is refused is skipped, a
// refused save_dir or updater_name fails the read.
TEST_P(HostileLauncherInfo, NameSkippedSaveDirAndUpdaterNameFail)
{
    const std::string name = hostile::infoEscaped(GetParam().bytes);
    // Names this build need not refuse may still fail its conversion (0xFF in code page 936).
    const bool refused = !confinedPath(GetParam().bytes);
    if (hostile::refusedHere(GetParam())) {
        EXPECT_TRUE(refused);
    }
    Sandbox sandbox;
    const hostile::Canary canary(sandbox.work());
    const std::string ok = fileNode("ok.dll", "p", kSha, 1);
    gametool::EventSet sink;
    StarterWorker worker(&sink, sandbox.work().wstring());

    writeFile("launcher_info.cfg", launcherInfo(kHosts, "", fileNode(name, "p", kSha, 1) + ok));
    ASSERT_TRUE(worker.readLauncherInfo("launcher_info.cfg"));
    EXPECT_EQ(worker.settings().updaterGroup->files.size(), refused ? 1u : 2u);
    writeFile("launcher_info.cfg", launcherInfo(kHosts, name, ok));
    EXPECT_EQ(worker.readLauncherInfo("launcher_info.cfg"), !refused) << "save_dir";
    writeFile("launcher_info.cfg", launcherInfo(kHosts, "", ok, name));
    EXPECT_EQ(worker.readLauncherInfo("launcher_info.cfg"), !refused) << "updater_name";
    EXPECT_EQ(worker.settings().updaterName == GetParam().bytes, !refused);

    if (refused) {
        EXPECT_NE(sandbox.log().find("文件路径不安全，已忽略: " + GetParam().bytes + "\n"), std::string::npos)
            << sandbox.log();
    }
    EXPECT_EQ("", canary.damage());
}

INSTANTIATE_TEST_SUITE_P(Table, HostileLauncherInfo, testing::ValuesIn(hostile::names()), hostile::label);

struct TestConfigCase {
    const char* label;
    std::string text;  // "" writes no file; "<dir>" makes a directory of that name
    bool ok;
    std::string host;  // versionHost afterwards; the previous one was "previous"
};
void PrintTo(const TestConfigCase& c, std::ostream* os)
{
    *os << c.label;
}

class TestConfigTest : public testing::TestWithParam<TestConfigCase> {};

TEST_P(TestConfigTest, NamesTheVersionHost)
{
    const TestConfigCase& c = GetParam();
    Sandbox sandbox;
    gametool::EventSet sink;
    StarterWorker worker(&sink, sandbox.work().wstring());
    writeFile("test.cfg", "starter_cfg_host previous\n");
    ASSERT_TRUE(worker.readTestConfig());

    boost::filesystem::remove(at("test.cfg"));
    if (c.text == "<dir>")
        boost::filesystem::create_directory(at("test.cfg"));
    else if (!c.text.empty())
        writeFile("test.cfg", c.text);
    EXPECT_EQ(worker.readTestConfig(), c.ok);
    EXPECT_EQ(worker.settings().versionHost, c.host);
    EXPECT_EQ(sandbox.log(), "");
}

const TestConfigCase kTestConfigCases[] = {
    {"Host", "starter_cfg_host 127.0.0.1\n", true, "127.0.0.1"},
    {"Missing", "", false, "previous"},
    {"Directory", "<dir>", false, "previous"},
    {"NotInfoText", "starter_cfg_host {\n", false, "previous"},
    {"OtherKeysOnly", "other_key 1\n", false, ""},
    {"WrongCase", "Starter_Cfg_Host h\n", false, ""},
};

INSTANTIATE_TEST_SUITE_P(Local, TestConfigTest, testing::ValuesIn(kTestConfigCases),
                         [](const testing::TestParamInfo<TestConfigCase>& info) { return info.param.label; });

}  // namespace
