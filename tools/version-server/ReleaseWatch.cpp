#include "ReleaseWatch.h"

#include <sys/stat.h>

#include <cstdio>

namespace versionserver {

namespace {

std::string secondsText(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", seconds);
    return text;
}

}  // namespace

ReleaseWatch::ReleaseWatch(const std::string& root, std::chrono::milliseconds interval, Digesting& digesting,
                           RequestLog& log, Ready ready)
    : root_(root), interval_(interval), digesting_(digesting), log_(log), ready_(std::move(ready))
{
    thread_ = std::thread([this] { run(); });
}

ReleaseWatch::~ReleaseWatch()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    digesting_.stopping = true;
    wake_.notify_one();
    thread_.join();
}

void ReleaseWatch::changed()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (changed_) {
            return;
        }
        changed_ = true;
    }
    wake_.notify_one();
}

bool ReleaseWatch::moved(const Release& current) const
{
    struct stat status;
    // A root that cannot be looked at (a link being replaced, a release deleted
    // too early) leaves the release in service as it is.
    return ::stat(root_.c_str(), &status) == 0 &&
           (std::uint64_t(status.st_dev) != current.device || std::uint64_t(status.st_ino) != current.inode);
}

void ReleaseWatch::run()
{
    std::shared_ptr<const Release> current;
    bool reported = false;  // that the root could not be read, once until it can again
    for (bool first = true;; first = false) {
        bool again = false;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (!first) {
                wake_.wait_for(lock, interval_, [this] { return changed_ || stopping_; });
            }
            if (stopping_) {
                return;
            }
            // Taken before the walk: a change while it runs brings another walk.
            again = changed_;
            changed_ = false;
        }
        const bool next = !current || moved(*current);
        if (!next && !again) {
            continue;
        }
        if (current && next) {
            log_.always("version-server: digesting the release behind " + root_ + "; " + current->realRoot +
                        " stays in service until it is ready");
        }
        std::shared_ptr<const Release> release = scanRelease(root_, current.get(), digesting_);
        if (!release) {
            if (!reported && !digesting_.stopping) {
                log_.always("version-server: cannot read " + root_ +
                            (current ? "; still serving " + current->realRoot : std::string()));
                reported = true;
            }
            continue;
        }
        reported = false;
        if (current && moved(*release)) {
            // Switched again while this one was read (a broken release replaced
            // at once, say): never served; the newest is read next.
            std::lock_guard<std::mutex> lock(mutex_);
            changed_ = true;
            continue;
        }
        const bool switched = !current || current->realRoot != release->realRoot ||
                              current->device != release->device || current->inode != release->inode;
        std::string announcement;
        if (switched || release->digested > 0) {
            announcement = "version-server: release " + release->realRoot +
                           " ready: " + std::to_string(release->names.size()) + " files, " +
                           std::to_string(release->digested) + " digested in " +
                           secondsText(release->walkSeconds) + " s";
        }
        current = release;
        ready_(release, announcement);
    }
}

}  // namespace versionserver
