// Download passes over the configured file group: compare local files by digest,
// fetch what differs over HTTP into a temporary file (from the next download
// host when one fails), verify it, unpack packages from it, and only then put
// it in place. A local file is thus either the old
// one or the verified new one, whenever the run is cut off.

#include "engine/StarterWorker.h"
#include "engine/StarterWorkerData.h"

#include "net/HttpFileDownloader.h"
#include "support/FileDigest.h"
#include "support/FileManager.h"
#include "support/Log.h"
#include "support/Package.h"
#include "support/StagedFile.h"
#include "support/TextConvert.h"

#include <boost/filesystem/path.hpp>
#include <boost/thread/thread.hpp>

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <set>
#include <functional>
#include <system_error>
#include <thread>
#include <string>
#include <utility>
#include <vector>

namespace {

// The text from the last '.' of the file name on; empty when the name has none.
std::wstring extensionOf(const std::wstring& path)
{
    const std::wstring::size_type nameStart = path.find_last_of(L"/\\");
    const std::wstring name = nameStart == std::wstring::npos ? path : path.substr(nameStart + 1);
    const std::wstring::size_type dot = name.rfind(L'.');
    return dot == std::wstring::npos ? std::wstring() : name.substr(dot);
}

// Threads that help the calling one, joined however the scope that started
// them ends; `stop`, when given, runs first so that they end soon.
class HelperThreads {
public:
    explicit HelperThreads(std::function<void()> stop = nullptr) : stop_(std::move(stop)) {}
    ~HelperThreads()
    {
        if (stop_)
            stop_();
        for (std::thread& thread : threads_)
            thread.join();
    }
    HelperThreads(const HelperThreads&) = delete;
    HelperThreads& operator=(const HelperThreads&) = delete;

