#include "engine/DownloadPass.h"

#include "engine/BlockSync.h"

#include "net/HttpFileDownloader.h"
#include "support/FileDigest.h"
#include "support/FileManager.h"
#include "support/Log.h"
#include "support/Package.h"
#include "support/Patch.h"
#include "support/StagedFile.h"
#include "support/TextConvert.h"

#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/thread/thread.hpp>

#include <algorithm>
#include <atomic>
#include <limits>
#include <memory>
#include <system_error>
#include <thread>
#include <utility>

namespace engine_detail {

namespace {

// The text from the last '.' of the file name on; empty when the name has none.
std::wstring extensionOf(const std::wstring& path)
{
    const std::wstring::size_type nameStart = path.find_last_of(L"/\\");
    const std::wstring name = nameStart == std::wstring::npos ? path : path.substr(nameStart + 1);
    const std::wstring::size_type dot = name.rfind(L'.');
    return dot == std::wstring::npos ? std::wstring() : name.substr(dot);
}

bool isPackage(const std::wstring& local)
{
    return extensionOf(local) == L".quiv";
}

std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b)
{
    return a > std::numeric_limits<std::uint64_t>::max() - b ? std::numeric_limits<std::uint64_t>::max()
                                                             : a + b;
}

// The length of what a kept part holds for `local`; 0 when there is none.
std::uint64_t keptPartSize(const std::wstring& local)
{
    const std::wstring part = StagedFile::stagingPathOf(local, StagedFile::Kind::Download);
    FileManager& files = FileManager::instance();
    if (!files.isFile(part))
        return 0;
    boost::system::error_code error;
    const std::uint64_t size = boost::filesystem::file_size(files.resolve(part), error);
    return error ? 0 : size;
}

// What a local file holds for the comparison: nothing (no file), or content with this SHA-1.
struct LocalState {
    bool present = false;
    std::uint64_t size = 0;
    std::string sha1;
};

LocalState readLocalState(const std::wstring& local)
{
    LocalState state;
    FileManager& files = FileManager::instance();
    state.present = files.isFile(local);
    if (state.present) {
        state.sha1 = computeFileSha1(local);
        boost::system::error_code error;
        state.size = boost::filesystem::file_size(files.resolve(local), error);
        // A size it cannot tell matches no patch.
        if (error)
            state.size = std::numeric_limits<std::uint64_t>::max();
    }
    return state;
}

// Whether the local file must be fetched; says why in the log.
bool differs(const std::wstring& local, const std::string& expectedSha1, const LocalState& state)
{
    if (!state.present) {
        Log::instance().write(wideToNarrow(local), "不存在，加入更新列表");
        return true;
    }
    if (state.sha1 == expectedSha1)
        return false;
    Log::instance().write(wideToNarrow(local), state.sha1,
                          "校验失败，加入更新列表:服务器sha1:" + expectedSha1);
    return true;
}

// The files of the group that the comparison looks at: not those left out in
// this run, and of several entries naming one place only the first, so that
// no two downloads ever write one file.
std::vector<char> filesToCompare(const FileGroup& group, const std::set<std::string>& skipped)
{
    std::vector<char> compared(group.files.size(), 0);
    std::set<std::wstring> places;
    for (std::size_t at = 0; at < group.files.size(); ++at) {
        const gametool::FileInfo& file = group.files[at];
        if (skipped.count(file.name))
            continue;
        if (!places.insert(placeKey(narrowToWide(file.name))).second) {
            Log::instance().write("重复的文件，已忽略:", file.name);
            continue;
        }
        compared[at] = 1;
    }
    return compared;
}

// Reading and hashing the local files is the whole of a start with nothing to
// do: a few threads share it, each taking the next file.
std::vector<LocalState> readLocalStates(const FileGroup& group, const std::vector<char>& compared)
{
    std::vector<LocalState> states(group.files.size());
    std::vector<const UpdateFileInfo*> none;
    std::atomic<std::size_t> next{0};
    const std::size_t kFilesForAThread = 64;
    const std::size_t threads = std::min<std::size_t>(
        {std::max(1u, std::thread::hardware_concurrency()), 4, states.size() / kFilesForAThread + 1});
    PassQueue lanes(none, threads);
    workLanes(lanes, [&](bool) {
        // Once one thread failed, the others stop at their next file.
        for (std::size_t at = next++; at < states.size() && !lanes.failure(); at = next++) {
            if (compared[at])
                states[at] = readLocalState(localPathOf(group, group.files[at]));
        }
    });
    return states;
}

// Files this small are asked for two at a time on a lane's connection: the
// round trip, not the bytes, is what they cost.
bool isSmall(const UpdateFileInfo& entry)
{
    const std::uint64_t kSmallFile = 256 * 1024;
    return sizeKnown(*entry.file) && entry.file->size > 0 && entry.file->size <= kSmallFile;
}

// The path to ask for ahead of `next`'s turn: none when there is no next file,
// or when part of it is held (that part is continued instead).
std::string aheadPathOf(const UpdateFileInfo* next)
{
    if (!next)
        return std::string();
    const std::wstring local = localPathOf(*next->group, *next->file);
    const bool held =
        FileManager::instance().isFile(StagedFile::stagingPathOf(local, StagedFile::Kind::Download));
    return held ? std::string() : next->file->path;
}

// Lanes that run side by side read smaller pieces each, so that a pass holds
// about the same buffer memory however many there are.
std::size_t bodyPieceFor(std::size_t lanes)
{
    const std::size_t kPassBuffers = 4 * 1024 * 1024;
    return std::min(gametool::HttpConnection::kDefaultBodyPiece,
                    kPassBuffers / std::max<std::size_t>(lanes, 1));
}

}  // namespace

