// The Win32 dialog with the real engine behind it, in this process: the window
// from the template, its icons, the controller's messages sent from another
// thread, the timer's status text and bar, the failure text, and the three ways
// the user ends the dialog.

#include "app/CLauncherDlg.h"
#include "app/UpdateController.h"
#include "app/win32/Win32DialogWindow.h"
#include "engine/StarterWorker.h"
#include "res/resource.h"
#include "tests/common/Directories.h"

#include <boost/filesystem/operations.hpp>

#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace {

// Holds the engine at its first pause between update checks until released;
// later pauses pass at once.
class FirstPause {
public:
    void pause()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (used_)
            return;
        used_ = true;
        wake_.notify_all();
        wake_.wait(lock, [this] { return released_; });
    }
    bool waitUntilPaused(std::chrono::seconds limit)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return wake_.wait_for(lock, limit, [this] { return used_; });
    }
    void release()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        released_ = true;
        wake_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool used_ = false;
    bool released_ = false;
};

std::wstring statusText(HWND window)
{
    wchar_t text[512] = L"";
    GetDlgItemTextW(window, IDC_STATUS, text, 512);
    return text;
}

std::wstring transferText(HWND window)
{
    wchar_t text[512] = L"";
    GetDlgItemTextW(window, IDC_TRANSFER, text, 512);
    return text;
}

int barPosition(HWND window)
{
    return static_cast<int>(SendDlgItemMessageW(window, IDC_PROGRESS, PBM_GETPOS, 0, 0));
}

// The template asks for no position, so the dialog sits in the middle of the screen.
bool isCentred(HWND window)
{
    RECT box;
    MONITORINFO monitor;
    monitor.cbSize = sizeof monitor;
    if (!GetWindowRect(window, &box) ||
        !GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTOPRIMARY), &monitor))
        return false;
    const RECT& area = monitor.rcWork;
    return std::abs((box.left - area.left) - (area.right - box.right)) <= 1 &&
           std::abs((box.top - area.top) - (area.bottom - box.bottom)) <= 1;
}

template <class Condition>
bool waitUntil(Condition condition, std::chrono::milliseconds limit)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        Sleep(20);
    }
    return true;
}

// What the user's side of the window showed, gathered on a second thread while
// the UI thread runs the dialog.
struct Seen {
    bool engineWaiting = false;
    std::wstring caption;
    bool centred = false;
    std::wstring initialStatus;
    HICON bigIcon = nullptr;
    HICON smallIcon = nullptr;
    HICON dragIcon = nullptr;
    bool progressShown = false;
    std::wstring progressText;
    std::wstring transferShown;
    int progressBar = -1;
    bool failureShown = false;
    std::wstring statusLater;
    int barLater = -1;
};

struct CloseCase {
    const char* name;
    UINT message;
    WPARAM wParam;
    INT_PTR result;
};

class DialogWindowRun : public ::testing::TestWithParam<CloseCase> {};

