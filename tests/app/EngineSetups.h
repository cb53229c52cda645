#pragma once
// Engine set-ups for tests that run the real engine without any server.

#include "engine/StarterWorker.h"

#include <chrono>
#include <mutex>

#include "app/CLauncherDlg.h"

// No version server to try and no pause between attempts: the engine gives up at
// once and reports that it could not reach a server.
inline void unreachableServers(StarterWorker& worker)
{
    worker.setBuiltInHosts({});
    worker.setSleeper([](std::chrono::milliseconds) {});
}

// Holds the engine in its first pause, so that the test can play the engine's part.
class HeldEngine {
public:
    HeldEngine() : hold_(gate_) {}
    ~HeldEngine() { release(); }

    CLauncherDlg::WorkerSetup setup()
    {
        return [this](StarterWorker& worker) {
            worker.setBuiltInHosts({});
            worker.setSleeper([this](std::chrono::milliseconds) { std::lock_guard<std::mutex> wait(gate_); });
        };
    }

    void release()
    {
        if (hold_.owns_lock())
            hold_.unlock();
    }

private:
    std::mutex gate_;
    std::unique_lock<std::mutex> hold_;
};