// What one lane works with: its connection and buffers, the pass's least rate
// (shared by the transfers busy at each moment), and the bytes of its
// current file counted so far, so that a file sent again (by another host, or
// after a stale part) never counts beyond its size.
struct DownloadPass::Lane : gametool::FileDownloadListener {
    Lane(const DownloadPass::Setup& setup, std::size_t lanes, std::shared_ptr<gametool::RateShare> share)
        : context(std::make_shared<gametool::HttpConnection>(bodyPieceFor(lanes))),
          rates(std::move(share)),
          setup_(setup)
    {
        context->setLimits(setup.limits, rates);
    }

    void startFile(const gametool::FileInfo& file)
    {
        counted = 0;
        countable = sizeKnown(file) ? file.size : 0;
    }
    void onBytesReceived(std::uint64_t count) override
    {
        const std::uint64_t added = std::min(count, countable - counted);
        counted += added;
        if (added > 0 && setup_.onBytes)
            setup_.onBytes(added);
    }
    void onMessage(const std::string& text) override { Log::instance().write(text); }
    void onOperationRefused() override
    {
        if (setup_.onRefused)
            setup_.onRefused();
    }

    // The one HTTP transfer of a file from a host into its staged file; false
    // with `failure` set when it did not arrive whole.
    bool transfer(const std::string& host, const gametool::FileInfo& file, StagedFile& staged,
                  const std::string& aheadPath, std::string& digest, gametool::DownloadFailure& failure)
    {
        gametool::HttpFileDownloader http(host, file.path, file.name, staged, context);
        http.askNextAhead(aheadPath);
        http.setListener(this);
        if (sizeKnown(file))
            http.setExpectedSize(file.size);
        // Busy while it transfers: the least rate is shared among those that are.
        const gametool::RateShare::Busy busy(rates);
        // What an earlier pass or run left is continued; the digest check covers any mix-up.
        if (!http.download(true)) {
            failure = http.failure().kind;
            return false;
        }
        digest = http.digest();
        return true;
    }

    std::shared_ptr<gametool::HttpConnection> context;
    std::shared_ptr<gametool::RateShare> rates;
    std::uint64_t counted = 0;
    std::uint64_t countable = 0;

private:
    const DownloadPass::Setup& setup_;
};

