#pragma once
// The worker's private record, shared by the files that implement its phases.
// Nothing outside engine/ includes this header.

#include "engine/StarterWorker.h"
#include "engine/UpdateCheck.h"
#include "net/HttpFileDownloader.h"
#include "support/FileDigest.h"

#include <boost/thread/thread.hpp>

#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <set>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace gametool {
class FileDownloader;
class HttpConnection;
}  // namespace gametool

struct StarterWorker::InnerData {
    std::string updaterName;
    std::string gameClientPath;
    std::map<std::string, UpdateFileInfo> pending;
    std::shared_ptr<FileGroup> updaterGroup = std::make_shared<FileGroup>();
    std::string versionHost;
    std::shared_ptr<boost::thread> thread;
    gametool::EventSet* eventSink = nullptr;
    // The transfer lanes of a pass share the byte count, the unwritable set and
    // the host records under `laneMutex`; events reach the sink one at a time.
    std::mutex laneMutex;
    std::mutex eventMutex;
    std::uint64_t totalBytes = 0;
    std::uint64_t receivedBytes = 0;
    // Set once a check has left a new starter beside the running one; never cleared.
    bool selfUpdatePending = false;
    // The last update check's outcome.
    engine_detail::CheckOutcome check;
    // Files that could not be written here in this run (held, a directory in
    // their place, a full disk): not asked for again, and the run cannot succeed.
    std::set<std::string> unwritable;
    bool isWow64 = false;
    // Download hosts in this run: failures in a row, and those passed over for the rest of it.
    std::map<std::string, int> hostFailures;
    std::set<std::string> setAsideHosts;
    // Where the next update check starts in the built-in version-server hosts:
    // after a server that answered wrongly, the other one goes first.
    std::size_t firstVersionHost = 0;

    // How the run loop waits, and which version servers it tries without a test.cfg.
    StarterWorker::Sleeper sleeper;
    std::vector<std::string> builtInHosts;

    // Signed releases: the public key (empty: not checked) and the clock expiry is judged by.
    std::string releaseKey;
    std::function<std::int64_t()> utcClock;

    // How long transfers may take; tests shorten them.
    VersionClient::Deadlines versionDeadlines;
    // The local files' digests, read once in a run while they stay as they were.
    std::shared_ptr<DigestCache> localDigests = std::make_shared<DigestCache>();
    gametool::TransferLimits httpLimits = [] {
        gametool::TransferLimits limits;
        limits.step = gametool::HttpConnection::kDefaultStepDeadline;
        return limits;
    }();
};

namespace engine_detail {

// What one lane of downloads works with: its connection and buffers, and the
// pass's least rate, shared by the transfers busy at any moment.
struct TransferLane {
    std::shared_ptr<gametool::HttpConnection> context;
    std::shared_ptr<gametool::RateShare> rates;
};

// The pending files of one pass, handed out to the transfer lanes one at a
// time. A lane that fails in a way the pass cannot go on from stops the queue;
// the others finish the file they hold and take no other.
class PassQueue {
public:
    PassQueue(std::vector<const UpdateFileInfo*> entries, std::size_t lanes);
    // How many lanes work the queue.
    std::size_t lanes() const { return lanes_; }

    // The next file's index; false once every file is taken or the queue stopped.
    bool take(std::size_t& at);
    // The same, but only when the next file is one that `wanted` accepts.
    bool takeIf(std::size_t& at, const std::function<bool(const UpdateFileInfo&)>& wanted);
    // Whether the file needs no further attempt in this run.
    void finish(std::size_t at, bool done);
    void stop(std::exception_ptr failure = nullptr);
    // The first failure a lane stopped the queue with, if any.
    std::exception_ptr failure() const;
    bool done(std::size_t at) const { return done_[at] != 0; }
    const UpdateFileInfo& entry(std::size_t at) const { return *entries_[at]; }

private:
    mutable std::mutex mutex_;
    const std::vector<const UpdateFileInfo*> entries_;
    const std::size_t lanes_;
    std::vector<char> done_;
    std::size_t next_ = 0;
    bool stopped_ = false;
    std::exception_ptr failure_;
};

// Where a file of a group lives locally: saveDir joined with the name, or saveDir
// itself when the name is empty.
std::wstring localPathOf(const FileGroup& group, const gametool::FileInfo& file);

// Whether `local` names the running starter's file "Launcher.exe": the same file
// by identity where it exists (another letter case, a short name), else the same
// name ignoring ASCII case.
bool isStarterFile(const std::wstring& local);

// The digest sent to the version server: the local file's, or "unavailable";
// taken from `cache` when the file is as it was.
std::string localDigest(const std::wstring& path, DigestCache* cache = nullptr);

}  // namespace engine_detail
