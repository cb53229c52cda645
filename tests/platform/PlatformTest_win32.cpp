#include "platform/Platform.h"
#include "tests/platform/TestSupport.h"

#include <boost/filesystem.hpp>

#include <gtest/gtest.h>

#include <windows.h>

#include <fstream>
#include <string>
#include <vector>

namespace fs = boost::filesystem;
using namespace platformtest;

TEST(CommandLineWin32, IsTheProcessCommandLineWhateverArgvHolds)
{
    char program[] = "ignored";
    char* argv[] = {program, nullptr};
    EXPECT_EQ(std::wstring(GetCommandLineW()), platform::commandLine(1, argv));
}

struct ScriptCase {
    const char* label;
    const wchar_t* directoryName;
    const wchar_t* argument;
};

class SelfReplacementWin32 : public ::testing::TestWithParam<ScriptCase> {};

// The script the starter hands to cmd.exe, run by the system's own shell: the
// directory and the argument arrive whole, and nothing in them runs as a command.
TEST_P(SelfReplacementWin32, PutsTheNewBuildInPlaceAndStartsItWithTheArgument)
{
    const ScriptCase& c = GetParam();
    TempDir temp;
    const fs::path dir = temp.path() / c.directoryName;
    fs::create_directories(dir);
    {
        std::ofstream old((dir / "Launcher.exe").string());
        old << "old build";
    }
    fs::copy_file(probePath(), dir / "Launcher.exe.tmp");

    const std::wstring argument = c.argument;
    std::wstring script = L" /v:on /c cd /d \"!STARTER_DIR!\" & ping -n 2 127.0.0.1 & copy /y Launcher.exe.tmp "
                          L"Launcher.exe & move /y Launcher.exe.tmp Ruvezuv.exe & start Ruvezuv.exe";
    if (!argument.empty())
        script += L" \"!STARTER_ARG!\"";
    ASSERT_TRUE(platform::startSelfReplacement(script, dir.wstring(), argument));

    const std::vector<std::string> lines = waitForLines(dir / "argv.txt");
    ASSERT_GE(lines.size(), 2u) << "the new build was not started";
    EXPECT_TRUE(fs::equivalent(fs::path(lines[0]), dir)) << lines[0];
    const std::vector<std::string> expected =
        argument.empty() ? std::vector<std::string>() : std::vector<std::string>{fs::path(argument).string()};
    EXPECT_EQ(expected, std::vector<std::string>(lines.begin() + 2, lines.end()));

    const std::string newBuild = readFile(probePath());
    EXPECT_EQ(newBuild, readFile(dir / "Launcher.exe"));
    EXPECT_EQ(newBuild, readFile(dir / "Ruvezuv.exe"));
    EXPECT_FALSE(fs::exists(dir / "Launcher.exe.tmp"));
    EXPECT_FALSE(fs::exists(dir / "pwned.txt")) << "a part of the argument ran as a command";
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, SelfReplacementWin32,
    ::testing::Values(ScriptCase{"Plain", L"game", L""},
                      ScriptCase{"Blanks", L"my game", L"first  second"},
                      ScriptCase{"CommandSeparators", L"a&b (x)", L"a=1&b=2|x>y<z&echo pwned>pwned.txt"},
                      ScriptCase{"ExpansionCharacters", L"p%PATH%^!q!", L"^%PATH%!STARTER_DIR!^^(y)"}),
    [](const ::testing::TestParamInfo<ScriptCase>& info) { return std::string(info.param.label); });