PassQueue::PassQueue(std::vector<const UpdateFileInfo*> entries, std::size_t lanes)
    : entries_(std::move(entries)), lanes_(std::max<std::size_t>(lanes, 1)), done_(entries_.size(), 0)
{
}

bool PassQueue::takeIf(std::size_t& at, const std::function<bool(const UpdateFileInfo&)>& wanted)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopped_ || next_ == entries_.size() || !wanted(*entries_[next_]))
        return false;
    at = next_++;
    return true;
}

bool PassQueue::take(std::size_t& at)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopped_ || next_ == entries_.size())
        return false;
    at = next_++;
    return true;
}

void PassQueue::finish(std::size_t at, bool done)
{
    std::lock_guard<std::mutex> lock(mutex_);
    done_[at] = done ? 1 : 0;
}

bool PassQueue::done(std::size_t at) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return done_[at] != 0;
}

void PassQueue::stop(std::exception_ptr failure)
{
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    if (failure && !failure_)
        failure_ = failure;
}

std::exception_ptr PassQueue::failure() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return failure_;
}

void workLanes(PassQueue& queue, const std::function<void(bool onCaller)>& lane)
{
    std::vector<std::thread> helpers;
    const auto helper = [&queue, &lane] {
        try {
            lane(false);
        } catch (...) {
            queue.stop(std::current_exception());
        }
    };
    try {
        while (helpers.size() + 1 < queue.lanes())
            helpers.emplace_back(helper);
    } catch (const std::system_error&) {
        // No thread to spare: those started, with the caller, do the work.
    }
    try {
        lane(true);
    } catch (...) {
        queue.stop(std::current_exception());
    }
    // However the caller's own lane ended, the others take no further file.
    queue.stop();
    for (std::thread& thread : helpers)
        thread.join();
    if (queue.failure())
        std::rethrow_exception(queue.failure());
}

std::wstring localPathOf(const FileGroup& group, const gametool::FileInfo& file)
{
    if (file.name.empty())
        return group.saveDir;
    // The name passed confinedPath when it was read, so this is the same exact conversion.
    return joinPath(group.saveDir, narrowToWide(file.name));
}

bool sizeKnown(const gametool::FileInfo& file)
{
    return file.size != 0 || file.sha1 == kEmptySha1;
}

std::vector<UpdateFileInfo> differingFiles(const std::shared_ptr<FileGroup>& group,
                                           const std::set<std::string>& skipped)
{
    const std::vector<char> compared = filesToCompare(*group, skipped);
    const std::vector<LocalState> states = readLocalStates(*group, compared);
    std::vector<UpdateFileInfo> differing;
    for (std::size_t at = 0; at < states.size(); ++at) {
        const gametool::FileInfo& file = group->files[at];
        if (!compared[at] || !differs(localPathOf(*group, file), file.sha1, states[at]))
            continue;
        UpdateFileInfo entry;
        entry.file = &file;
        entry.group = group;
        entry.localPresent = states[at].present;
        entry.localSize = states[at].size;
        entry.localSha1 = states[at].sha1;
        differing.push_back(std::move(entry));
    }
    return differing;
}

const DeltaPatch* patchFor(const UpdateFileInfo& entry, const DeltaIndex* index,
                           const std::set<std::string>& noPatch)
{
    if (!index || !entry.localPresent || noPatch.count(entry.file->name) || !sizeKnown(*entry.file))
        return nullptr;
    return findPatch(*index, entry.file->path, entry.file->size, entry.file->sha1, entry.localSize,
                     entry.localSha1);
}

std::uint64_t totalSize(const std::vector<const UpdateFileInfo*>& files, const DeltaIndex* index,
                        const std::set<std::string>& noPatch)
{
    std::uint64_t total = 0;
    for (const UpdateFileInfo* entry : files) {
        const DeltaPatch* patch = patchFor(*entry, index, noPatch);
        total = saturatingAdd(total, patch ? patch->patch.size : entry->file->size);
    }
    return total;
}

