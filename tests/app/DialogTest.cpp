#include "app/CLauncherDlg.h"
#include "app/UpdateController.h"
#include "engine/StarterWorker.h"
#include "tests/app/EngineSetups.h"
#include "tests/app/RecordingWindow.h"
#include "tests/common/Directories.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

namespace {

bool contains(const std::vector<std::wstring>& calls, const std::wstring& call)
{
    return std::find(calls.begin(), calls.end(), call) != calls.end();
}

bool startsWith(const std::wstring& text, const std::wstring& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

TEST(DialogTest, UnreachableServerShowsTheLongFailureTextWithoutEverStartingTheTimer)
{
    fixtures::WorkingDirectory directory;
    RecordingWindow window;
    CLauncherDlg dialog(window, &unreachableServers);
    dialog.DoModal();

    const std::vector<std::wstring> expected{L"init",   L"status:正在检测更新...",           L"send:1125:2",
                                             L"kill:1", L"status:更新失败,无法连接到服务器", L"closed"};
    EXPECT_EQ(window.calls(), expected);
    EXPECT_EQ(dialog.resultCode(), 2);
    ASSERT_NE(dialog.controller(), nullptr);
}

struct FailureCase {
    std::int32_t code;
    const wchar_t* text;
};

class FailureTextTest : public ::testing::TestWithParam<FailureCase> {};

TEST_P(FailureTextTest, FailureIsShownAndTheWindowStaysWithTheBarWhereItWas)
{
    fixtures::WorkingDirectory directory;
    RecordingWindow window;
    CLauncherDlg dialog(window);
    window.attach(dialog);

    dialog.sendMessage(WM_UPDATE_PROGRESS, 0, 0);
    dialog.sendMessage(WM_UPDATE_FINISHED,
                       static_cast<std::uintptr_t>(static_cast<std::intptr_t>(GetParam().code)), 0);

    const std::vector<std::wstring> calls = window.calls();
    EXPECT_EQ(calls.back(), std::wstring(L"status:") + GetParam().text);
    EXPECT_TRUE(contains(calls, L"kill:1"));
    for (const std::wstring& call : calls) {
        EXPECT_FALSE(startsWith(call, L"pos:")) << "the bar keeps its position";
        EXPECT_FALSE(startsWith(call, L"exit:")) << "the window stays until the user closes it";
        EXPECT_FALSE(startsWith(call, L"box:"));
    }
}

INSTANTIATE_TEST_SUITE_P(Codes, FailureTextTest,
                         ::testing::Values(FailureCase{1, L"更新失败"},
                                           FailureCase{2, L"更新失败,无法连接到服务器"},
                                           FailureCase{3, L"更新失败"}, FailureCase{-1, L"更新失败"}));

TEST(DialogTest, FailedHandOffShowsTheBoxAfterTheSuccessTextAndStillExitsWithZero)
{
    fixtures::WorkingDirectory directory;
    RecordingWindow window;
    HeldEngine engine;
    CLauncherDlg dialog(window, engine.setup());
    window.attach(dialog);
    dialog.OnInitDialog();
    // The engine's program to start ("updater/Updater.exe" beside the test) does not exist.
    dialog.onUpdateFinished(0);
    const std::vector<std::wstring> calls = window.calls();
    engine.release();

    const std::vector<std::wstring> expected{
        L"status:正在检测更新...",         L"kill:1", L"status:更新完成", L"pos:100", L"update",
        L"box:严重错误:启动登陆器失败:16", L"exit:0"};
    EXPECT_EQ(calls, expected);
}

TEST(DialogTest, TimerTickShowsTheControllersTextAndPercentage)
{
    fixtures::WorkingDirectory directory;
    RecordingWindow window;
    HeldEngine engine;
    CLauncherDlg dialog(window, engine.setup());
    window.attach(dialog);
    dialog.onTimer(1);  // before the engine exists there is nothing to show
    EXPECT_TRUE(window.calls().empty());

    dialog.OnInitDialog();
    UpdateEvent progress{UpdateEvent::Progress, EventValue(std::uint64_t(0)),
                         EventValue(std::uint64_t(3000))};
    dialog.controller()->onEvent(progress);
    UpdateEvent piece{UpdateEvent::BytesReceived, EventValue(std::uint64_t(1500)),
                      EventValue(std::uint64_t(0))};
    dialog.controller()->onEvent(piece);
    dialog.onTimer(1);
    const std::vector<std::wstring> calls = window.calls();
    engine.release();

    const std::vector<std::wstring> expected{L"status:正在检测更新...", L"send:1124:0", L"timer:1:1000",
                                             L"status:正在更新:1/2KB", L"pos:50"};
    EXPECT_EQ(calls, expected);
    EXPECT_EQ(dialog.statusText(), L"正在更新:1/2KB");
}

TEST(DialogTest, NothingReachesTheWindowOnceItIsGone)
{
    fixtures::WorkingDirectory directory;
    RecordingWindow window;
    CLauncherDlg dialog(window);
    window.attach(dialog);
    dialog.onWindowGone();
    EXPECT_EQ(dialog.sendMessage(WM_UPDATE_FINISHED, 0, 0), 0);
    EXPECT_TRUE(window.calls().empty());
    EXPECT_FALSE(dialog.hasResult());
}

TEST(DialogTest, OtherMessagesAreLeftToTheFrontEnd)
{
    fixtures::WorkingDirectory directory;
    RecordingWindow window;
    CLauncherDlg dialog(window);
    std::intptr_t result = 7;
    EXPECT_FALSE(dialog.dispatchMessage(0x0113 /* WM_TIMER */, 1, 0, result));
    EXPECT_EQ(result, 7);
    EXPECT_TRUE(dialog.dispatchMessage(WM_UPDATE_PROGRESS, 0, 0, result));
    EXPECT_EQ(result, 1);
}