    // Starts `count` threads running `work`; fewer when the system has no
    // thread to spare, and those started (with the caller) do the work.
    void start(std::size_t count, const std::function<void()>& work)
    {
        try {
            while (threads_.size() < count)
                threads_.emplace_back(work);
        } catch (const std::system_error&) {
        }
    }

private:
    std::function<void()> stop_;
    std::vector<std::thread> threads_;
};

// What a local file holds for the comparison: nothing (no file), or content with this SHA-1.
struct LocalState {
    bool present = false;
    std::string sha1;
};

LocalState readLocalState(const std::wstring& local)
{
    LocalState state;
    state.present = FileManager::instance().isFile(local);
    if (state.present)
        state.sha1 = computeFileSha1(local);
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

// Reading and hashing the local files is the whole of a start with nothing to
// do: a few threads share it, each taking the next file.
std::vector<LocalState> readLocalStates(const FileGroup& group, const std::set<std::string>& skipped)
{
    std::vector<LocalState> states(group.files.size());
    std::atomic<std::size_t> next{0};
    std::mutex failureMutex;
    std::exception_ptr failure;
    const auto work = [&] {
        try {
            for (std::size_t at = next++; at < states.size(); at = next++) {
                if (!skipped.count(group.files[at].name))
                    states[at] = readLocalState(engine_detail::localPathOf(group, group.files[at]));
            }
        } catch (...) {
            std::lock_guard<std::mutex> lock(failureMutex);
            failure = std::current_exception();
            next = states.size();
        }
    };
    const std::size_t kFilesForAThread = 64;
    const std::size_t threads = std::min<std::size_t>(
        {std::max(1u, std::thread::hardware_concurrency()), 4, states.size() / kFilesForAThread + 1});
    {
        HelperThreads helpers;
        helpers.start(threads - 1, work);
        work();
    }
    if (failure)
        std::rethrow_exception(failure);
    return states;
}

// Files this small are asked for two at a time on a lane's connection: the
// round trip, not the bytes, is what they cost.
bool isSmall(const UpdateFileInfo& entry)
{
    const std::uint64_t kSmallFile = 256 * 1024;
    return entry.file->size > 0 && entry.file->size <= kSmallFile;
}

// The path to ask for ahead of `next`'s turn: none when there is no next file,
// or when part of it is held (that part is continued instead).
std::string aheadPathOf(const UpdateFileInfo* next)
{
    if (!next)
        return std::string();
    const std::wstring local = engine_detail::localPathOf(*next->group, *next->file);
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

namespace engine_detail {

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

std::wstring localPathOf(const FileGroup& group, const gametool::FileInfo& file)
{
    if (file.name.empty())
        return group.saveDir;
    // The name passed confinedPath when it was read, so this is the same exact conversion.
    return joinPath(group.saveDir, narrowToWide(file.name));
}

}  // namespace engine_detail

void StarterWorker::collectPendingFiles()
{
    InnerData& d = *m_data;
    d.totalBytes = 0;
    d.receivedBytes = 0;
    const std::shared_ptr<FileGroup> group = d.updaterGroup;
    const std::vector<LocalState> states = readLocalStates(*group, d.unwritable);
    for (std::size_t at = 0; at < states.size(); ++at) {
        const gametool::FileInfo& file = group->files[at];
        if (d.unwritable.count(file.name))
            continue;
        if (!differs(engine_detail::localPathOf(*group, file), file.sha1, states[at]))
            continue;
        // An entry from an earlier pass is kept as it is; its size counts again.
        UpdateFileInfo entry;
        entry.file = &file;
        entry.group = group;
        d.pending.emplace(file.name, std::move(entry));
        d.totalBytes += file.size;
    }
}

bool StarterWorker::fileNeedsUpdate(const std::wstring& localPath, const std::string& expectedSha1)
{
    return differs(localPath, expectedSha1, readLocalState(localPath));
}

bool StarterWorker::enoughRoomForPending()
{
    // Every pending file's configured size, and the largest package once more:
    // its entries are written beside it while it is unpacked, and take at least
    // as much room as their compressed form.
    std::uint64_t needed = 0;
    std::uint64_t largestPackage = 0;
    for (const auto& entry : m_data->pending) {
        const gametool::FileInfo& file = *entry.second.file;
        needed += file.size;
        if (extensionOf(engine_detail::localPathOf(*entry.second.group, file)) == L".quiv")
            largestPackage = std::max(largestPackage, file.size);
    }
    needed += largestPackage;
    std::uint64_t free = 0;
    // A volume that cannot tell is not refused on a guess.
    if (!FileManager::instance().freeSpace(L".", free) || free >= needed)
        return true;
    const std::uint64_t kMiB = 1024 * 1024;
    Log::instance().write("磁盘空间不足:", "需要" + std::to_string((needed + kMiB - 1) / kMiB) + "MB",
                          "可用" + std::to_string(free / kMiB) + "MB");
    return false;
}

bool StarterWorker::downloadAndInstall()
{
    auto& pending = m_data->pending;
    std::vector<const UpdateFileInfo*> entries;
    for (const auto& entry : pending)
        entries.push_back(&entry.second);
    engine_detail::PassQueue queue(std::move(entries),
                                   std::min(pending.size(), m_data->updaterGroup->concurrentDownloads));
    // The least rate is shared by the transfers busy at each moment.
    const auto rates = std::make_shared<gametool::RateShare>(m_data->httpLimits.minimumRate);
    {
        // However this thread's own lane ends, the others take no further file.
        HelperThreads others([&queue] { queue.stop(); });
        others.start(queue.lanes() - 1, [this, &queue, &rates] {
            try {
                runLane(queue, rates, false);
            } catch (...) {
                queue.stop(std::current_exception());
            }
        });
        runLane(queue, rates, true);
    }
    if (queue.failure())
        std::rethrow_exception(queue.failure());
    std::size_t at = 0;
    for (auto it = pending.begin(); it != pending.end(); ++at) {
        if (queue.done(at))
            it = pending.erase(it);
        else
            ++it;
    }
    return pending.empty();
}

void StarterWorker::runLane(engine_detail::PassQueue& queue,
                            const std::shared_ptr<gametool::RateShare>& rates, bool onWorkerThread)
{
    engine_detail::TransferLane lane;
    lane.context = std::make_shared<gametool::HttpConnection>(bodyPieceFor(queue.lanes()));
    lane.context->setLimits(m_data->httpLimits, rates);
    lane.rates = rates;
    std::size_t at = 0;
    bool holding = false;
    for (;;) {
        // A stop request is heard between files, on the thread it was made for.
        if (onWorkerThread)
            boost::this_thread::interruption_point();
        if (!holding && !queue.take(at))
            return;
        // A small file's successor, when small too, is taken with it, so that
        // its request goes out with this one's; a large one is left to a lane
        // that may be free. One lane asks for one file at a time.
        std::size_t next = 0;
        holding = queue.lanes() > 1 && isSmall(queue.entry(at)) && queue.takeIf(next, &isSmall);
        queue.finish(at, installPending(queue.entry(at), lane, holding ? &queue.entry(next) : nullptr));
        at = next;
    }
}

bool StarterWorker::installPending(const UpdateFileInfo& entry, const engine_detail::TransferLane& lane,
                                   const UpdateFileInfo* next)
{
    const FileGroup& group = *entry.group;
    const gametool::FileInfo& file = *entry.file;
    const std::wstring local = engine_detail::localPathOf(group, file);
    // No host can send an empty range: such a file is made, not fetched.
    if (file.size == 0 && file.sha1 == kEmptySha1)
        return installEmpty(file, local);
    StagedFile staged(local, StagedFile::Kind::Download);
    // What arrived stays for the next attempt to continue, unless it proves wrong.
    // It belongs to the file, not to a host: the next host continues it.
    staged.keep();

    // The hosts in their configured order, so that the first stays the first
    // for every file; one that failed repeatedly in this run is passed over.
    const std::vector<std::string> hosts = hostsInUse(group);
    // The next file is asked for ahead only where it will be asked for first.
    const std::string aheadPath = aheadPathOf(next);
    Fetch fetched = Fetch::HostFailed;
    for (std::size_t at = 0; at < hosts.size() && fetched == Fetch::HostFailed; ++at) {
        const std::string& host = hosts[at];
        fetched = fetchFrom(lane, host, file, local, staged, at == 0 ? aheadPath : std::string());
        if (fetched == Fetch::HostFailed) {
            Log::instance().write(at + 1 < hosts.size() ? "下载失败，换下一个服务器:" : "下载失败，服务器:",
                                  host);
            noteHostFailure(group, host);
        } else {
            noteHostSuccess(host);
        }
    }
    if (fetched == Fetch::Refused)
        return true;
    if (fetched != Fetch::Verified)
        return false;
    // A package is unpacked from the verified staged file and put in place last,
    // so that the next comparison finds it current only when every entry has
    // been written. Until then the staged file stays for the next try.
    if (extensionOf(local) == L".quiv" && !unpack(group, local, staged.path()))
        return false;
    const std::string reason = staged.place();
    if (!reason.empty()) {
        Log::instance().write("保存下载文件失败:" + wideToNarrow(local), reason);
        markUnwritable(file.name);
    }
    return true;
}

StarterWorker::Fetch StarterWorker::fetchFrom(const engine_detail::TransferLane& lane,
                                              const std::string& host, const gametool::FileInfo& file,
                                              const std::wstring& local, StagedFile& staged,
                                              const std::string& aheadPath)
{
    Downloaded downloaded;
    if (!downloadOn(lane, staged, host, file, downloaded, aheadPath))
        return downloaded.failure == gametool::DownloadFailure::Local ? Fetch::Failed : Fetch::HostFailed;
    ExpectedContent expected;
    expected.sha1 = file.sha1;
    const bool signedRelease = !m_data->releaseKey.empty();
    if (signedRelease && !signedEntry(file, expected)) {
        staged.discard();
        markUnwritable(file.name);
        return Fetch::Refused;
    }
    const ContentCheck checked = staged.check(expected, downloaded.digest);
    if (checked.verdict == ContentVerdict::Sha256Differs || checked.verdict == ContentVerdict::SizeDiffers) {
        // SHA-1 alone can be forged; the release's signature says what this must be.
        Log::instance().write("发布签名无效:", std::string("文件不符 ") + kSignedHttpPrefix + file.path);
        staged.discard();
        markUnwritable(file.name);
        return Fetch::Refused;
    }
    if (!checked) {
        Log::instance().write("下载文件校验失败:" + wideToNarrow(local), checked.sha1, file.sha1);
        staged.discard();
        // A staged file this machine cannot read is no host's fault.
        return checked.verdict == ContentVerdict::Unreadable ? Fetch::Failed : Fetch::HostFailed;
    }
    return Fetch::Verified;
}

std::vector<std::string> StarterWorker::hostsInUse(const FileGroup& group)
{
    std::lock_guard<std::mutex> lock(m_data->laneMutex);
    std::vector<std::string> hosts;
    for (const std::string& host : group.hosts) {
        if (!m_data->setAsideHosts.count(host))
            hosts.push_back(host);
    }
    return hosts;
}

void StarterWorker::noteHostSuccess(const std::string& host)
{
    std::lock_guard<std::mutex> lock(m_data->laneMutex);
    m_data->hostFailures.erase(host);
}

void StarterWorker::markUnwritable(const std::string& name)
{
    std::lock_guard<std::mutex> lock(m_data->laneMutex);
    m_data->unwritable.insert(name);
}

void StarterWorker::noteHostFailure(const FileGroup& group, const std::string& host)
{
    InnerData& d = *m_data;
    std::lock_guard<std::mutex> lock(d.laneMutex);
    if (++d.hostFailures[host] < kHostFailuresSetAside)
        return;
    // The last host still in use is kept: without it nothing could arrive at all.
    const bool otherInUse =
        std::any_of(group.hosts.begin(), group.hosts.end(),
                    [&](const std::string& other) { return other != host && !d.setAsideHosts.count(other); });
    if (!otherInUse)
        return;
    d.setAsideHosts.insert(host);
    Log::instance().write("服务器多次下载失败，本次运行不再使用:", host);
}

bool StarterWorker::installEmpty(const gametool::FileInfo& file, const std::wstring& local)
{
    ExpectedContent expected;
    const bool signedRelease = !m_data->releaseKey.empty();
    if (signedRelease && (!signedEntry(file, expected) || expected.size != 0)) {
        if (expected.sizeKnown)
            Log::instance().write("发布签名无效:", std::string("文件不符 ") + kSignedHttpPrefix + file.path);
        markUnwritable(file.name);
        return true;
    }
    const std::wstring parent = boost::filesystem::path(local).parent_path().wstring();
    const FileResult made =
        parent.empty() ? FileResult::Done : FileManager::instance().createDirectories(parent);
    if (made.refused())
        onOperationRefused();
    const std::string reason = made ? writeWholeFile(local, std::string()) : "无法创建目录";
    if (!reason.empty()) {
        Log::instance().write("保存下载文件失败:" + wideToNarrow(local), reason);
        markUnwritable(file.name);
    }
    return true;
}

bool StarterWorker::signedEntry(const gametool::FileInfo& file, ExpectedContent& expected) const
{
    const auto& signedFiles = m_data->check.signedFiles;
    const auto entry = signedFiles.find(std::string(kSignedHttpPrefix) + file.path);
    if (entry == signedFiles.end()) {
        Log::instance().write("发布签名无效:", std::string("未列出的文件 ") + kSignedHttpPrefix + file.path);
        return false;
    }
    expected.sizeKnown = true;
    expected.size = entry->second.size;
    expected.sha256 = entry->second.sha256;
    return true;
}

bool StarterWorker::unpack(const FileGroup& group, const std::wstring& local, const std::wstring& package)
{
    ExtractionFailure failure;
    const FileResult unpacked = extractPackage(group.saveDir, package, &failure);
    if (unpacked)
        return true;
    if (unpacked.refused())
        onOperationRefused();
    if (failure.reason.empty())
        Log::instance().write("解压文件失败:", wideToNarrow(local));
    else
        Log::instance().write("解压文件失败:", wideToNarrow(local),
                              wideToNarrow(failure.entry) + " " + failure.reason);
    return false;
}

bool StarterWorker::downloadOn(const engine_detail::TransferLane& lane, StagedFile& staged,
                               const std::string& host, const gametool::FileInfo& file, Downloaded& result,
                               const std::string& aheadPath)
{
    gametool::HttpFileDownloader http(host, file.path, file.name, staged, lane.context);
    http.askNextAhead(aheadPath);
    http.setListener(this);
    // A configured size of 0 says nothing: the host's total is taken up to the build's ceiling.
    if (file.size > 0)
        http.setExpectedSize(file.size);
    // Busy while it transfers: the least rate is shared among those that do.
    const gametool::RateShare::Busy busy(lane.rates);
    // What an earlier pass or run left is continued; the digest check covers any mix-up.
    if (!http.download(true)) {
        result.failure = http.failure().kind;
        return false;
    }
    result.digest = http.digest();
    return true;
}