std::uint64_t roomNeeded(const std::vector<const UpdateFileInfo*>& pending)
{
    std::uint64_t needed = 0;
    std::uint64_t largestPackage = 0;
    for (const UpdateFileInfo* entry : pending) {
        const gametool::FileInfo& file = *entry->file;
        const std::wstring local = localPathOf(*entry->group, file);
        needed = saturatingAdd(needed, file.size - std::min(file.size, keptPartSize(local)));
        // Its entries are written beside it while it is unpacked, and take at
        // least as much room as their compressed form.
        if (isPackage(local))
            largestPackage = std::max(largestPackage, file.size);
    }
    return saturatingAdd(needed, largestPackage);
}

bool enoughRoomFor(const std::map<std::string, UpdateFileInfo>& pending)
{
    std::vector<const UpdateFileInfo*> entries;
    for (const auto& entry : pending)
        entries.push_back(&entry.second);
    const std::uint64_t needed = roomNeeded(entries);
    std::uint64_t free = 0;
    // A volume that cannot tell is not refused on a guess.
    if (!FileManager::instance().freeSpace(L".", free) || free >= needed)
        return true;
    const std::uint64_t kMiB = 1024 * 1024;
    Log::instance().write(
        "磁盘空间不足:", "需要" + std::to_string(needed / kMiB + (needed % kMiB != 0)) + "MB",
        "可用" + std::to_string(free / kMiB) + "MB");
    return false;
}

DownloadPass::DownloadPass(Setup setup) : setup_(std::move(setup))
{
    if (setup_.files.empty())
        return;
    for (const gametool::FileInfo& file : setup_.files.front()->group->files)
        groupPlaces_.insert(placeKey(narrowToWide(file.name)));
}

PassOutcome DownloadPass::run()
{
    PassQueue queue(setup_.files, std::min(setup_.files.size(), setup_.lanes));
    const auto rates = std::make_shared<gametool::RateShare>(setup_.limits.minimumRate);
    workLanes(queue, [this, &queue, &rates](bool onCaller) { runLane(queue, rates, onCaller); });
    for (std::size_t at = 0; at < queue.size(); ++at) {
        if (queue.done(at))
            outcome_.settled.insert(&queue.entry(at));
    }
    return std::move(outcome_);
}

void DownloadPass::runLane(PassQueue& queue, const std::shared_ptr<gametool::RateShare>& rates, bool onCaller)
{
    Lane lane(setup_, queue.lanes(), rates);
    std::size_t at = 0;
    bool holding = false;
    for (;;) {
        // A stop request is heard between files, on the thread it was made for.
        if (onCaller)
            boost::this_thread::interruption_point();
        if (!holding && !queue.take(at))
            return;
        // A small file's successor, when small too, is taken with it, so that
        // its request goes out with this one's; a large one is left to a lane
        // that may be free. One lane asks for one file at a time.
        std::size_t next = 0;
        holding = queue.lanes() > 1 && isSmall(queue.entry(at)) && queue.takeIf(next, &isSmall);
        queue.finish(at, install(lane, queue.entry(at), holding ? &queue.entry(next) : nullptr));
        at = next;
    }
}

bool DownloadPass::install(Lane& lane, const UpdateFileInfo& entry, const UpdateFileInfo* next)
{
    const FileGroup& group = *entry.group;
    const gametool::FileInfo& file = *entry.file;
    const std::wstring local = localPathOf(group, file);
    // No host can send an empty range: such a file is made, not fetched.
    if (file.size == 0 && file.sha1 == kEmptySha1)
        return installEmpty(file, local);
    switch (arriveOtherwise(lane, entry)) {
    case Arrival::Placed:
        return true;
    case Arrival::Retry:
        return false;
    case Arrival::Whole:
        break;
    }
    // What a patch of an earlier run left (cut off while it arrived or was
    // applied) is of no use to the whole file.
    FileManager& files = FileManager::instance();
    for (const std::wstring& leftover :
         {StagedFile::stagingPathOf(local + L".patch", StagedFile::Kind::Download),
          StagedFile::stagingPathOf(local, StagedFile::Kind::Received)}) {
        if (files.isFile(leftover))
            files.deleteFile(leftover, true);
    }
    lane.startFile(file);
    StagedFile staged(local, StagedFile::Kind::Download);
    // What arrived stays for the next attempt to continue, unless it proves wrong.
    // It belongs to the file, not to a host: the next host continues it.
    staged.keep();
    // The next file is asked for ahead only where it will be asked for first.
    const Fetch fetched = fetchFromHosts(
        lane, group, file, staged, aheadPathOf(next),
        [this, &file](StagedFile& into, const std::string& sha1) { return verifyWhole(file, into, sha1); },
        false);
    if (fetched == Fetch::Refused)
        return true;
    if (fetched != Fetch::Verified)
        return false;
    return finishInstall(entry, staged);
}

