#include "app/console/ConsoleWindow.h"

#include "app/CLauncherDlg.h"
#include "platform/Platform.h"
#include "support/TextConvert.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>

namespace {

const int kBarWidth = 40;

// Ends at once: the engine's thread may still be running, and nothing it owns
// should be torn down under it. Every log line is already on disk.
void endProcessNow(int status)
{
    std::fflush(nullptr);
    std::_Exit(status);
}

std::string barText(int position)
{
    const int shown = std::max(0, std::min(position, 100));
    const int filled = shown * kBarWidth / 100;
    std::string text = "[";
    text.append(static_cast<std::size_t>(filled), '#');
    text.append(static_cast<std::size_t>(kBarWidth - filled), ' ');
    text += "] ";
    const std::string number = std::to_string(position);
    text.append(number.size() < 3 ? 3 - number.size() : 0, ' ');
    text += number + "%";
    return text;
}

}  // namespace

ConsoleWindow::Options ConsoleWindow::detect()
{
    Options options;
    options.drawInPlace = ::isatty(STDOUT_FILENO) == 1;
    options.waitForEnter = options.drawInPlace && ::isatty(STDIN_FILENO) == 1;
    return options;
}

ConsoleWindow::ConsoleWindow(Options options) : m_options(std::move(options))
{
    if (!m_options.out)
        m_options.out = stdout;
    if (!m_options.exit)
        m_options.exit = &endProcessNow;
}

ConsoleWindow::~ConsoleWindow() = default;

std::intptr_t ConsoleWindow::runModal(CLauncherDlg& dialog)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_uiThread = std::this_thread::get_id();
        m_running = true;
        m_closeRequested = false;
    }
    m_dialog = &dialog;
    m_dirty = true;
    if (m_options.waitForEnter)
        startInputWatch();

    dialog.OnInitDialog();
    render();

    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_closeRequested) {
        if (!m_queue.empty()) {
            Request* request = m_queue.front();
            m_queue.pop_front();
            lock.unlock();
            std::intptr_t result = 0;
            if (!dialog.dispatchMessage(request->message, request->wParam, request->lParam, result))
                result = 0;
            render();
            lock.lock();
            request->result = result;
            request->done = true;
            m_wake.notify_all();
        } else {
            auto next = m_timers.end();
            for (auto it = m_timers.begin(); it != m_timers.end(); ++it) {
                if (next == m_timers.end() || it->second.due < next->second.due)
                    next = it;
            }
            if (next != m_timers.end() && next->second.due <= Clock::now()) {
                const unsigned id = next->first;
                next->second.due = Clock::now() + next->second.period;
                lock.unlock();
                dialog.onTimer(id);
                render();
                lock.lock();
            } else if (next != m_timers.end()) {
                m_wake.wait_until(lock, next->second.due);
            } else {
                m_wake.wait(lock);
            }
        }

        // Without a terminal nobody could close the window after a failure.
        if (!m_options.waitForEnter && dialog.hasResult() && dialog.resultCode() != 0)
            m_closeRequested = true;
    }
    lock.unlock();

    dialog.onWindowGone();
    lock.lock();
    m_running = false;
    m_timers.clear();
    // Senders still waiting get 0, as for a window that is gone.
    for (Request* request : m_queue)
        request->done = true;
    m_queue.clear();
    m_wake.notify_all();
    lock.unlock();

    m_dialog = nullptr;
    return 2;  // the dialog's Cancel: closed by the user
}

void ConsoleWindow::close()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_closeRequested = true;
    m_wake.notify_all();
}

void ConsoleWindow::setStatusText(const std::wstring& text)
{
    if (text != m_status) {
        m_status = text;
        m_dirty = true;
    }
}

void ConsoleWindow::setProgressPos(int position)
{
    if (!m_positionSet || position != m_position) {
        m_position = position;
        m_positionSet = true;
        m_dirty = true;
    }
}

void ConsoleWindow::setTransferText(const std::wstring& text)
{
    if (text != m_rateText) {
        m_rateText = text;
        m_dirty = true;
    }
}

void ConsoleWindow::updateWindow()
{
    render();
}

void ConsoleWindow::setTimer(unsigned id, unsigned periodMs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const std::chrono::milliseconds period(periodMs);
    m_timers[id] = Timer{period, Clock::now() + period};
    m_wake.notify_all();
}

void ConsoleWindow::killTimer(unsigned id)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_timers.erase(id);
}

std::intptr_t ConsoleWindow::sendMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_running)
        return 0;
    if (std::this_thread::get_id() == m_uiThread) {
        // Sent from the UI thread itself: handled at once, as the system's send does.
        lock.unlock();
        std::intptr_t result = 0;
        if (!m_dialog || !m_dialog->dispatchMessage(message, wParam, lParam, result))
            result = 0;
        render();
        return result;
    }

    Request request{message, wParam, lParam};
    m_queue.push_back(&request);
    m_wake.notify_all();
    m_wake.wait(lock, [&] { return request.done; });
    return request.result;
}

void ConsoleWindow::messageBox(const std::wstring& text, const std::wstring& caption, unsigned style)
{
    render();  // the window shows its latest state while the box is up
    std::fflush(m_options.out);
    platform::showMessageBox(text, caption, style);
    // The box's lines now stand below the window; draw it afresh under them.
    m_blockDrawn = false;
    m_dirty = true;
}

void ConsoleWindow::exitProcess(int status)
{
    render();
    std::fflush(m_options.out);
    m_options.exit(status);
}

void ConsoleWindow::render()
{
    if (!m_dirty)
        return;
    m_dirty = false;

    if (m_options.drawInPlace) {
        drawBlock(m_blockDrawn);
        return;
    }

    // A plain line per change of the status text, with the bar's value once it has one.
    if (m_status == m_lastPrinted)
        return;
    m_lastPrinted = m_status;
    std::string line = wideToNarrow(m_status);
    if (m_positionSet)
        line += " " + std::to_string(m_position) + "%";
    line += "\n";
    std::fputs(line.c_str(), m_options.out);
    std::fflush(m_options.out);
}

void ConsoleWindow::drawBlock(bool inPlace)
{
    std::string text;
    m_blockDrawn = true;
    if (inPlace) {
        // Back to the status line (four lines up), rewrite it, the bar and the
        // rate under it, and step over the slogan.
        text += "\033[4F\033[2K" + wideToNarrow(m_status) + "\n";
        text += "\033[2K" + barText(m_position) + "\n";
        text += "\033[2K" + wideToNarrow(m_rateText) + "\n";
        text += "\033[1E";
    } else {
        text += "\033[1m" + wideToNarrow(CLauncherDlg::kCaption) + "\033[0m\n";
        text += wideToNarrow(m_status) + "\n";
        text += barText(m_position) + "\n";
        text += wideToNarrow(m_rateText) + "\n";
        text += wideToNarrow(CLauncherDlg::kSlogan) + "\n";
    }
    const bool failed = m_dialog && m_dialog->hasResult() && m_dialog->resultCode() != 0;
    if (failed && m_options.waitForEnter && !m_hintShown) {
        text += "按回车键关闭。\n";
        m_hintShown = true;
        // The hint pushed the window up by a line: the next redraw starts afresh.
        m_blockDrawn = false;
    }
    std::fputs(text.c_str(), m_options.out);
    std::fflush(m_options.out);
}

void ConsoleWindow::startInputWatch()
{
    // Enter (or the end of input) closes the window, like the dialog's OK button.
    std::thread([this] {
        int c;
        do {
            c = std::getchar();
        } while (c != '\n' && c != EOF);
        close();
    }).detach();
}
