#pragma once
// What a download pass must fetch, and the pass itself: lanes side by side
// take the pending files from one queue, fetch each into its staged file from
// the group's hosts in turn (passing over hosts that failed repeatedly), check
// it against its SHA-1 and the release's signed entry, unpack packages from it,
// and only then put it in place. A local file is thus either the old one or the
// verified new one, whenever the run is cut off. One setup in, one outcome out;
// only the host roster it is given outlives a pass. Exceptions of a lane (out
// of memory, a stop request) reach the caller of run() once every lane ended.

#include "engine/HostRoster.h"
#include "engine/ReleaseGuard.h"
#include "engine/StarterWorker.h"
#include "net/TransferDeadline.h"
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

// Where a file of a group lives locally: saveDir joined with the name, or saveDir
// itself when the name is empty.
std::wstring localPathOf(const FileGroup& group, const gametool::FileInfo& file);

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

// Whether a file's configured size is what its content must be; 0 with a
// non-empty content's digest says nothing (a missing or unreadable size).
bool sizeKnown(const gametool::FileInfo& file);

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

struct PassOutcome {
    // Files that need no further attempt in this run (installed, or refused, or unwritable).
    std::set<const UpdateFileInfo*> settled;
    // Files that could not be written here or that the release refuses: not asked for again.
    std::set<std::string> unwritable;
    // Bytes counted towards the pass's progress.
    std::uint64_t bytes = 0;
    // Files whose patch failed: the next passes of the run take them whole.
    std::set<std::string> patchFailed;
};

class DownloadPass {
public:
    struct Setup {
        std::vector<const UpdateFileInfo*> files;
        // The release's signed entries; checked only with `signedRelease`.
        bool signedRelease = false;
        std::map<std::string, ReleaseFile> signedFiles;
        // The run's record of its download hosts, kept across passes.
        HostRoster* hosts = nullptr;
        // The step deadline, and the least rate that the transfers busy at each moment share.
        gametool::TransferLimits limits;
        std::size_t lanes = 1;
        // Called from the lanes, several at once: bytes counted towards the
        // pass's total (never beyond a file's size), and refused operations.
        std::function<void(std::uint64_t)> onBytes;
        std::function<void()> onRefused;
        // The release's delta index (null: none) and the files not to patch;
        // a patch that gives way to its whole file adds that file's size to
        // the total through `onMoreTotal`.
        std::shared_ptr<const DeltaIndex> deltaIndex;
        std::set<std::string> noPatch;
        std::function<void(std::uint64_t)> onMoreTotal;
    };

    explicit DownloadPass(Setup setup);
    PassOutcome run();

    struct Lane;

private:
    // One pending file fetched, checked, unpacked and put in place; true when it
    // needs no further attempt in this run. `next`, when given, is the file the
    // lane takes next: its request may go with this one's.
    bool install(Lane& lane, const UpdateFileInfo& entry, const UpdateFileInfo* next);
    // The other ways a file may arrive than whole, tried in turn before it:
    // Placed when it arrived so and needs no further attempt, Retry when the
    // file should wait for the next pass, Whole when the whole file is to come.
    enum class Arrival { Placed, Retry, Whole };
    Arrival arriveOtherwise(Lane& lane, const UpdateFileInfo& entry);
    // The file made from its local copy and a patch of the index.
    Arrival arriveByPatch(Lane& lane, const UpdateFileInfo& entry, const DeltaPatch& patch);
    // The file built from its local copy (or a kept part) and the blocks it
    // lacks, when the index lists a block index for it.
    Arrival arriveByBlocks(Lane& lane, const UpdateFileInfo& entry);
    // Builds the file into `output` by blocks of `index` from `copy` and checks
    // it as a whole download; false (logged) when it would cost about the whole
    // file, or failed: the whole file comes next.
    bool syncBlocks(Lane& lane, const gametool::FileInfo& file, const DeltaPiece& index,
                    const std::wstring& copy, const std::string& host, StagedFile& output);
    // A verified staged file unpacked when a package, and put in place.
    bool finishInstall(const UpdateFileInfo& entry, StagedFile& staged);
    void markPatchFailed(const UpdateFileInfo& entry);
    void runLane(PassQueue& queue, const std::shared_ptr<gametool::RateShare>& rates, bool onCaller);
    // One host's attempt at a file. HostFailed: the next host may do better;
    // Failed: none would (this machine's fault); Refused: the release refuses it.
    enum class Fetch { Verified, HostFailed, Failed, Refused, StalePart };
    // Checks what arrived from a host into a staged file.
    typedef std::function<Fetch(StagedFile&, const std::string& sha1)> Verify;
    Fetch fetchFrom(Lane& lane, const std::string& host, const gametool::FileInfo& file, StagedFile& staged,
                    const std::string& aheadPath, const Verify& verify);
    // The file from the group's hosts in turn, until one sends it verified. A
    // StalePart is returned, when `staleEnds`, rather than blamed on the host.
    Fetch fetchFromHosts(Lane& lane, const FileGroup& group, const gametool::FileInfo& file,
                         StagedFile& staged, const std::string& aheadPath, const Verify& verify,
                         bool staleEnds, std::string* usedHost = nullptr);
    Fetch verifyWhole(const gametool::FileInfo& file, StagedFile& staged, const std::string& sha1);
    bool installEmpty(const gametool::FileInfo& file, const std::wstring& local);
    bool unpack(const FileGroup& group, const std::wstring& local, const std::wstring& package);
    // The size and SHA-256 the release signed for a file; false (logged) when unlisted.
    bool signedEntry(const gametool::FileInfo& file, ExpectedContent& expected) const;
    void markUnwritable(const std::string& name);

    Setup setup_;
    // Files of the group by place: a package leaves their places to them.
    std::set<std::wstring> groupPlaces_;
    std::mutex unpackMutex_;
    std::mutex applyMutex_;
    std::mutex outcomeMutex_;
    PassOutcome outcome_;
};

}  // namespace engine_detail
