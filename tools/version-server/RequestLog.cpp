#include "RequestLog.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace versionserver {

namespace {

const std::chrono::milliseconds kGathering(20);

}  // namespace

RequestLog::RequestLog(int descriptor, std::size_t capacity)
    : descriptor_(descriptor), capacity_(capacity), writer_([this] { run(); })
{
}

RequestLog::~RequestLog()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    writer_.join();
}

void RequestLog::line(const std::string& text)
{
    bool first = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (pending_.size() + text.size() + 1 > capacity_) {
            ++dropped_;
            return;
        }
        first = pending_.empty();
        pending_ += text;
        pending_ += '\n';
    }
    // The writer sleeps only on an empty buffer: one wake per batch, not per line.
    if (first) {
        wake_.notify_one();
    }
}

void RequestLog::always(const std::string& text)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pending_ += text;
        pending_ += '\n';
    }
    wake_.notify_one();
}

std::uint64_t RequestLog::dropped() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}

void RequestLog::run()
{
    std::string writing;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !pending_.empty(); });
        if (pending_.empty()) {
            return;  // stopping, and everything is out
        }
        // Lines that come close together go out in one write: a write and a
        // thread switch per request took the network thread's core from it
        // under load.
        wake_.wait_for(lock, kGathering, [this] { return stopping_; });
        writing.swap(pending_);
        lock.unlock();
        const char* data = writing.data();
        std::size_t left = writing.size();
        while (left > 0) {
            const ssize_t written = ::write(descriptor_, data, left);
            if (written > 0) {
                data += written;
                left -= std::size_t(written);
            } else if (written < 0 && errno == EINTR) {
                continue;
            } else {
                break;  // the reader went away: the lines have nowhere to go
            }
        }
        writing.clear();
        // Keeps at most one buffer's worth between rounds, not the largest burst ever seen.
        if (writing.capacity() > capacity_) {
            writing.shrink_to_fit();
        }
        lock.lock();
    }
}

}  // namespace versionserver
