#include "platform/Platform.h"
#include "tests/platform/TestSupport.h"

#include <boost/filesystem.hpp>

#include <gtest/gtest.h>

#include <fstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace fs = boost::filesystem;
using namespace platformtest;

struct CommandLineCase {
    const char* label;
    std::vector<std::string> argv;
    std::wstring expected;
};

class ComposedCommandLine : public ::testing::TestWithParam<CommandLineCase> {};

TEST_P(ComposedCommandLine, ReadsAsWindowsWouldGiveIt)
{
    std::vector<std::string> args = GetParam().argv;
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    EXPECT_EQ(GetParam().expected, platform::commandLine(static_cast<int>(args.size()), argv.data()));
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, ComposedCommandLine,
    ::testing::Values(
        CommandLineCase{"ProgramOnly", {"/opt/game/Launcher"}, L"\"/opt/game/Launcher\""},
        CommandLineCase{
            "ProgramPathWithBlank", {"/opt/my game/Launcher", "x"}, L"\"/opt/my game/Launcher\" \"x\""},
        CommandLineCase{"PlainWords", {"Launcher", "one", "two"}, L"\"Launcher\" \"one\" \"two\""},
        CommandLineCase{"EmptyArgument", {"Launcher", ""}, L"\"Launcher\" \"\""},
        CommandLineCase{"ArgumentWithBlank", {"Launcher", "two words"}, L"\"Launcher\" \"two words\""},
        CommandLineCase{"ArgumentWithTab", {"Launcher", "a\tb"}, L"\"Launcher\" \"a\tb\""},
        CommandLineCase{"Mixed", {"Launcher", "a", "", "b c"}, L"\"Launcher\" \"a\" \"\" \"b c\""},
        CommandLineCase{"NonAscii",
                        {"Launcher", "\xE7\x99\xBB\xE5\xBD\x95 \xE5\x99\xA8"},
                        L"\"Launcher\" \"\x767B\x5F55 \x5668\""},
        CommandLineCase{"NoArgumentsAtAll", {}, L""}),
    [](const ::testing::TestParamInfo<CommandLineCase>& info) { return std::string(info.param.label); });

TEST(StartProgramPosix, MakesADeliveredProgramExecutableForItsOwner)
{
    TempDirectory temp;
    const fs::path program = temp.path() / "delivered";
    fs::copy_file(probePath(), program);
    ASSERT_EQ(0, chmod(program.c_str(), 0644));

    platform::StartRequest request;
    request.file = program.wstring();
    request.directory = temp.path().wstring();
    ASSERT_TRUE(platform::startProgram(request));

    EXPECT_FALSE(waitForLines(temp.path() / "argv.txt").empty());
    struct stat info;
    ASSERT_EQ(0, stat(program.c_str(), &info));
    EXPECT_EQ(0744u, info.st_mode & 07777);
}

TEST(StartProgramPosix, TheProgramInheritsOnlyTheStandardStreams)
{
    // An inherited descriptor would keep our single-instance lock alive in the
    // program we hand over to.
    TempDirectory temp;
    const int leaked = open(temp.path().c_str(), O_RDONLY);  // without O_CLOEXEC on purpose
    ASSERT_GE(leaked, 0);

    platform::StartRequest request;
    request.file = probePath().wstring();
    request.parameters = L"fds";
    request.directory = temp.path().wstring();
    const bool started = platform::startProgram(request);
    close(leaked);
    ASSERT_TRUE(started);

    ASSERT_FALSE(waitForLines(temp.path() / "argv.txt").empty());
    ASSERT_TRUE(fs::exists(temp.path() / "fds.txt"));
    EXPECT_EQ("", readFile(temp.path() / "fds.txt"));
}

TEST(StartProgramPosix, ADirectoryIsNoProgram)
{
    TempDirectory temp;
    platform::StartRequest request;
    request.file = temp.path().wstring();
    EXPECT_FALSE(platform::startProgram(request));
}

struct ReplacementCase {
    const char* label;
    const char* directoryName;
    const wchar_t* passThroughArg;
    std::vector<std::string> expectedArgs;
};

class SelfReplacement : public ::testing::TestWithParam<ReplacementCase> {};

TEST_P(SelfReplacement, PutsTheNewBuildInPlaceAndStartsIt)
{
    const ReplacementCase& c = GetParam();
    TempDirectory temp;
    const fs::path dir = temp.path() / c.directoryName;
    fs::create_directories(dir);
    {
        std::ofstream old((dir / "Launcher.exe").string());
        old << "old build";
    }
    fs::copy_file(probePath(), dir / "Launcher.exe.tmp");
    ASSERT_EQ(0, chmod((dir / "Launcher.exe.tmp").c_str(), 0644));

    ASSERT_TRUE(platform::startSelfReplacement(dir.wstring(), c.passThroughArg));

    const std::vector<std::string> lines = waitForLines(dir / "argv.txt");
    ASSERT_GE(lines.size(), 2u) << "the new build was not started";
    EXPECT_TRUE(fs::equivalent(fs::path(lines[0]), dir)) << lines[0];
    EXPECT_EQ("./Ruvezuv.exe", lines[1]);
    EXPECT_EQ(c.expectedArgs, std::vector<std::string>(lines.begin() + 2, lines.end()));

    const std::string newBuild = readFile(probePath());
    EXPECT_EQ(newBuild, readFile(dir / "Launcher.exe"));
    EXPECT_EQ(newBuild, readFile(dir / "Ruvezuv.exe"));
    EXPECT_FALSE(fs::exists(dir / "Launcher.exe.tmp"));
    // Nothing of the directory name or the argument was run as shell code.
    EXPECT_FALSE(fs::exists(temp.path() / "pwned"));
    EXPECT_FALSE(fs::exists(dir / "pwned"));
}

INSTANTIATE_TEST_SUITE_P(
    Directories, SelfReplacement,
    ::testing::Values(ReplacementCase{"Plain", "game", L"", {}},
                      ReplacementCase{
                          "BlanksInDirectoryAndArgument", "my game", L"first  second", {"first  second"}},
                      ReplacementCase{"ShellTextInDirectoryAndArgument",
                                      "q'\"$(touch pwned);`touch pwned`&",
                                      L"$(touch\tpwned) ;touch pwned `touch pwned` 'q\"' \"$@\" $1 %PATH%",
                                      {"$(touch\tpwned) ;touch pwned `touch pwned` 'q\"' \"$@\" $1 %PATH%"}}),
    [](const ::testing::TestParamInfo<ReplacementCase>& info) { return std::string(info.param.label); });

TEST(SelfReplacementSteps, GoOnWhenThereIsNoNewBuild)
{
    TempDirectory temp;
    fs::copy_file(probePath(), temp.path() / "Ruvezuv.exe");

    ASSERT_TRUE(platform::startSelfReplacement(temp.path().wstring(), L"again"));

    const std::vector<std::string> lines = waitForLines(temp.path() / "argv.txt");
    ASSERT_EQ(3u, lines.size()) << "the starter under its second name was not started";
    EXPECT_EQ("again", lines[2]);
    EXPECT_FALSE(fs::exists(temp.path() / "Launcher.exe"));
}
