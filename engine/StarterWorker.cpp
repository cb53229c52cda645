// Construction, start and run loop of the worker, its entry points to the
// download passes, and the events it sends.

#include "engine/StarterWorker.h"
#include "engine/StarterWorkerData.h"
#include "engine/DeltaIndexFetch.h"
#include "engine/DownloadPass.h"

#include "platform/Platform.h"
#include "support/FileManager.h"
#include "support/Log.h"
#include "support/LogPruning.h"
#include "support/TextConvert.h"

#include <boost/date_time/posix_time/posix_time_duration.hpp>
#include <boost/thread/thread.hpp>

#include <algorithm>
#include <exception>
#include <utility>

namespace {

// An interruption point, so that a stop request cuts a wait short.
void sleepInterruptibly(std::chrono::milliseconds duration)
{
    boost::this_thread::sleep(boost::posix_time::milliseconds(duration.count()));
}

// The phases in order; the result code that Finished carries.
std::int32_t runPhases(StarterWorker& worker, StarterWorker::InnerData& d)
{
    d.downloadHosts.clear();
    d.versionHostOrder.clear();

    // Update checks until one succeeds, with a growing pause in between.
    using CheckStatus = engine_detail::CheckOutcome::Status;
    int failedChecks = 0;
    bool serverReached = false;
    std::chrono::milliseconds delay = StarterWorker::kFirstCheckDelay;
    while (!worker.runUpdateCheck()) {
        // A delivery the publisher did not sign is not asked for again, and a
        // manifest this disk cannot hold would not fit next time either.
        if (d.check.status == CheckStatus::Refused || d.check.status == CheckStatus::NotWritable)
            return ResultConfigurationFailed;
        // 2 tells the player no server could be reached; a server that answered wrongly is a failed update.
        serverReached = serverReached || d.check.status != CheckStatus::Unreachable;
        if (++failedChecks >= StarterWorker::kMaxFailedChecks)
            return serverReached ? ResultConfigurationFailed : ResultServerUnreachable;
        d.sleeper(delay);
        delay = std::min(delay * 2, StarterWorker::kMaxCheckDelay);
    }

    pruneLogFiles();

    // A configuration the update check delivered under "updater" wins.
    std::string configPath = "launcher_info.cfg";
    const std::wstring deliveredConfig = joinPath(updaterDirectory, L"launcher_info.cfg");
    if (FileManager::instance().isFile(deliveredConfig))
        configPath = wideToNarrow(deliveredConfig);
    if (!worker.readLauncherInfo(configPath))
        return ResultConfigurationFailed;

    // Download passes until one installs everything, with a pause after each failed one.
    // A file that could not be written is no reason to stop the others, but the
    // installation is not complete: no hand-off.
    int failedPasses = 0;
    const auto installed = [&d] { return d.unwritable.empty() ? ResultSuccess : ResultConfigurationFailed; };
    for (;;) {
        worker.collectPendingFiles();
        if (d.pending.empty())
            return installed();
        if (!engine_detail::enoughRoomFor(d.pending))
            return ResultConfigurationFailed;
        d.events.progress(d.receivedBytes, d.totalBytes);
        if (worker.downloadAndInstall())
            return installed();
        ++failedPasses;
        // 1 is also the plain failure the window shows for files that will not install.
        if (failedPasses >= StarterWorker::kMaxFailedPasses)
            return ResultConfigurationFailed;
        d.sleeper(StarterWorker::kPassDelay);
    }
}

}  // namespace

StarterWorker::StarterWorker(gametool::EventSet* eventSink, const std::wstring& installationDirectory)
    : m_data(new InnerData(eventSink))
{
    FileManager::instance().setRoot(installationDirectory);
    m_data->isWow64 = platform::isWow64();
    m_data->sleeper = &sleepInterruptibly;
    m_data->builtInHosts = {LAUNCHER_VERSION_HOST_1, LAUNCHER_VERSION_HOST_2};
    m_data->releaseKey = kBuiltInReleaseKey;
    m_data->utcClock = &utcNow;

    // Both may exist already; any failure shows up later, where the files are written.
    FileManager::instance().createDirectory(L"Log");
    FileManager::instance().createDirectory(updaterDirectory);
}

StarterWorker::~StarterWorker()
{
    // The owner keeps the worker for the life of the process; a thread that still
    // runs is let go rather than waited for.
    if (m_data->thread && m_data->thread->joinable())
        m_data->thread->detach();
}

void StarterWorker::start()
{
    m_data->thread = std::make_shared<boost::thread>(&StarterWorker::run, this);
}

void StarterWorker::join()
{
    if (m_data->thread && m_data->thread->joinable())
        m_data->thread->join();
}

void StarterWorker::setSleeper(Sleeper sleeper)
{
    m_data->sleeper = sleeper ? std::move(sleeper) : Sleeper(&sleepInterruptibly);
}

void StarterWorker::setBuiltInHosts(const std::vector<std::string>& hosts)
{
    m_data->builtInHosts = hosts;
}

void StarterWorker::setReleaseKey(const std::string& publicKeyPem)
{
    m_data->releaseKey = publicKeyPem;
}

void StarterWorker::setTransferDeadline(std::chrono::milliseconds base, std::uint64_t minimumRate)
{
    m_data->versionDeadlines.limits.grace = base;
    m_data->versionDeadlines.limits.minimumRate = minimumRate;
    m_data->httpLimits.grace = base;
    m_data->httpLimits.minimumRate = minimumRate;
}

