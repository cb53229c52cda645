// The worker's entry points to the download passes: the comparison of the
// group's local files, which makes the pending list, and one pass over it.

#include "engine/StarterWorker.h"
#include "engine/StarterWorkerData.h"
#include "engine/DownloadPass.h"

#include "support/FileDigest.h"
#include "support/FileManager.h"
#include "support/Log.h"
#include "support/TextConvert.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

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
    engine_detail::PassQueue lanes(none, threads);
    engine_detail::workLanes(lanes, [&](bool) {
        for (std::size_t at = next++; at < states.size(); at = next++) {
            if (compared[at])
                states[at] = readLocalState(engine_detail::localPathOf(group, group.files[at]));
        }
    });
    return states;
}

}  // namespace

void StarterWorker::collectPendingFiles()
{
    InnerData& d = *m_data;
    d.totalBytes = 0;
    d.receivedBytes = 0;
    const std::shared_ptr<FileGroup> group = d.updaterGroup;
    const std::vector<char> compared = filesToCompare(*group, d.unwritable);
    const std::vector<LocalState> states = readLocalStates(*group, compared);
    for (std::size_t at = 0; at < states.size(); ++at) {
        const gametool::FileInfo& file = group->files[at];
        if (!compared[at] || !differs(engine_detail::localPathOf(*group, file), file.sha1, states[at]))
            continue;
        // An entry from an earlier pass is kept as it is.
        UpdateFileInfo entry;
        entry.file = &file;
        entry.group = group;
        d.pending.emplace(file.name, std::move(entry));
    }
    // Every pending file is fetched, a kept one that has become current too:
    // the total covers them all, so that what arrives never exceeds it.
    std::vector<const UpdateFileInfo*> entries;
    for (const auto& entry : d.pending)
        entries.push_back(&entry.second);
    d.totalBytes = engine_detail::totalSize(entries);
}

bool fileNeedsUpdate(const std::wstring& localPath, const std::string& expectedSha1)
{
    return differs(localPath, expectedSha1, readLocalState(localPath));
}

bool StarterWorker::downloadAndInstall()
{
    InnerData& d = *m_data;
    engine_detail::DownloadPass::Setup setup;
    for (const auto& entry : d.pending)
        setup.files.push_back(&entry.second);
    setup.signedRelease = !d.releaseKey.empty();
    setup.signedFiles = d.check.signedFiles;
    setup.hosts = &d.downloadHosts;
    setup.transferDeadline = d.httpTransferDeadline;
    setup.minimumRate = d.httpMinimumRate;
    setup.lanes = d.updaterGroup->concurrentDownloads;
    setup.onBytes = [&d](std::uint64_t count) {
        d.receivedBytes += count;
        d.events.bytes(count);
    };
    setup.onRefused = [&d] { d.events.refused(); };

    const engine_detail::PassOutcome outcome = engine_detail::DownloadPass(std::move(setup)).run();
    d.unwritable.insert(outcome.unwritable.begin(), outcome.unwritable.end());
    for (auto it = d.pending.begin(); it != d.pending.end();) {
        if (outcome.settled.count(&it->second))
            it = d.pending.erase(it);
        else
            ++it;
    }
    return d.pending.empty();
}
