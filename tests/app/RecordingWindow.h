#pragma once
// A window that records what the dialog logic asks of it. While runModal runs it
// handles sends from other threads on the calling thread, as a real window's UI
// thread does; outside runModal a send is handled at once on the sender's thread.

#include "app/CLauncherDlg.h"
#include "app/DialogWindow.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class RecordingWindow : public DialogWindow {
public:
    // Decides when the "user" closes the window; by default once a result is shown.
    std::function<bool(const CLauncherDlg&)> closeWhen = [](const CLauncherDlg& d) { return d.hasResult(); };

    std::intptr_t runModal(CLauncherDlg& dialog) override
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            dialog_ = &dialog;
            uiThread_ = std::this_thread::get_id();
            running_ = true;
        }
        record("init");
        dialog.OnInitDialog();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        std::unique_lock<std::mutex> lock(mutex_);
        while (!exited_ && !closeWhen(dialog) && std::chrono::steady_clock::now() < deadline) {
            if (queue_.empty()) {
                wake_.wait_until(lock, deadline);
                continue;
            }
            Request* request = queue_.front();
            queue_.pop_front();
            lock.unlock();
            deliver(*request);
            lock.lock();
            request->done = true;
            wake_.notify_all();
        }
        lock.unlock();
        dialog.onWindowGone();
        lock.lock();
        running_ = false;
        for (Request* request : queue_)
            request->done = true;
        queue_.clear();
        wake_.notify_all();
        lock.unlock();
        record("closed");
        return 2;
    }

    void setStatusText(const std::wstring& text) override { record(L"status:" + text); }
    void setProgressPos(int position) override { record("pos:" + std::to_string(position)); }
    // Not recorded: it follows the clock, and TransferRateTest has its rows.
    void setTransferText(const std::wstring&) override {}
    void updateWindow() override { record("update"); }
    void setTimer(unsigned id, unsigned periodMs) override
    {
        record("timer:" + std::to_string(id) + ":" + std::to_string(periodMs));
    }
    void killTimer(unsigned id) override { record("kill:" + std::to_string(id)); }

    std::intptr_t sendMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override
    {
        Request request{message, wParam, lParam};
        std::unique_lock<std::mutex> lock(mutex_);
        if (!running_ || std::this_thread::get_id() == uiThread_) {
            lock.unlock();
            deliver(request);
            return request.result;
        }
        queue_.push_back(&request);
        wake_.notify_all();
        wake_.wait(lock, [&] { return request.done; });
        return request.result;
    }

    void messageBox(const std::wstring& text, const std::wstring& caption, unsigned style) override
    {
        record(L"box:" + caption + L":" + text + L":" + std::to_wstring(style));
    }

    void exitProcess(int status) override
    {
        record("exit:" + std::to_string(status));
        std::lock_guard<std::mutex> lock(mutex_);
        exited_ = true;
        wake_.notify_all();
    }

    // The dialog a send outside runModal goes to.
    void attach(CLauncherDlg& dialog)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        dialog_ = &dialog;
    }

    std::vector<std::wstring> calls() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }

    bool called(const std::wstring& call) const
    {
        for (const std::wstring& c : calls())
            if (c == call)
                return true;
        return false;
    }

private:
    struct Request {
        unsigned message;
        std::uintptr_t wParam;
        std::intptr_t lParam;
        std::intptr_t result = 0;
        bool done = false;
    };

    void deliver(Request& request)
    {
        record("send:" + std::to_string(request.message) + ":" +
               std::to_string(static_cast<std::intptr_t>(request.wParam)));
        CLauncherDlg* dialog;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            dialog = dialog_;
        }
        std::intptr_t result = 0;
        if (dialog && dialog->dispatchMessage(request.message, request.wParam, request.lParam, result))
            request.result = result;
    }

    void record(const std::string& call) { record(std::wstring(call.begin(), call.end())); }
    void record(const std::wstring& call)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back(call);
    }

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Request*> queue_;
    std::vector<std::wstring> calls_;
    CLauncherDlg* dialog_ = nullptr;
    std::thread::id uiThread_;
    bool running_ = false;
    bool exited_ = false;
};
