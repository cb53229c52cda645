#include "engine/DownloadPass.h"

#include "support/FileDigest.h"
#include "support/FileManager.h"
#include "support/Log.h"
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

std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b)
{
    return a > std::numeric_limits<std::uint64_t>::max() - b ? std::numeric_limits<std::uint64_t>::max()
                                                             : a + b;
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

}  // namespace

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

DownloadPass::DownloadPass(Setup setup) : setup_(std::move(setup)), files_(setup_) {}

PassOutcome DownloadPass::run()
{
    PassQueue queue(setup_.files, std::min(setup_.files.size(), setup_.lanes));
    const auto rates = std::make_shared<gametool::RateShare>(setup_.limits.minimumRate);
    workLanes(queue, [this, &queue, &rates](bool onCaller) { runLane(queue, rates, onCaller); });
    PassOutcome outcome = files_.takeOutcome();
    for (std::size_t at = 0; at < queue.size(); ++at) {
        if (queue.done(at))
            outcome.settled.insert(&queue.entry(at));
    }
    return outcome;
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
        return files_.installEmpty(file, local);
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
    const Fetch fetched = files_.fetchFromHosts(
        lane, group, file, staged, aheadPathOf(next),
        [this, &file](StagedFile& into, const std::string& sha1) {
            return files_.verifyWhole(file, into, sha1);
        },
        false);
    if (fetched == Fetch::Refused)
        return true;
    if (fetched != Fetch::Verified)
        return false;
    return files_.finishInstall(entry, staged);
}

Arrival DownloadPass::arriveOtherwise(Lane& lane, const UpdateFileInfo& entry)
{
    if (const DeltaPatch* patch = patchFor(entry, setup_.deltaIndex.get(), setup_.noPatch)) {
        const Arrival patched = arriveByPatch(files_, lane, entry, *patch);
        if (patched != Arrival::Whole)
            return patched;
    }
    return arriveByBlocks(files_, lane, entry);
}

}  // namespace engine_detail

bool fileNeedsUpdate(const std::wstring& localPath, const std::string& expectedSha1)
{
    return engine_detail::differs(localPath, expectedSha1, engine_detail::readLocalState(localPath));
}
