#pragma once
// The update engine: runs the whole update on a thread of its own and reports
// to its event sink; after success the UI thread calls handOff.

#include "engine/EngineTypes.h"
#include "net/FileDownloader.h"
#include "support/UpdaterDirectory.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct ExpectedContent;
class StagedFile;

namespace gametool {
class HttpConnection;
class RateShare;
}  // namespace gametool

namespace engine_detail {
class PassQueue;
struct TransferLane;
}  // namespace engine_detail

namespace boost {
namespace filesystem {
class path;
}
}  // namespace boost

struct FileGroup {
    std::string name;
    std::wstring saveDir;
    std::vector<std::string> hosts;
    // One record per file, nothing shared: configurations list tens of thousands.
    std::vector<gametool::FileInfo> files;
    // How many files of a pass are downloaded at once.
    std::size_t concurrentDownloads = 8;
};

// A file that differs; kept by name in the worker's pending map.
struct UpdateFileInfo {
    // Into group->files: a group is not changed once read, and `group` keeps it.
    const gametool::FileInfo* file = nullptr;
    std::shared_ptr<FileGroup> group;
    bool flag = false;
};

class StarterWorker : public gametool::FileDownloadListener {
public:
    // Bounds of the run loop, so that it neither hammers dead servers nor waits for ever.
    static constexpr int kMaxFailedChecks = 10;
    static constexpr int kMaxFailedPasses = 10;
    static constexpr std::chrono::milliseconds kFirstCheckDelay{1000};
    static constexpr std::chrono::milliseconds kMaxCheckDelay{30000};
    static constexpr std::chrono::milliseconds kPassDelay{1000};
    // A download host that failed this many times in a row is passed over for the rest of the run.
    static constexpr int kHostFailuresSetAside = 3;
    // The most files a configuration may have downloaded at once.
    static constexpr std::size_t kMaxConcurrentDownloads = 64;

    typedef std::function<void(std::chrono::milliseconds)> Sleeper;

    // Works in `installationDirectory` (empty: the current directory): the
    // engine's relative paths ("Log", "updater", the configurations, the files of
    // the group) are taken from it, and so are the file utilities' and the log's.
    StarterWorker(gametool::EventSet* eventSink, const std::wstring& installationDirectory);
    ~StarterWorker() override;
    StarterWorker(const StarterWorker&) = delete;
    StarterWorker& operator=(const StarterWorker&) = delete;

    // Starts run() on its own thread.
    void start();
    // The thread body; emits Finished as its last act.
    void run();
    // Waits for the run thread, if one was started (tests and the terminal front end).
    void join();

    // How the run loop waits between attempts; tests make it instant.
    void setSleeper(Sleeper sleeper);
    // The built-in version-server hosts (the deployment's, by default).
    void setBuiltInHosts(const std::vector<std::string>& hosts);
    // The public key release.sig must be signed with (the built-in one, by
    // default; empty: deliveries are not checked), and the clock its expiry is
    // judged by (seconds since 1970 UTC; the system's, by default).
    void setReleaseKey(const std::string& publicKeyPem);
    void setUtcClock(std::function<std::int64_t()> clock);
    // Every transfer, from either kind of server, may take `base` plus its size
    // at `minimumRate` bytes a second; tests shorten it.
    void setTransferDeadline(std::chrono::milliseconds base, std::uint64_t minimumRate);

    void onBytesReceived(std::uint64_t count) override;
    void onMessage(const std::string& text) override;
    // The file system refused an operation the program does not support: the UI tells the player.
    void onOperationRefused() override;
    virtual void onDownloadComplete(const std::string& first, const std::string& second);

    // Phases, in the order the run loop uses them.
    bool readTestConfig();
    bool runUpdateCheck();
    bool readLauncherInfo(const std::string& path);
    void collectPendingFiles();
    bool downloadAndInstall();
    bool fileNeedsUpdate(const std::wstring& localPath, const std::string& expectedSha1);
    // The SHA-1 text of what a download staged.
    struct Downloaded {
        std::string digest;
        // Why the download failed, when it did.
        gametool::DownloadFailure failure = gametool::DownloadFailure::None;
    };

    // Starts the configured program, or the self-replacement; true when started.
    bool handOff(const std::wstring& passThroughArg);

    // Read access for the shell and for tests.
    const std::string& updaterName() const;
    const std::string& gameClientPath() const;
    std::shared_ptr<FileGroup> updaterGroup() const;
    const std::string& versionHost() const;
    bool selfUpdatePending() const;
    bool isWow64() const;
    std::uint64_t totalBytes() const;
    std::uint64_t receivedBytes() const;
    const std::map<std::string, UpdateFileInfo>& pending() const;

    struct InnerData;

private:
    // The phases in order; the result code that Finished carries.
    std::int32_t runLoop();
    // Takes pending files from the pass's queue until it is empty or stopped;
    // each lane has its own transfer context and connection.
    void runLane(engine_detail::PassQueue& queue, const std::shared_ptr<gametool::RateShare>& rates,
                 bool onWorkerThread);
    // One pending file fetched, checked, unpacked and put in place; true when it
    // needs no further attempt in this run.
    // `next`, when given, is the file the lane takes next: its request may go with this one's.
    bool installPending(const UpdateFileInfo& entry, const engine_detail::TransferLane& lane,
                        const UpdateFileInfo* next = nullptr);
    bool downloadOn(const engine_detail::TransferLane& lane, StagedFile& staged, const std::string& host,
                    const gametool::FileInfo& file, Downloaded& result,
                    const std::string& aheadPath = std::string());
    // One host's attempt at a file. HostFailed: the next host may do better;
    // Failed: none would (this machine's fault); Refused: the release refuses it.
    enum class Fetch { Verified, HostFailed, Failed, Refused };
    Fetch fetchFrom(const engine_detail::TransferLane& lane, const std::string& host,
                    const gametool::FileInfo& file, const std::wstring& local, StagedFile& staged,
                    const std::string& aheadPath);
    // The group's hosts in their order, without those set aside in this run.
    std::vector<std::string> hostsInUse(const FileGroup& group);
    void noteHostFailure(const FileGroup& group, const std::string& host);
    void noteHostSuccess(const std::string& host);
    void markUnwritable(const std::string& name);
    bool unpack(const FileGroup& group, const std::wstring& local, const std::wstring& package);
    bool installEmpty(const gametool::FileInfo& file, const std::wstring& local);
    // Whether the volume holds what the pending files need; logs both figures when not.
    bool enoughRoomForPending();
    // The size and SHA-256 the release signed for a file of the group; false (logged) when unlisted.
    bool signedEntry(const gametool::FileInfo& file, ExpectedContent& expected) const;
    void emit(std::int32_t kind, const EventValue& first, const EventValue& second);
    std::unique_ptr<InnerData> m_data;
};
