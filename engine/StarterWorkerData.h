#pragma once
// The worker's private record, split by owner, for the files that implement
// the worker's own members. Nothing outside them includes this header.

#include "engine/EngineEvents.h"
#include "engine/HostRoster.h"
#include "engine/LocalDigest.h"
#include "engine/StarterWorker.h"
#include "engine/UpdateCheck.h"
#include "net/HttpFileDownloader.h"
#include "support/DeltaIndex.h"
#include "support/FileDigest.h"

#include <boost/thread/thread.hpp>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace engine_detail {

// Set by the worker's owner before the run starts; read by the run thread.
struct RunOptions {
    StarterWorker::Sleeper sleeper;
    // The version servers tried without a test.cfg.
    std::vector<std::string> builtInHosts;
    // Signed releases: the public key (empty: not checked) and the clock expiry is judged by.
    std::string releaseKey;
    std::function<std::int64_t()> utcClock;
    // How long transfers may take; tests shorten them.
    VersionClient::Deadlines versionDeadlines;
    gametool::TransferLimits httpLimits = [] {
        gametool::TransferLimits limits;
        limits.step = gametool::HttpConnection::kDefaultStepDeadline;
        return limits;
    }();
    // The local files' digests, read once in a run while they stay as they were.
    std::shared_ptr<DigestCache> localDigests = std::make_shared<DigestCache>();
};

// What the run loop carries from one phase to the next; the run thread's alone,
// but for the received bytes, which the download lanes add to.
struct RunRecord {
    // The last update check's outcome.
    CheckOutcome check;
    // Files that could not be written here in this run (held, a directory in
    // their place, a full disk): not asked for again, and the run cannot succeed.
    std::set<std::string> unwritable;
    // Which version server the next update check asks first: after one that
    // answered wrongly, the other.
    HostOrder versionHostOrder;
    // The download hosts of this run.
    HostRoster downloadHosts;
    std::map<std::string, UpdateFileInfo> pending;
    // The pass's total grows when a patch gives way to its whole file.
    std::atomic<std::uint64_t> totalBytes{0};
    std::atomic<std::uint64_t> receivedBytes{0};
    // The release's delta index, fetched at most once in a run; null without one.
    bool deltaIndexTried = false;
    std::shared_ptr<const DeltaIndex> deltaIndex;
    // Files whose patch failed in this run: they come whole from now on.
    std::set<std::string> noPatch;
};

}  // namespace engine_detail

struct StarterWorker::InnerData : StarterSettings, engine_detail::RunOptions, engine_detail::RunRecord {
    explicit InnerData(gametool::EventSet* sink) : events(sink) {}
    std::shared_ptr<boost::thread> thread;
    engine_detail::EngineEvents events;
};
