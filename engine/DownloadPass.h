#pragma once
// What a download pass must fetch, and the pass itself: lanes side by side
// take the pending files from one queue, fetch each into its staged file from
// the group's hosts in turn (passing over hosts that failed repeatedly), check
// it against its SHA-1 and the release's signed entry, unpack packages from it,
// and only then put it in place. A local file is thus either the old one or the
// verified new one, whenever the run is cut off. One setup in, one outcome out;
// only the host roster it is given outlives a pass. Exceptions of a lane (out
// of memory, a stop request) reach the caller of run() once every lane ended.

#include "engine/PassFiles.h"
#include "engine/StarterWorker.h"
#include "support/DeltaIndex.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace engine_detail {

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
    bool done(std::size_t at) const;
    const UpdateFileInfo& entry(std::size_t at) const { return *entries_[at]; }
    std::size_t size() const { return entries_.size(); }

private:
    mutable std::mutex mutex_;
    const std::vector<const UpdateFileInfo*> entries_;
    const std::size_t lanes_;
    std::vector<char> done_;
    std::size_t next_ = 0;
    bool stopped_ = false;
    std::exception_ptr failure_;
};

// Runs `lane` on queue.lanes() - 1 helper threads and on the calling one
// (`onCaller` tells which); fewer helpers when the system has no thread to
// spare. An exception on any lane stops the queue and is rethrown here once
// every lane has finished the file it held.
void workLanes(PassQueue& queue, const std::function<void(bool onCaller)>& lane);

// The files of `group` whose local copy is missing or differs from its SHA-1
// (each logged), but for those `skipped` names and for later entries naming a
// place an earlier one names: no two downloads ever write one file. Each comes
// with its local copy's size and digest, which a patch may start from.
std::vector<UpdateFileInfo> differingFiles(const std::shared_ptr<FileGroup>& group,
                                           const std::set<std::string>& skipped);

// The patch that brings the entry's local copy up to date, when `index` lists
// one and the file is not among `noPatch` (its patch failed in this run).
const DeltaPatch* patchFor(const UpdateFileInfo& entry, const DeltaIndex* index,
                           const std::set<std::string>& noPatch);

// The bytes the files take on the wire: a patch's size where patchFor gives
// one, the file's size otherwise; saturates rather than wraps.
std::uint64_t totalSize(const std::vector<const UpdateFileInfo*>& files, const DeltaIndex* index = nullptr,
                        const std::set<std::string>& noPatch = std::set<std::string>());

// The bytes the volume must still take for `pending`: what has not arrived of
// each file (a part kept for resuming is already on the volume), and the
// largest package once more for its entries; saturates rather than wraps.
std::uint64_t roomNeeded(const std::vector<const UpdateFileInfo*>& pending);
// Whether the volume holds what `pending` needs; logs both figures when not.
bool enoughRoomFor(const std::map<std::string, UpdateFileInfo>& pending);

class DownloadPass {
public:
    using Setup = PassSetup;

    explicit DownloadPass(Setup setup);
    PassOutcome run();

private:
    // One pending file fetched, checked, unpacked and put in place; true when it
    // needs no further attempt in this run. `next`, when given, is the file the
    // lane takes next: its request may go with this one's.
    bool install(Lane& lane, const UpdateFileInfo& entry, const UpdateFileInfo* next);
    // The other ways a file may arrive than whole, tried in turn before it.
    Arrival arriveOtherwise(Lane& lane, const UpdateFileInfo& entry);
    void runLane(PassQueue& queue, const std::shared_ptr<gametool::RateShare>& rates, bool onCaller);

    Setup setup_;
    PassFiles files_;
};

}  // namespace engine_detail
