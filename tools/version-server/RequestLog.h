#pragma once
// The server's output lines, written by a thread of their own so that a slow
// pipe or journal never holds up the network thread, gathered for a moment into
// one write. The buffer is bounded:
// when it is full a request line is dropped and counted, never waited for.
// Start, summary and stop lines are always kept. Never throws.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace versionserver {

class RequestLog {
public:
    // Writes to `descriptor` (not closed here); holds at most `capacity` bytes of
    // lines not yet written.
    RequestLog(int descriptor, std::size_t capacity);
    // Writes what is buffered, then ends the writing thread.
    ~RequestLog();
    RequestLog(const RequestLog&) = delete;
    RequestLog& operator=(const RequestLog&) = delete;

    void line(const std::string& text);
    void always(const std::string& text);
    std::uint64_t dropped() const;

private:
    void run();

    const int descriptor_;
    const std::size_t capacity_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::string pending_;
    std::uint64_t dropped_ = 0;
    bool stopping_ = false;
    std::thread writer_;
};

}  // namespace versionserver
