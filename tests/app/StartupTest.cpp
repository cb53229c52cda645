#include "app/CLauncherApp.h"
#include "app/UpdateController.h"
#include "engine/StarterWorker.h"
#include "platform/Platform.h"
#include "tests/app/EngineSetups.h"
#include "tests/app/RecordingWindow.h"
#include "tests/common/Directories.h"

#include <boost/filesystem/operations.hpp>

#include <gtest/gtest.h>

namespace fs = boost::filesystem;

struct CommandLineCase {
    const char* name;
    const wchar_t* commandLine;
    const wchar_t* passThrough;
};

void PrintTo(const CommandLineCase& c, std::ostream* os)
{
    *os << c.name;
}

class PassThroughArgTest : public ::testing::TestWithParam<CommandLineCase> {};

TEST_P(PassThroughArgTest, IsTheLastQuotedPartOrTheWholeLine)
{
    EXPECT_EQ(CLauncherApp::extractPassThroughArg(GetParam().commandLine), GetParam().passThrough);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PassThroughArgTest,
    ::testing::Values(
        CommandLineCase{"quoted_argument", L"\"C:\\Game\\Launcher.exe\" \"-token 42\"", L"-token 42"},
        CommandLineCase{"empty_quoted_argument", L"\"C:\\Game\\Launcher.exe\" \"\"", L""},
        CommandLineCase{"unquoted_word_gives_program", L"\"C:\\Game\\Launcher.exe\" word",
                        L"C:\\Game\\Launcher.exe"},
        CommandLineCase{"program_only", L"\"C:\\Game\\Launcher.exe\"", L"C:\\Game\\Launcher.exe"},
        CommandLineCase{"one_quote_gives_whole_line", L"Launcher.exe \"abc", L"Launcher.exe \"abc"},
        CommandLineCase{"no_quote_gives_whole_line", L"Launcher.exe a b", L"Launcher.exe a b"},
        CommandLineCase{"last_of_several", L"\"p\" \"a\" \"b c\"", L"b c"},
        CommandLineCase{"quote_first_character", L"\"abc", L"\"abc"}, CommandLineCase{"empty_line", L"", L""},
        CommandLineCase{"non_ascii", L"\"C:\\游戏\\Launcher.exe\" \"账号=玩家 ü €\"", L"账号=玩家 ü €"}),
    [](const ::testing::TestParamInfo<CommandLineCase>& info) { return std::string(info.param.name); });

namespace {

// A lock name of its own, so that tests neither meet each other nor a real starter.
std::wstring testInstanceName()
{
    return L"Global\\QUIVLauncherTest-" + fs::unique_path(L"%%%%%%%%%%%%").wstring();
}

CLauncherApp::Options testOptions(CLauncherDlg::WorkerSetup setup = &unreachableServers)
{
    CLauncherApp::Options options;
    options.instanceName = testInstanceName();
    options.workerSetup = std::move(setup);
    return options;
}

}  // namespace

TEST(StartupTest, SecondInstanceIsRefusedBeforeTheWriteTest)
{
    fixtures::WorkingDirectory directory;
    RecordingWindow window;
    CLauncherApp::Options options = testOptions();
    ASSERT_TRUE(platform::acquireSingleInstance(options.instanceName));

    CLauncherApp app(window, L"\"Launcher\" \"x\"", options);
    EXPECT_FALSE(app.InitInstance());
    EXPECT_EQ(window.calls(), std::vector<std::wstring>{L"box:错误:不能多次启动登录器:16"});
    EXPECT_EQ(app.exitStatus(), CLauncherApp::ExitAlreadyRunning);
    EXPECT_EQ(app.dialog(), nullptr);
    EXPECT_FALSE(fs::exists("writeTest.txt"));
    EXPECT_FALSE(fs::exists("Log")) << "the engine was never created";
}

TEST(StartupTest, UnwritableWorkingDirectoryIsRefused)
{
    fixtures::WorkingDirectory directory;
    // A directory in the way of the test file fails its creation, for any user.
    fs::create_directory("writeTest.txt");
    RecordingWindow window;
    CLauncherApp app(window, L"\"Launcher\"", testOptions());
    EXPECT_FALSE(app.InitInstance());
    EXPECT_EQ(window.calls(), std::vector<std::wstring>{L"box:错误:没有写文件权限，更改游戏目录:16"});
    EXPECT_EQ(app.exitStatus(), CLauncherApp::ExitNotWritable);
    EXPECT_EQ(app.dialog(), nullptr);
    EXPECT_TRUE(fs::is_directory("writeTest.txt"));
}

TEST(StartupTest, RunsTheDialogWithThePassThroughArgumentAndEndsWithTheFailureStatus)
{
    fixtures::WorkingDirectory directory;
    RecordingWindow window;
    CLauncherApp app(window, L"\"/opt/quiv/Launcher\" \"-token 42\"", testOptions());
    EXPECT_FALSE(app.InitInstance());

    ASSERT_NE(app.dialog(), nullptr);
    EXPECT_EQ(app.dialog()->m_passThroughArg, L"-token 42");
    EXPECT_EQ(app.registryKey(), L"应用程序向导生成的本地应用程序");
    EXPECT_FALSE(fs::exists("writeTest.txt"));
    const std::vector<std::wstring> calls = window.calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[calls.size() - 2], L"closed");
    EXPECT_EQ(calls.back(), L"exit:2") << "ended right after the window went";
    EXPECT_EQ(app.exitStatus(), CLauncherApp::ExitServerUnreachable);
}

TEST(StartupTest, ClosingTheWindowEarlyEndsTheProcessAndTheEngineNeverReachesIt)
{
    fixtures::WorkingDirectory directory;
    RecordingWindow window;
    window.closeWhen = [](const CLauncherDlg&) { return true; };  // the user closes it at once
    HeldEngine engine;
    CLauncherApp app(window, L"\"Launcher\"", testOptions(engine.setup()));
    app.InitInstance();
    // The engine finishes only now, after the window has gone.
    engine.release();
    app.dialog()->controller()->worker()->join();

    const std::vector<std::wstring> expected{L"init", L"status:正在检测更新...", L"closed", L"exit:3"};
    EXPECT_EQ(window.calls(), expected);
    EXPECT_EQ(app.exitStatus(), CLauncherApp::ExitClosedEarly);
    EXPECT_FALSE(app.dialog()->hasResult());
}
