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

// The same script the starter hands to cmd.exe, run by the system's own shell.
TEST(SelfReplacementWin32, TheShellScriptPutsTheNewBuildInPlaceAndStartsIt)
{
    TempDir temp;
    const fs::path dir = temp.path() / "my game";
    fs::create_directories(dir);
    {
        std::ofstream old((dir / "Launcher.exe").string());
        old << "old build";
    }
    fs::copy_file(probePath(), dir / "Launcher.exe.tmp");

    const std::wstring script = L" /c cd /d \"" + dir.wstring() +
                                L"\" & ping -n 2 127.0.0.1 & copy /y Launcher.exe.tmp Launcher.exe"
                                L" & move /y Launcher.exe.tmp Ruvezuv.exe & start Ruvezuv.exe first second";
    ASSERT_TRUE(platform::startSelfReplacement(script, dir.wstring(), L"first second"));

    const std::vector<std::string> lines = waitForLines(dir / "argv.txt");
    ASSERT_GE(lines.size(), 2u) << "the new build was not started";
    EXPECT_TRUE(fs::equivalent(fs::path(lines[0]), dir)) << lines[0];
    EXPECT_EQ((std::vector<std::string>{"first", "second"}),
              std::vector<std::string>(lines.begin() + 2, lines.end()));

    const std::string newBuild = readFile(probePath());
    EXPECT_EQ(newBuild, readFile(dir / "Launcher.exe"));
    EXPECT_EQ(newBuild, readFile(dir / "Ruvezuv.exe"));
    EXPECT_FALSE(fs::exists(dir / "Launcher.exe.tmp"));
}
