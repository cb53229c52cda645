// Construction, start and run loop of the worker, its listener operations and
// the events it sends to its sink.

#include "engine/StarterWorker.h"
#include "engine/StarterWorkerData.h"

#include "net/FileDownloader.h"
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

}  // namespace

StarterWorker::StarterWorker(gametool::EventSet* eventSink, const std::wstring& installationDirectory)
    : m_data(new InnerData)
{
    FileManager::instance().setRoot(installationDirectory);
    m_data->eventSink = eventSink;
    m_data->isWow64 = platform::isWow64();
    m_data->updaterName = "updater/Updater.exe";
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
        result = runLoop();
    } catch (const boost::thread_interrupted&) {
        // Someone asked the thread to stop: it ends without a word.
        return;
    } catch (const std::exception& e) {
        Log::instance().write(e.what());
        // The window waits for Finished; it must get one.
        result = ResultConfigurationFailed;
    }

    try {
        emit(UpdateEvent::Finished, EventValue(result), EventValue(std::uint64_t(0)));
    } catch (const boost::thread_interrupted&) {
        return;
    } catch (const std::exception& e) {
        Log::instance().write(e.what());
    }
}

std::int32_t StarterWorker::runLoop()
{
    InnerData& d = *m_data;
    d.hostFailures.clear();
    d.setAsideHosts.clear();
    d.firstVersionHost = 0;

    // Update checks until one succeeds, with a growing pause in between.
    using CheckStatus = engine_detail::CheckOutcome::Status;
    int failedChecks = 0;
    bool serverReached = false;
    std::chrono::milliseconds delay = kFirstCheckDelay;
    while (!runUpdateCheck()) {
        // A delivery the publisher did not sign is not asked for again, and a
        // manifest this disk cannot hold would not fit next time either.
        if (d.check.status == CheckStatus::Refused || d.check.status == CheckStatus::NotWritable)
            return ResultConfigurationFailed;
        // 2 tells the player no server could be reached; a server that answered wrongly is a failed update.
        serverReached = serverReached || d.check.status != CheckStatus::Unreachable;
        if (++failedChecks >= kMaxFailedChecks)
            return serverReached ? ResultConfigurationFailed : ResultServerUnreachable;
        d.sleeper(delay);
        delay = std::min(delay * 2, kMaxCheckDelay);
    }

    pruneLogFiles();

    // A configuration the update check delivered under "updater" wins.
    std::string configPath = "launcher_info.cfg";
    const std::wstring deliveredConfig = joinPath(updaterDirectory, L"launcher_info.cfg");
    if (FileManager::instance().isFile(deliveredConfig))
        configPath = wideToNarrow(deliveredConfig);
    if (!readLauncherInfo(configPath))
        return ResultConfigurationFailed;

    // Download passes until one installs everything, with a pause after each failed one.
    // A file that could not be written is no reason to stop the others, but the
    // installation is not complete: no hand-off.
    int failedPasses = 0;
    const auto installed = [&d] { return d.unwritable.empty() ? ResultSuccess : ResultConfigurationFailed; };
    for (;;) {
        collectPendingFiles();
        if (d.pending.empty())
            return installed();
        if (!enoughRoomForPending())
            return ResultConfigurationFailed;
        emit(UpdateEvent::Progress, EventValue(d.receivedBytes), EventValue(d.totalBytes));
        if (downloadAndInstall())
            return installed();
        ++failedPasses;
        // 1 is also the plain failure the window shows for files that will not install.
        if (failedPasses >= kMaxFailedPasses)
            return ResultConfigurationFailed;
        d.sleeper(kPassDelay);
    }
}

void StarterWorker::onBytesReceived(std::uint64_t count)
{
    {
        std::lock_guard<std::mutex> lock(m_data->laneMutex);
        m_data->receivedBytes += count;
    }
    emit(UpdateEvent::BytesReceived, EventValue(count), EventValue(std::uint64_t(0)));
}

void StarterWorker::onMessage(const std::string& text)
{
    Log::instance().write(text);
}

void StarterWorker::onOperationRefused()
{
    emit(UpdateEvent::OperationRefused, EventValue(std::uint64_t(0)), EventValue(std::uint64_t(0)));
}

void StarterWorker::onDownloadComplete(const std::string& first, const std::string& second)
{
    Log::instance().write("下载完成", second, first);
}

void StarterWorker::emit(std::int32_t kind, const EventValue& first, const EventValue& second)
{
    UpdateEvent event{kind, first, second};
    std::lock_guard<std::mutex> lock(m_data->eventMutex);
    if (m_data->eventSink)
        m_data->eventSink->onEvent(event);
}

const std::string& StarterWorker::updaterName() const
{
    return m_data->updaterName;
}
const std::string& StarterWorker::gameClientPath() const
{
    return m_data->gameClientPath;
}
std::shared_ptr<FileGroup> StarterWorker::updaterGroup() const
{
    return m_data->updaterGroup;
}
const std::string& StarterWorker::versionHost() const
{
    return m_data->versionHost;
}
bool StarterWorker::selfUpdatePending() const
{
    return m_data->selfUpdatePending;
}
bool StarterWorker::isWow64() const
{
    return m_data->isWow64;
}
std::uint64_t StarterWorker::totalBytes() const
{
    return m_data->totalBytes;
}
std::uint64_t StarterWorker::receivedBytes() const
{
    return m_data->receivedBytes;
}

const std::map<std::string, UpdateFileInfo>& StarterWorker::pending() const
{
    return m_data->pending;
}
