#pragma once
// What the progress dialog's logic needs from a window system. The Win32 front
// end maps it onto a dialog box; the terminal front end onto a status line.

#include <cstdint>
#include <string>

class CLauncherDlg;

class DialogWindow {
public:
    virtual ~DialogWindow() = default;

    // Shows the window and runs its message handling on the calling thread (the UI
    // thread) until the user closes it. Once the window exists it calls
    // dialog.OnInitDialog(); it hands the dialog's own messages to
    // dialog.dispatchMessage and timer ticks to dialog.onTimer; it calls
    // dialog.onWindowGone() before the window goes away.
    virtual std::intptr_t runModal(CLauncherDlg& dialog) = 0;

    virtual void setStatusText(const std::wstring& text) = 0;
    // The bar's range is 0 to 100; larger values show a full bar.
    virtual void setProgressPos(int position) = 0;
    // The line under the bar (TransferRate.h): the total to download, the rate
    // and the time left; empty while there is nothing to download.
    virtual void setTransferText(const std::wstring& text) = 0;
    // Shows pending changes of status and bar at once, before a step that may end
    // the process (the system's UpdateWindow).
    virtual void updateWindow() {}
    // A periodic timer on the UI thread; setting an id again restarts it.
    virtual void setTimer(unsigned id, unsigned periodMs) = 0;
    virtual void killTimer(unsigned id) = 0;

    // Callable from any thread: delivers the message to the dialog on the UI thread
    // and returns the handler's result once it has run, so the caller waits. When
    // the window is gone it returns 0 at once without delivering anything.
    virtual std::intptr_t sendMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) = 0;

    // A box with no owner window; returns when it has been dismissed.
    virtual void messageBox(const std::wstring& text, const std::wstring& caption, unsigned style) = 0;

    // Ends the process with `status`. Only a test's window returns from it.
    virtual void exitProcess(int status) = 0;
};
