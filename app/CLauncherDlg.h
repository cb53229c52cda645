#pragma once
// The logic of the starter's only window: status line, progress bar, the engine's
// start and the handling of its result. Drawing and the message loop belong to a
// front end behind DialogWindow.

#include <cstdint>
#include <functional>
#include <string>

class DialogWindow;
class StarterWorker;
class UpdateController;

class CLauncherDlg {
public:
    enum { IDD = 102 };
    static constexpr unsigned kProgressTimerId = 1;
    static constexpr unsigned kProgressTimerPeriodMs = 1000;

    static const wchar_t kCaption[];       // "Launcher"
    static const wchar_t kCheckingText[];  // the status line before any progress
    static const wchar_t kSlogan[];

    // Lets a caller adjust the engine between its creation and its start.
    typedef std::function<void(StarterWorker&)> WorkerSetup;

    // The engine works in `installationDirectory` (empty: the current directory).
    explicit CLauncherDlg(DialogWindow& window, WorkerSetup workerSetup = WorkerSetup(),
                          std::wstring installationDirectory = std::wstring());
    virtual ~CLauncherDlg();
    CLauncherDlg(const CLauncherDlg&) = delete;
    CLauncherDlg& operator=(const CLauncherDlg&) = delete;

    // Runs the window until the user closes it. On success the process ends inside.
    std::intptr_t DoModal();

    // Handlers; the front end calls them on the UI thread.
    // Creates the controller (and with it the engine) and starts the engine.
    bool OnInitDialog();
    // WM_UPDATE_PROGRESS: (re)starts the one-second timer.
    std::intptr_t onUpdateProgress();
    // WM_UPDATE_FINISHED: stops the timer and shows the result; on success hands
    // off and ends the process.
    std::intptr_t onUpdateFinished(std::int32_t resultCode);
    // WM_UPDATE_REFUSED: tells the player that an operation is not supported; returns
    // once the box is dismissed.
    std::intptr_t onOperationRefused();
    // Timer tick: refreshes status line and bar from the controller.
    void onTimer(unsigned timerId);
    // Routes the three messages above; false for any other message.
    bool dispatchMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam,
                         std::intptr_t& result);
    // The window is going: nothing is delivered to it any more.
    void onWindowGone();

    // Synchronous delivery through the front end, from any thread; 0 once the
    // window is gone.
    std::intptr_t sendMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam);

    UpdateController* controller() const;
    const std::wstring& statusText() const;
    bool hasResult() const;
    // The engine's ResultCode; meaningful once hasResult().
    std::int32_t resultCode() const;

    std::wstring m_passThroughArg;

    struct InnerData;

private:
    DialogWindow& m_window;
    InnerData* m_data;
};
