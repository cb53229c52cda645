#pragma once
// Digests each release before it is served, on a thread of its own beside the
// serving loop: the release behind the root at start, the next one as soon as the
// root leads elsewhere (a publisher switched the link), and the same one again
// when a request found a file changed in place. Until a release is whole, the
// one before it stays in service. Never throws.

#include "RequestLog.h"
#include "ServedFiles.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace versionserver {

class ReleaseWatch {
public:
    // Called on the watch's thread with each release once it is digested whole,
    // and the line to log once it is served (empty when nothing changed for the log).
    using Ready = std::function<void(std::shared_ptr<const Release>, const std::string&)>;

    // Starts at once with the release behind `root`; looks at where the root
    // leads every `interval`.
    ReleaseWatch(const std::string& root, std::chrono::milliseconds interval, Digesting& digesting,
                 RequestLog& log, Ready ready);
    // Stops a digest under way and ends the thread.
    ~ReleaseWatch();
    ReleaseWatch(const ReleaseWatch&) = delete;
    ReleaseWatch& operator=(const ReleaseWatch&) = delete;

    // A request met a file that is not the one digested: walk the release again. Any thread.
    void changed();

private:
    void run();
    bool moved(const Release& current) const;

    const std::string root_;
    const std::chrono::milliseconds interval_;
    Digesting& digesting_;
    RequestLog& log_;
    const Ready ready_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool changed_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace versionserver