DownloadPass::Arrival DownloadPass::arriveOtherwise(Lane& lane, const UpdateFileInfo& entry)
{
    if (const DeltaPatch* patch = patchFor(entry, setup_.deltaIndex.get(), setup_.noPatch)) {
        const Arrival patched = arriveByPatch(lane, entry, *patch);
        if (patched != Arrival::Whole)
            return patched;
    }
    return arriveByBlocks(lane, entry);
}

DownloadPass::Arrival DownloadPass::arriveByBlocks(Lane& lane, const UpdateFileInfo& entry)
{
    const gametool::FileInfo& file = *entry.file;
    if (!setup_.deltaIndex || !sizeKnown(file))
        return Arrival::Whole;
    const auto listed = setup_.deltaIndex->files.find(file.path);
    if (listed == setup_.deltaIndex->files.end() || !listed->second.blocks ||
        listed->second.size != file.size || listed->second.sha1 != file.sha1)
        return Arrival::Whole;
    // The old file, else what an earlier run left of the download.
    const std::wstring local = localPathOf(*entry.group, file);
    FileManager& files = FileManager::instance();
    std::wstring copy = local;
    if (!files.isFile(copy)) {
        copy = StagedFile::stagingPathOf(local, StagedFile::Kind::Download);
        if (!files.isFile(copy))
            return Arrival::Whole;
    }
    const std::vector<std::string> hosts = setup_.hosts->inUse(entry.group->hosts);
    if (hosts.empty())
        return Arrival::Whole;
    lane.startFile(file);
    StagedFile synced(local, StagedFile::Kind::Received);
    if (!syncBlocks(lane, file, *listed->second.blocks, copy, hosts.front(), synced)) {
        // What crossed the wire for nothing still counts: the total grows by it.
        if (lane.counted > 0 && setup_.onMoreTotal)
            setup_.onMoreTotal(lane.counted);
        return Arrival::Whole;
    }
    // A part an earlier whole download left is of no further use.
    StagedFile(local, StagedFile::Kind::Download).discard();
    return finishInstall(entry, synced) ? Arrival::Placed : Arrival::Retry;
}

bool DownloadPass::syncBlocks(Lane& lane, const gametool::FileInfo& file, const DeltaPiece& index,
                              const std::wstring& copy, const std::string& host, StagedFile& output)
{
    const std::string where = gametool::transferPlace(file.path, host);
    const char* kFallback = "块同步失败，下载整个文件:";
    // Its parts are checked against its own top and group checks, which only the
    // release's signature makes worth anything.
    if (setup_.signedRelease && !setup_.signedFiles.count(std::string(kSignedHttpPrefix) + index.path)) {
        Log::instance().write(kFallback, where, "块索引未列在发布签名中");
        return false;
    }
    BlockSync sync(*lane.context, host, [&lane](std::uint64_t count) { lane.onBytesReceived(count); });
    BlockSyncOutcome outcome;
    {
        const gametool::RateShare::Busy busy(lane.rates);
        outcome = sync.run(file.path, file.size, index, copy, output);
    }
    if (outcome.kind == BlockSyncOutcome::Kind::WholeIsCheaper) {
        Log::instance().write("块同步:本地可用的块太少，下载整个文件:", where);
        return false;
    }
    if (outcome.kind == BlockSyncOutcome::Kind::Failed) {
        Log::instance().write(kFallback, where, outcome.failure);
        output.discard();
        return false;
    }
    ExpectedContent expected;
    expected.sha1 = file.sha1;
    expected.sizeKnown = true;
    expected.size = file.size;
    if (setup_.signedRelease && !signedEntry(file, expected))
        return false;
    const ContentCheck checked = output.check(expected);
    if (!checked) {
        Log::instance().write(kFallback, where, "结果校验失败 " + checked.sha1);
        output.discard();
        return false;
    }
    // The bar reaches the file's size: the local bytes count once it is whole.
    lane.onBytesReceived(outcome.localBytes);
    setup_.hosts->succeeded(host);
    Log::instance().write("块同步:" + file.name, "本地" + std::to_string(outcome.localBytes) + "字节",
                          "服务器" + std::to_string(outcome.fetchedBytes) + "字节 共传输" +
                              std::to_string(outcome.wireBytes) + "字节");
    return true;
}

