#pragma once
// What the ways a file arrives by share within one download pass: the lane it
// arrives on, the group's hosts tried in turn, the checks against the file's
// SHA-1 and the release's signed entry, unpacking and placing, and the outcome
// the pass reports. The whole file comes in DownloadPass.cpp; a patch or the
// blocks a local copy lacks come in Arrivals.cpp.

#include "engine/HostRoster.h"
#include "engine/ReleaseGuard.h"
#include "engine/StarterWorker.h"
#include "net/FileDownloader.h"
#include "net/HttpConnection.h"
#include "net/TransferDeadline.h"
#include "support/DeltaIndex.h"
#include "support/StagedFile.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace engine_detail {

// Where a file of a group lives locally: saveDir joined with the name, or saveDir
// itself when the name is empty.
std::wstring localPathOf(const FileGroup& group, const gametool::FileInfo& file);

// Whether a file's configured size is what its content must be; 0 with a
// non-empty content's digest says nothing (a missing or unreadable size).
bool sizeKnown(const gametool::FileInfo& file);

// Whether a local file is a package, to be unpacked before it is placed.
bool isPackage(const std::wstring& local);
// The length of what a kept part holds for `local`; 0 when there is none.
std::uint64_t keptPartSize(const std::wstring& local);

struct PassSetup {
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

// What one lane works with: its connection and buffers, the pass's least rate
// (shared by the transfers busy at each moment), and the bytes of its
// current file counted so far, so that a file sent again (by another host, or
// after a stale part) never counts beyond its size.
struct Lane : gametool::FileDownloadListener {
    Lane(const PassSetup& setup, std::size_t lanes, std::shared_ptr<gametool::RateShare> share);

    void startFile(const gametool::FileInfo& file);
    void onBytesReceived(std::uint64_t count) override;
    void onMessage(const std::string& text) override;
    void onOperationRefused() override;

    // The one HTTP transfer of a file from a host into its staged file; false
    // with `failure` set when it did not arrive whole.
    bool transfer(const std::string& host, const gametool::FileInfo& file, StagedFile& staged,
                  const std::string& aheadPath, std::string& digest, gametool::DownloadFailure& failure);

    std::shared_ptr<gametool::HttpConnection> context;
    std::shared_ptr<gametool::RateShare> rates;
    std::uint64_t counted = 0;
    std::uint64_t countable = 0;

private:
    const PassSetup& setup_;
};

// One host's attempt at a file. HostFailed: the next host may do better;
// Failed: none would (this machine's fault); Refused: the release refuses it;
// StalePart: what arrived fails its check.
enum class Fetch { Verified, HostFailed, Failed, Refused, StalePart };
// Checks what arrived from a host into a staged file.
typedef std::function<Fetch(StagedFile&, const std::string& sha1)> Verify;

// The other ways a file may arrive than whole: Placed when it arrived so and
// needs no further attempt, Retry when the file should wait for the next pass,
// Whole when the whole file is to come.
enum class Arrival { Placed, Retry, Whole };

class PassFiles {
public:
    explicit PassFiles(const PassSetup& setup);
    const PassSetup& setup() const { return setup_; }

    // The file from the group's hosts in turn, until one sends it verified. A
    // StalePart is returned, when `staleEnds`, rather than blamed on the host.
    Fetch fetchFromHosts(Lane& lane, const FileGroup& group, const gametool::FileInfo& file,
                         StagedFile& staged, const std::string& aheadPath, const Verify& verify,
                         bool staleEnds, std::string* usedHost = nullptr);
    Fetch verifyWhole(const gametool::FileInfo& file, StagedFile& staged, const std::string& sha1);
    bool installEmpty(const gametool::FileInfo& file, const std::wstring& local);
    // A verified staged file unpacked when a package, and put in place.
    bool finishInstall(const UpdateFileInfo& entry, StagedFile& staged);
    // The size and SHA-256 the release signed for a file; false (logged) when unlisted.
    bool signedEntry(const gametool::FileInfo& file, ExpectedContent& expected) const;
    void markPatchFailed(const UpdateFileInfo& entry);
    void markUnwritable(const std::string& name);
    // Held while a patch is applied: the old and new file are mapped meanwhile,
    // and one pair at a time keeps what lanes map to one file's worth.
    std::mutex& applyMutex() { return applyMutex_; }
    // What the pass did; called once, after every lane ended.
    PassOutcome takeOutcome();

private:
    Fetch fetchFrom(Lane& lane, const std::string& host, const gametool::FileInfo& file, StagedFile& staged,
                    const std::string& aheadPath, const Verify& verify);
    bool unpack(const FileGroup& group, const std::wstring& local, const std::wstring& package);

    const PassSetup& setup_;
    // Files of the group by place: a package leaves their places to them.
    std::set<std::wstring> groupPlaces_;
    std::mutex unpackMutex_;
    std::mutex applyMutex_;
    std::mutex outcomeMutex_;
    PassOutcome outcome_;
};

// The file made from its local copy and a patch of the index.
Arrival arriveByPatch(PassFiles& pass, Lane& lane, const UpdateFileInfo& entry, const DeltaPatch& patch);
// The file built from its local copy (or a kept part) and the blocks it lacks,
// when the index lists a block index for it.
Arrival arriveByBlocks(PassFiles& pass, Lane& lane, const UpdateFileInfo& entry);

}  // namespace engine_detail
