#include "app/CLauncherApp.h"
#include "engine/StarterWorker.h"
#include "platform/Platform.h"
#include "support/SelfReplacement.h"
#include "support/TextConvert.h"
#include "tests/common/Directories.h"
#include "tests/common/Files.h"
#include "tests/engine/TestHost.h"

#include <boost/filesystem/fstream.hpp>
#include <boost/filesystem/operations.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace fs = boost::filesystem;

namespace {

const fs::path& executableDirectory()
{
    static const fs::path directory = fs::path(platform::modulePath()).parent_path();
    return directory;
}

// Waits for the recorder's file: its working directory, its command line, then
// its arguments.
bool readRecord(const fs::path& program, std::vector<std::string>& lines)
{
    fs::path record = program;
    record += ".record";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
        // On Windows the file can be there a moment before it may be opened: the
        // rename that put it there still holds it.
        fs::ifstream in(record);
        std::string line;
        while (std::getline(in, line))
            lines.push_back(line);
        if (!lines.empty())
            return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace

struct HandOffCase {
    const char* name;
    bool besideStarter;
    bool belowSaveDir;
    bool directoryBelowSaveDir;
    const char* gameClientPath;
    const wchar_t* passThrough;
    bool startedFromSaveDir;
    std::vector<std::string> arguments;
};

void PrintTo(const HandOffCase& c, std::ostream* os)
{
    *os << c.name;
}

class HandOffTest : public ::testing::TestWithParam<HandOffCase> {
protected:
    void SetUp() override
    {
        const std::string unique = fs::unique_path("%%%%%%%%").string();
        programName_ = "handoff-" + unique + ENGINE_EXE_SUFFIX;
        saveDirName_ = "handoff-save-" + unique;
        besideStarter_ = executableDirectory() / programName_;
        saveDir_ = executableDirectory() / saveDirName_;
        belowSaveDir_ = saveDir_ / programName_;
    }

    void TearDown() override
    {
        boost::system::error_code error;
        for (const fs::path& p : {besideStarter_, fs::path(besideStarter_.string() + ".record")})
            fs::remove(p, error);
        fs::remove_all(saveDir_, error);
    }

    void placeRecorder(const fs::path& where)
    {
        fs::create_directories(where.parent_path());
        fs::copy_file(executableDirectory() / (std::string("engine_arg_recorder") + ENGINE_EXE_SUFFIX),
                      where);
    }

    void writeConfiguration(const std::string& gameClientPath)
    {
        fs::ofstream out("launcher_info.cfg");
        out << "updater_name \"" << programName_ << "\"\n"
            << "gameclient_path \"" << gameClientPath << "\"\n"
            << "updater\n{\n    host_list\n    {\n        host 127.0.0.1\n    }\n"
            << "    save_dir \"" << saveDirName_ << "\"\n    file_list\n    {\n    }\n}\n";
    }

    fixtures::WorkingDirectory directory_;
    std::string programName_;
    std::string saveDirName_;
    fs::path besideStarter_;
    fs::path saveDir_;
    fs::path belowSaveDir_;
};

TEST_P(HandOffTest, StartsTheConfiguredProgramWithItsArguments)
{
    const HandOffCase& c = GetParam();
    if (c.besideStarter)
        placeRecorder(besideStarter_);
    if (c.belowSaveDir)
        placeRecorder(belowSaveDir_);
    if (c.directoryBelowSaveDir)
        fs::create_directories(belowSaveDir_);
    writeConfiguration(c.gameClientPath);

    StarterWorker worker(nullptr, L"");
    ASSERT_TRUE(worker.readLauncherInfo("launcher_info.cfg"));
    ASSERT_TRUE(worker.handOff(c.passThrough));

    const fs::path started = c.startedFromSaveDir ? belowSaveDir_ : besideStarter_;
    std::vector<std::string> lines;
    ASSERT_TRUE(readRecord(started, lines)) << started;
    // Compared by canonical path: on Windows equivalent() also compares the
    // directory's modification time, which tests running beside this one change.
    EXPECT_EQ(fs::canonical(c.startedFromSaveDir ? saveDir_ : executableDirectory()), fs::canonical(lines[0]))
        << "working directory " << lines[0];
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 2, lines.end()), c.arguments);
    if (c.belowSaveDir && c.besideStarter) {
        EXPECT_FALSE(fs::exists(besideStarter_.string() + ".record")) << "only one program is started";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HandOffTest,
    ::testing::Values(
        HandOffCase{"beside_starter", true, false, false, "-game", L"", false, {"-game"}},
        HandOffCase{"save_dir_wins", true, true, false, "-game", L"token", true, {"-game", "token"}},
        HandOffCase{"only_below_save_dir", false, true, false, "-game", L"token", true, {"-game", "token"}},
        HandOffCase{"directory_named_like_program", true, false, true, "-game", L"", false, {"-game"}},
        HandOffCase{"pass_through_words_unquoted",
                    true,
                    false,
                    false,
                    "-game client",
                    L"a b c",
                    false,
                    {"-game", "client", "a", "b", "c"}},
        HandOffCase{"no_game_client_path", true, false, false, "", L"x", false, {"x"}}),
    [](const ::testing::TestParamInfo<HandOffCase>& info) { return std::string(info.param.name); });

TEST_F(HandOffTest, MissingProgramIsReportedAsAFailedStart)
{
    writeConfiguration("-game");
    StarterWorker worker(nullptr, L"");
    ASSERT_TRUE(worker.readLauncherInfo("launcher_info.cfg"));
    EXPECT_FALSE(worker.handOff(L"x"));
}

struct RestartCase {
    const char* name;
    const wchar_t* directoryName;
    const wchar_t* argument;  // as the player gave it
    const wchar_t* received;  // as the new build passes it on
    bool namesVariables;      // holds %NAME% or !NAME! of a variable the shell knows
};

void PrintTo(const RestartCase& c, std::ostream* os)
{
    *os << c.name;
}

class SelfReplacementArguments : public ::testing::TestWithParam<RestartCase> {
protected:
    fixtures::WorkingDirectory directory_;
};

// The real script, run by the system's own shell with the recorder as the new
// build: the argument arrives whole, as the last double-quoted part of the new
// build's command line, and nothing in it or in the directory's name runs.
TEST_P(SelfReplacementArguments, ReachTheNewBuildWholeAndRunNothing)
{
    const RestartCase& c = GetParam();
    if (c.namesVariables && runningUnderWine())
        GTEST_SKIP()
            << "wine's cmd expands the value of a delayed !variable! once more, replacing %NAME% and "
               "!NAME! inside it (a value naming its own variable overruns its buffer); Windows' cmd "
               "inserts the value as text";
    initPathConversion();
    const fs::path dir = fs::current_path() / c.directoryName;
    fs::create_directories(dir);
    fs::ofstream(dir / "Launcher.exe") << "old build";
    const fs::path newBuild =
        executableDirectory() / (std::string("engine_arg_recorder") + ENGINE_EXE_SUFFIX);
    fs::copy_file(newBuild, dir / "Launcher.exe.tmp");

    const std::wstring argument = selfReplaceArgument(c.argument);
    ASSERT_TRUE(platform::startSelfReplacement(dir.wstring(), argument));

    std::vector<std::string> lines;
    ASSERT_TRUE(readRecord(dir / "Ruvezuv.exe", lines)) << "the new build was not started";
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(fs::canonical(dir), fs::canonical(lines[0])) << "working directory " << lines[0];
    std::wstring commandLine;
    Utf8ToWide(lines[1], commandLine);
    const std::wstring received = c.received;
    if (received.empty()) {
        EXPECT_EQ(2u, lines.size()) << "an empty argument adds nothing: " << lines[1];
    } else {
        const std::wstring tail = L" \"" + received + L"\"";
        EXPECT_TRUE(commandLine.size() >= tail.size() &&
                    commandLine.compare(commandLine.size() - tail.size(), tail.size(), tail) == 0)
            << lines[1];
        EXPECT_EQ(received, CLauncherApp::extractPassThroughArg(commandLine)) << lines[1];
    }

    // Read whole, not a character at a time: the programs are megabytes, and the
    // sanitizer builds instrument every step of a character iterator.
    const std::string expected = fixtures::readFile(newBuild);
    for (const char* name : {"Launcher.exe", "Ruvezuv.exe"})
        EXPECT_TRUE(fixtures::hasContent(dir / name, expected)) << name << " is not the new build";
    EXPECT_FALSE(fs::exists(dir / "Launcher.exe.tmp"));
    for (const fs::path& where : {fs::current_path(), dir})
        EXPECT_FALSE(fs::exists(where / "pwned.txt")) << "a part of the text ran as a command";
}

INSTANTIATE_TEST_SUITE_P(
    Hostile, SelfReplacementArguments,
    ::testing::Values(
        RestartCase{"Empty", L"game", L"", L"", false},
        RestartCase{"Blanks", L"my game", L"token  42", L"token  42", false},
        RestartCase{"CommandSeparators", L"a&b (c)", L"a=1&b=2|x>y<z&echo pwned>pwned.txt",
                    L"a=1&b=2|x>y<z&echo pwned>pwned.txt", false},
        RestartCase{"CaretsAndParentheses", L"^x^^ (y)", L"^a^^b (c) ^&echo pwned>pwned.txt)",
                    L"^a^^b (c) ^&echo pwned>pwned.txt)", false},
        RestartCase{"LonePercentAndBang", L"p%PATH%!q! 100%", L"50% off! x%y !z", L"50% off! x%y !z", false},
        RestartCase{"VariableNames", L"v", L"%PATH%!STARTER_ARG!%CD%", L"%PATH%!STARTER_ARG!%CD%", true},
        RestartCase{"PosixShellText", L"it's $(touch pwned.txt);`touch pwned.txt`",
                    L"'$(touch pwned.txt)'; `touch pwned.txt` $1 \"$@\" ${x:-y} a\\b",
                    L"'$(touch pwned.txt)'; `touch pwned.txt` $1 $@ ${x:-y} a\\b", false},
        RestartCase{"DoubleQuotes", L"q", L"say \"hi\" & echo pwned>pwned.txt",
                    L"say hi & echo pwned>pwned.txt", false},
        RestartCase{"NonAscii", L"\x6E38\x620F \x76EE\x5F55", L"\x767B\x5F55 \x4EE4\x724C",
                    L"\x767B\x5F55 \x4EE4\x724C", false}),
    [](const ::testing::TestParamInfo<RestartCase>& info) { return std::string(info.param.name); });