DownloadPass::Arrival DownloadPass::arriveByPatch(Lane& lane, const UpdateFileInfo& entry,
                                                  const DeltaPatch& patch)
{
    const FileGroup& group = *entry.group;
    const gametool::FileInfo& file = *entry.file;
    const std::wstring local = localPathOf(group, file);
    const std::string place = wideToNarrow(local);
    // Whatever fails from here costs one line and the whole file, in this pass;
    // the total then holds the whole file instead of what did not come of the patch.
    std::uint64_t patchCounted = 0;
    const auto giveWay = [&](const std::string& why, const std::string& host) {
        Log::instance().write(
            "补丁不可用，下载整个文件:" + place, why,
            host.empty() ? patch.patch.path : gametool::transferPlace(patch.patch.path, host));
        markPatchFailed(entry);
        const std::uint64_t unsent = patch.patch.size - std::min(patch.patch.size, patchCounted);
        if (setup_.onMoreTotal && file.size > unsent)
            setup_.onMoreTotal(file.size - unsent);
        return Arrival::Whole;
    };
    if (!patchFitsAddressSpace(entry.localSize, file.size))
        return giveWay("文件过大", std::string());
    ExpectedContent expected;
    expected.sizeKnown = true;
    expected.size = patch.patch.size;
    expected.sha256 = patch.patch.sha256;
    if (setup_.signedRelease) {
        // The patch is a file of the signed release like any other.
        const auto signedPatch = setup_.signedFiles.find(std::string(kSignedHttpPrefix) + patch.patch.path);
        if (signedPatch == setup_.signedFiles.end() || signedPatch->second.size != patch.patch.size ||
            signedPatch->second.sha256 != patch.patch.sha256)
            return giveWay("补丁未签名", std::string());
    }

    gametool::FileInfo remote;
    remote.name = file.name + ".patch";
    remote.path = patch.patch.path;
    remote.size = patch.patch.size;
    lane.startFile(remote);
    // Staged beside its target like any download, and continued the same way.
    StagedFile patchStaged(local + L".patch", StagedFile::Kind::Download);
    patchStaged.keep();
    std::string host;
    const Fetch fetched = fetchFromHosts(
        lane, group, remote, patchStaged, std::string(),
        [&expected](StagedFile& into, const std::string&) {
            if (into.check(expected))
                return Fetch::Verified;
            into.discard();
            return Fetch::StalePart;
        },
        true, &host);
    patchCounted = lane.counted;
    if (fetched == Fetch::StalePart)
        return giveWay("补丁校验失败", host);
    if (fetched != Fetch::Verified)
        return Arrival::Retry;

    // The result is made apart from the resumable download of the whole file.
    StagedFile staged(local, StagedFile::Kind::Received);
    PatchResult applied;
    {
        // The old and new file are mapped while a patch is applied: one pair at
        // a time keeps what lanes side by side hold mapped to one file's worth.
        std::lock_guard<std::mutex> applying(applyMutex_);
        applied = applyPatch(local, patchStaged.path(), file.size, staged);
    }
    patchStaged.discard();
    if (!applied)
        return giveWay(applied.reason, host);
    ExpectedContent result;
    result.sha1 = file.sha1;
    if (setup_.signedRelease && !signedEntry(file, result)) {
        markUnwritable(file.name);
        return Arrival::Placed;
    }
    // applyPatch wrote exactly the listed size: the digests say the rest.
    const ContentCheck checked = staged.check(result);
    if (!checked) {
        staged.discard();
        return giveWay("补丁结果校验失败 " + checked.sha1, host);
    }
    Log::instance().write("使用补丁:" + place, "补丁" + std::to_string(patch.patch.size) + "字节/整个文件" +
                                                   std::to_string(file.size) + "字节");
    return finishInstall(entry, staged) ? Arrival::Placed : Arrival::Retry;
}

