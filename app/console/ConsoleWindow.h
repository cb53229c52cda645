#pragma once
// The progress window on a terminal: caption, status line, bar, rate and time
// left, and slogan redrawn in place; one plain line per status change when the
// output is not a terminal.
// Its UI thread is the thread that calls runModal.

#include "app/DialogWindow.h"

#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

class ConsoleWindow : public DialogWindow {
public:
    struct Options {
        // Standard output is a terminal: draw the window and redraw it in place.
        bool drawInPlace = false;
        // Standard input is a terminal: after a failure the window stays until
        // Enter; otherwise it closes as soon as a failure is shown.
        bool waitForEnter = false;
        std::FILE* out = stdout;
        // How the process ends; tests record the status instead.
        std::function<void(int)> exit;
    };

    // Terminal or not, from the standard streams.
    static Options detect();

    explicit ConsoleWindow(Options options);
    ~ConsoleWindow() override;
    ConsoleWindow(const ConsoleWindow&) = delete;
    ConsoleWindow& operator=(const ConsoleWindow&) = delete;

    std::intptr_t runModal(CLauncherDlg& dialog) override;
    void setStatusText(const std::wstring& text) override;
    void setProgressPos(int position) override;
    void setTransferText(const std::wstring& text) override;
    void updateWindow() override;
    void setTimer(unsigned id, unsigned periodMs) override;
    void killTimer(unsigned id) override;
    std::intptr_t sendMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override;
    void messageBox(const std::wstring& text, const std::wstring& caption, unsigned style) override;
    void exitProcess(int status) override;

    // Closes the window as the close box would; callable from any thread.
    void close();

private:
    typedef std::chrono::steady_clock Clock;

    struct Request {
        unsigned message;
        std::uintptr_t wParam;
        std::intptr_t lParam;
        std::intptr_t result = 0;
        bool done = false;
    };
    struct Timer {
        std::chrono::milliseconds period;
        Clock::time_point due;
    };

    void render();
    void drawBlock(bool inPlace);
    void startInputWatch();

    Options m_options;

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Request*> m_queue;
    std::map<unsigned, Timer> m_timers;
    std::thread::id m_uiThread;
    bool m_running = false;
    bool m_closeRequested = false;

    // Drawing state; touched on the UI thread only.
    CLauncherDlg* m_dialog = nullptr;
    std::wstring m_status;
    int m_position = 0;
    bool m_positionSet = false;
    std::wstring m_rateText;
    bool m_dirty = false;
    bool m_blockDrawn = false;
    std::wstring m_lastPrinted;
    bool m_hintShown = false;
};