void StarterWorker::setUtcClock(std::function<std::int64_t()> clock)
{
    m_data->utcClock = clock ? std::move(clock) : std::function<std::int64_t()>(&utcNow);
}

void StarterWorker::run()
{
    std::int32_t result = ResultConfigurationFailed;
    try {
        result = runPhases(*this, *m_data);
    } catch (const boost::thread_interrupted&) {
        // Someone asked the thread to stop: it ends without a word.
        return;
    } catch (const std::exception& e) {
        Log::instance().write(e.what());
        // The window waits for Finished; it must get one.
        result = ResultConfigurationFailed;
    }

    try {
        m_data->events.finished(result);
    } catch (const boost::thread_interrupted&) {
        return;
    } catch (const std::exception& e) {
        Log::instance().write(e.what());
    }
}

void StarterWorker::collectPendingFiles()
{
    InnerData& d = *m_data;
    d.totalBytes = 0;
    d.receivedBytes = 0;
    const std::shared_ptr<FileGroup> group = d.updaterGroup;
    // An entry from an earlier pass is kept as it is.
    for (UpdateFileInfo& entry : engine_detail::differingFiles(group, d.unwritable))
        d.pending.emplace(entry.file->name, std::move(entry));
    // Every pending file is fetched, a kept one that has become current too:
    // the total covers them all, so that what arrives never exceeds it.
    std::vector<const UpdateFileInfo*> entries;
    bool anyLocalCopy = false;
    for (const auto& entry : d.pending) {
        entries.push_back(&entry.second);
        anyLocalCopy = anyLocalCopy || entry.second.localPresent;
    }
    // A patch starts from a local copy: without one, the index is not worth its bytes.
    if (anyLocalCopy && !d.deltaIndexTried && !group->deltaIndex.path.empty()) {
        d.deltaIndexTried = true;
        engine_detail::DeltaIndexSource source;
        source.group = group.get();
        source.hosts = &d.downloadHosts;
        source.limits = d.httpLimits;
        source.signedRelease = !d.releaseKey.empty();
        source.signedFiles = &d.check.signedFiles;
        source.stagingTarget = joinPath(updaterDirectory, L"delta_index.cfg");
        d.deltaIndex = engine_detail::fetchDeltaIndex(source);
    }
    d.totalBytes = engine_detail::totalSize(entries, d.deltaIndex.get(), d.noPatch);
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
    setup.limits = d.httpLimits;
    setup.lanes = d.updaterGroup->concurrentDownloads;
    setup.onBytes = [&d](std::uint64_t count) {
        d.receivedBytes += count;
        d.events.bytes(count);
    };
    setup.onRefused = [&d] { d.events.refused(); };
    setup.deltaIndex = d.deltaIndex;
    setup.noPatch = d.noPatch;
    setup.onMoreTotal = [&d](std::uint64_t count) {
        d.totalBytes += count;
        d.events.progress(d.receivedBytes, d.totalBytes);
    };

    const engine_detail::PassOutcome outcome = engine_detail::DownloadPass(std::move(setup)).run();
    d.unwritable.insert(outcome.unwritable.begin(), outcome.unwritable.end());
    d.noPatch.insert(outcome.patchFailed.begin(), outcome.patchFailed.end());
    for (auto it = d.pending.begin(); it != d.pending.end();) {
        if (outcome.settled.count(&it->second))
            it = d.pending.erase(it);
        else
            ++it;
    }
    return d.pending.empty();
}

void StarterWorker::onOperationRefused()
{
    m_data->events.refused();
}

const StarterSettings& StarterWorker::settings() const
{
    return *m_data;
}

PassTotals StarterWorker::totals() const
{
    PassTotals totals;
    totals.totalBytes = m_data->totalBytes;
    totals.receivedBytes = m_data->receivedBytes;
    return totals;
}

const std::map<std::string, UpdateFileInfo>& StarterWorker::pending() const
{
    return m_data->pending;
}

bool StarterWorker::runUpdateCheck()
{
    InnerData& d = *m_data;
    d.receivedBytes = 0;
    d.totalBytes = 0;
    engine_detail::UpdateCheck::Setup setup;
    setup.builtIn = !readTestConfig();
    setup.hosts =
        d.versionHostOrder.ordered(setup.builtIn ? d.builtInHosts : std::vector<std::string>{d.versionHost});
    setup.isWow64 = d.isWow64;
    setup.releaseKey = d.releaseKey;
    setup.utcClock = d.utcClock;
    setup.deadlines = d.versionDeadlines;
    setup.digests = d.localDigests;
    setup.skip = d.unwritable;
    setup.onOperationRefused = [this] { onOperationRefused(); };

    const std::size_t hostCount = setup.hosts.size();
    d.check = engine_detail::UpdateCheck(std::move(setup)).run();
    // A server that was reached but stalled or answered wrongly may be sick:
    // the next check asks the other one first. A failed connect changes nothing,
    // as the check has already tried every host in turn.
    if (d.check.status == engine_detail::CheckOutcome::Status::Failed)
        d.versionHostOrder.answeredWrongly(d.check.connectedHost, hostCount);
    d.unwritable.insert(d.check.unwritable.begin(), d.check.unwritable.end());
    // Only ever set: the UI thread may read it while a later check runs.
    if (d.check.selfUpdatePending)
        d.selfUpdatePending = true;
    return d.check.status == engine_detail::CheckOutcome::Status::Succeeded;
}