bool DownloadPass::finishInstall(const UpdateFileInfo& entry, StagedFile& staged)
{
    const FileGroup& group = *entry.group;
    const std::wstring local = localPathOf(group, *entry.file);
    // A package is unpacked from the verified staged file and put in place last,
    // so that the next comparison finds it current only when every entry has
    // been written. Until then the staged file stays for the next try.
    if (isPackage(local) && !unpack(group, local, staged.path()))
        return false;
    const std::string reason = staged.place();
    if (!reason.empty()) {
        Log::instance().write("保存下载文件失败:" + wideToNarrow(local), reason);
        markUnwritable(entry.file->name);
    }
    return true;
}

DownloadPass::Fetch DownloadPass::fetchFromHosts(Lane& lane, const FileGroup& group,
                                                 const gametool::FileInfo& file, StagedFile& staged,
                                                 const std::string& aheadPath, const Verify& verify,
                                                 bool staleEnds, std::string* usedHost)
{
    const std::wstring local = staged.target();
    // The hosts in their configured order, so that the first stays the first
    // for every file; one that failed repeatedly in this run is passed over.
    const std::vector<std::string> hosts = setup_.hosts->inUse(group.hosts);
    // A kept part that an older release or a sick host left fails the check
    // after it was continued: no fault of the host that continued it. It is
    // fetched once more from its start, from that host, before a host is blamed.
    bool staleRetried = false;
    Fetch fetched = Fetch::HostFailed;
    for (std::size_t at = 0; at < hosts.size() && fetched == Fetch::HostFailed; ++at) {
        const std::string& host = hosts[at];
        if (usedHost)
            *usedHost = host;
        const bool continued = keptPartSize(local) > 0;
        fetched = fetchFrom(lane, host, file, staged, at == 0 ? aheadPath : std::string(), verify);
        if (fetched == Fetch::StalePart && continued && !staleRetried) {
            staleRetried = true;
            fetched = fetchFrom(lane, host, file, staged, std::string(), verify);
        }
        if (fetched == Fetch::StalePart && staleEnds)
            return fetched;
        if (fetched == Fetch::StalePart)
            fetched = Fetch::HostFailed;
        if (fetched == Fetch::HostFailed) {
            Log::instance().write(at + 1 < hosts.size() ? "下载失败，换下一个服务器:" : "下载失败，服务器:",
                                  host);
            if (setup_.hosts->failed(group.hosts, host))
                Log::instance().write("服务器多次下载失败，本次运行不再使用:", host);
        } else {
            setup_.hosts->succeeded(host);
        }
    }
    return fetched;
}

DownloadPass::Fetch DownloadPass::fetchFrom(Lane& lane, const std::string& host,
                                            const gametool::FileInfo& file, StagedFile& staged,
                                            const std::string& aheadPath, const Verify& verify)
{
    std::string digest;
    gametool::DownloadFailure failure = gametool::DownloadFailure::None;
    if (!lane.transfer(host, file, staged, aheadPath, digest, failure))
        return failure == gametool::DownloadFailure::Local ? Fetch::Failed : Fetch::HostFailed;
    return verify(staged, digest);
}

