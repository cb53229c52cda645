#include "engine/StarterWorker.h"
#include "platform/Platform.h"
#include "tests/app/ScopedWorkingDirectory.h"

#include <boost/filesystem/fstream.hpp>
#include <boost/filesystem/operations.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace fs = boost::filesystem;

// The directory and the argument never enter the text: cmd reads them from
// its environment with delayed expansion, after it has parsed the line.
TEST(SelfReplaceScript, MatchesTheCommandShellTextByteForByte)
{
    EXPECT_EQ(buildSelfReplaceParameters(L"a=1&b=2"),
              L" /v:on /c cd /d \"!STARTER_DIR!\" & ping -n 2 127.0.0.1 & copy /y Launcher.exe.tmp "
              L"Launcher.exe & move /y Launcher.exe.tmp Ruvezuv.exe & start Ruvezuv.exe \"!STARTER_ARG!\"");
    EXPECT_EQ(buildSelfReplaceParameters(L""),
              L" /v:on /c cd /d \"!STARTER_DIR!\" & ping -n 2 127.0.0.1 & copy /y Launcher.exe.tmp "
              L"Launcher.exe & move /y Launcher.exe.tmp Ruvezuv.exe & start Ruvezuv.exe");
}

namespace {

const fs::path& executableDirectory()
{
    static const fs::path directory = fs::path(platform::modulePath()).parent_path();
    return directory;
}

// Waits for the recorder's file: its working directory, then its arguments.
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

void PrintTo(const HandOffCase& c, std::ostream* os) { *os << c.name; }

class HandOffTest : public ::testing::TestWithParam<HandOffCase> {
protected:
    void SetUp() override
    {
        const std::string unique = fs::unique_path("%%%%%%%%").string();
        programName_ = "handoff-" + unique + APP_EXE_SUFFIX;
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
        fs::copy_file(executableDirectory() / (std::string("app_arg_recorder") + APP_EXE_SUFFIX), where);
    }

    void writeConfiguration(const std::string& gameClientPath)
    {
        fs::ofstream out("launcher_info.cfg");
        out << "updater_name \"" << programName_ << "\"\n"
            << "gameclient_path \"" << gameClientPath << "\"\n"
            << "updater\n{\n    host_list\n    {\n        host 127.0.0.1\n    }\n"
            << "    save_dir \"" << saveDirName_ << "\"\n    file_list\n    {\n    }\n}\n";
    }

    ScopedWorkingDirectory directory_;
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

    StarterWorker worker(nullptr);
    ASSERT_TRUE(worker.readLauncherInfo("launcher_info.cfg"));
    ASSERT_TRUE(worker.handOff(c.passThrough));

    const fs::path started = c.startedFromSaveDir ? belowSaveDir_ : besideStarter_;
    std::vector<std::string> lines;
    ASSERT_TRUE(readRecord(started, lines)) << started;
    // Compared by canonical path: on Windows equivalent() also compares the
    // directory's modification time, which tests running beside this one change.
    EXPECT_EQ(fs::canonical(c.startedFromSaveDir ? saveDir_ : executableDirectory()), fs::canonical(lines[0]))
        << "working directory " << lines[0];
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()), c.arguments);
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
        HandOffCase{"pass_through_words_unquoted", true, false, false, "-game client", L"a b c", false,
                    {"-game", "client", "a", "b", "c"}},
        HandOffCase{"no_game_client_path", true, false, false, "", L"x", false, {"x"}}),
    [](const ::testing::TestParamInfo<HandOffCase>& info) { return std::string(info.param.name); });

TEST_F(HandOffTest, MissingProgramIsReportedAsAFailedStart)
{
    writeConfiguration("-game");
    StarterWorker worker(nullptr);
    ASSERT_TRUE(worker.readLauncherInfo("launcher_info.cfg"));
    EXPECT_FALSE(worker.handOff(L"x"));
}