TEST_P(DialogWindowRun, ShowsProgressAndFailureAndEndsWhenClosed)
{
    if (!std::getenv("DISPLAY"))
        GTEST_SKIP()
            << "no X display: wine cannot create windows (run through tests/win32/with-wine-display)";

    // The engine writes Log and updater where it runs: a directory of its own.
    fixtures::WorkingDirectory directory;
    Win32DialogWindow window(GetModuleHandleW(nullptr));
    ASSERT_NE(window.icon(), nullptr) << "icon 128 is not in the resources";

    FirstPause firstPause;
    // Nothing listens on the version port: every update check fails at once.
    CLauncherDlg dialog(window, [&](StarterWorker& worker) {
        worker.setBuiltInHosts({"127.0.0.1", "127.0.0.1"});
        worker.setSleeper([&](std::chrono::milliseconds) { firstPause.pause(); });
    });

    Seen seen;
    std::thread user([&] {
        // The first check has failed and the engine waits: the controller exists.
        seen.engineWaiting = firstPause.waitUntilPaused(std::chrono::seconds(60));
        HWND handle = window.handle();
        if (!seen.engineWaiting || !handle) {
            firstPause.release();
            if (handle)
                PostMessageW(handle, WM_CLOSE, 0, 0);
            return;
        }
        wchar_t caption[64] = L"";
        GetWindowTextW(handle, caption, 64);
        seen.caption = caption;
        seen.centred = isCentred(handle);
        seen.initialStatus = statusText(handle);
        seen.bigIcon = reinterpret_cast<HICON>(SendMessageW(handle, WM_GETICON, ICON_BIG, 0));
        seen.smallIcon = reinterpret_cast<HICON>(SendMessageW(handle, WM_GETICON, ICON_SMALL, 0));
        seen.dragIcon = reinterpret_cast<HICON>(SendMessageW(handle, WM_QUERYDRAGICON, 0, 0));

        // Reported as the engine does, from a thread that is not the UI thread.
        UpdateEvent progress{UpdateEvent::Progress, EventValue(std::uint64_t(0)),
                             EventValue(std::uint64_t(2048))};
        dialog.controller()->onEvent(progress);
        UpdateEvent piece{UpdateEvent::BytesReceived, EventValue(std::uint64_t(1024)),
                          EventValue(std::uint64_t(0))};
        dialog.controller()->onEvent(piece);
        seen.progressShown = waitUntil(
            [&] {
                return statusText(handle) == L"正在更新:1/2KB" && barPosition(handle) == 50 &&
                       transferText(handle) == L"共需下载 2 KB";
            },
            std::chrono::seconds(5));
        seen.progressText = statusText(handle);
        seen.transferShown = transferText(handle);
        seen.progressBar = barPosition(handle);

        // The remaining checks fail too; the engine finishes with code 2.
        firstPause.release();
        seen.failureShown = waitUntil([&] { return statusText(handle) == L"更新失败,无法连接到服务器"; },
                                      std::chrono::seconds(60));
        // Longer than the timer's period: a timer left running would overwrite the text.
        Sleep(1500);
        seen.statusLater = statusText(handle);
        seen.barLater = barPosition(handle);

        PostMessageW(handle, GetParam().message, GetParam().wParam, 0);
    });

    const std::intptr_t result = dialog.DoModal();
    firstPause.release();
    user.join();

    ASSERT_TRUE(seen.engineWaiting) << "the engine never reached its first pause";
    EXPECT_EQ(seen.caption, L"Launcher");
    EXPECT_TRUE(seen.centred);
    EXPECT_EQ(seen.initialStatus, L"正在检测更新...");
    EXPECT_EQ(seen.bigIcon, window.icon());
    EXPECT_EQ(seen.smallIcon, window.icon());
    EXPECT_EQ(seen.dragIcon, window.icon());
    EXPECT_TRUE(seen.progressShown) << "status '"
                                    << std::string(seen.progressText.begin(), seen.progressText.end())
                                    << "', bar " << seen.progressBar << ", line under it '"
                                    << std::string(seen.transferShown.begin(), seen.transferShown.end())
                                    << "'";
    EXPECT_TRUE(seen.failureShown);
    EXPECT_TRUE(seen.statusLater == L"更新失败,无法连接到服务器");
    EXPECT_EQ(seen.barLater, 50) << "the bar keeps its last position after a failure";

    EXPECT_EQ(result, GetParam().result);
    EXPECT_EQ(window.handle(), nullptr);
    // Once the window is gone, the engine's messages go nowhere and return 0.
    EXPECT_EQ(window.sendMessage(WM_UPDATE_FINISHED, 0, 0), 0);
    EXPECT_EQ(dialog.sendMessage(WM_UPDATE_PROGRESS, 0, 0), 0);
    EXPECT_TRUE(dialog.hasResult());
    EXPECT_EQ(dialog.resultCode(), ResultServerUnreachable);
}

INSTANTIATE_TEST_SUITE_P(Win32, DialogWindowRun,
                         ::testing::Values(CloseCase{"CloseBox", WM_CLOSE, 0, IDCANCEL},
                                           CloseCase{"Escape", WM_COMMAND, IDCANCEL, IDCANCEL},
                                           CloseCase{"Enter", WM_COMMAND, IDOK, IDOK}),
                         [](const ::testing::TestParamInfo<CloseCase>& info) { return info.param.name; });

}  // namespace