DownloadPass::Fetch DownloadPass::verifyWhole(const gametool::FileInfo& file, StagedFile& staged,
                                              const std::string& digest)
{
    ExpectedContent expected;
    expected.sha1 = file.sha1;
    if (setup_.signedRelease && !signedEntry(file, expected)) {
        staged.discard();
        markUnwritable(file.name);
        return Fetch::Refused;
    }
    const ContentCheck checked = staged.check(expected, digest);
    if (checked.verdict == ContentVerdict::Sha256Differs || checked.verdict == ContentVerdict::SizeDiffers) {
        // SHA-1 alone can be forged; the release's signature says what this must be.
        Log::instance().write("发布签名无效:", std::string("文件不符 ") + kSignedHttpPrefix + file.path);
        staged.discard();
        markUnwritable(file.name);
        return Fetch::Refused;
    }
    if (!checked) {
        Log::instance().write("下载文件校验失败:" + wideToNarrow(staged.target()), checked.sha1, file.sha1);
        staged.discard();
        // A staged file this machine cannot read is no host's fault.
        return checked.verdict == ContentVerdict::Unreadable ? Fetch::Failed : Fetch::StalePart;
    }
    return Fetch::Verified;
}

bool DownloadPass::installEmpty(const gametool::FileInfo& file, const std::wstring& local)
{
    ExpectedContent expected;
    if (setup_.signedRelease && (!signedEntry(file, expected) || expected.size != 0)) {
        if (expected.sizeKnown)
            Log::instance().write("发布签名无效:", std::string("文件不符 ") + kSignedHttpPrefix + file.path);
        markUnwritable(file.name);
        return true;
    }
    const std::wstring parent = boost::filesystem::path(local).parent_path().wstring();
    const FileResult made =
        parent.empty() ? FileResult::Done : FileManager::instance().createDirectories(parent);
    if (made.refused() && setup_.onRefused)
        setup_.onRefused();
    const std::string reason = made ? writeWholeFile(local, std::string()) : "无法创建目录";
    if (!reason.empty()) {
        Log::instance().write("保存下载文件失败:" + wideToNarrow(local), reason);
        markUnwritable(file.name);
    }
    return true;
}

bool DownloadPass::signedEntry(const gametool::FileInfo& file, ExpectedContent& expected) const
{
    const auto entry = setup_.signedFiles.find(std::string(kSignedHttpPrefix) + file.path);
    if (entry == setup_.signedFiles.end()) {
        Log::instance().write("发布签名无效:", std::string("未列出的文件 ") + kSignedHttpPrefix + file.path);
        return false;
    }
    expected.sizeKnown = true;
    expected.size = entry->second.size;
    expected.sha256 = entry->second.sha256;
    return true;
}

bool DownloadPass::unpack(const FileGroup& group, const std::wstring& local, const std::wstring& package)
{
    ExtractionFailure failure;
    // Two packages may hold one entry: one unpacks at a time, so that they never
    // stage that entry's content side by side.
    std::lock_guard<std::mutex> unpacking(unpackMutex_);
    // A file the group configures is that entry's alone, whatever a package holds.
    const FileResult unpacked =
        extractPackage(group.saveDir, package, &failure,
                       [this](const std::wstring& name) { return groupPlaces_.count(placeKey(name)) != 0; });
    if (unpacked)
        return true;
    if (unpacked.refused() && setup_.onRefused)
        setup_.onRefused();
    if (failure.reason.empty())
        Log::instance().write("解压文件失败:", wideToNarrow(local));
    else
        Log::instance().write("解压文件失败:", wideToNarrow(local),
                              wideToNarrow(failure.entry) + " " + failure.reason);
    return false;
}

void DownloadPass::markPatchFailed(const UpdateFileInfo& entry)
{
    std::lock_guard<std::mutex> lock(outcomeMutex_);
    outcome_.patchFailed.insert(entry.file->name);
}

void DownloadPass::markUnwritable(const std::string& name)
{
    std::lock_guard<std::mutex> lock(outcomeMutex_);
    outcome_.unwritable.insert(name);
}

}  // namespace engine_detail

bool fileNeedsUpdate(const std::wstring& localPath, const std::string& expectedSha1)
{
    return engine_detail::differs(localPath, expectedSha1, engine_detail::readLocalState(localPath));
}
