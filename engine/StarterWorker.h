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

// The release's delta index, as launcher_info.cfg names it; an empty path: none.
struct DeltaIndexRef {
    std::string path;
    std::uint64_t size = 0;
    std::string sha1;
};

struct FileGroup {
    std::string name;
    std::wstring saveDir;
    std::vector<std::string> hosts;
    // One record per file, nothing shared: configurations list tens of thousands.
    std::vector<gametool::FileInfo> files;
    // How many files of a pass are downloaded at once.
    std::size_t concurrentDownloads = 8;
    DeltaIndexRef deltaIndex;
};

// A file that differs; kept by name in the worker's pending map.
struct UpdateFileInfo {
    // Into group->files: a group is not changed once read, and `group` keeps it.
    const gametool::FileInfo* file = nullptr;
    std::shared_ptr<FileGroup> group;
    // The local copy as the comparison found it: a patch may start from it.
    bool localPresent = false;
    std::uint64_t localSize = 0;
    std::string localSha1;
};

// What the configuration files named and the update check found: written by
// the run thread, read by the hand-off once the run has finished.
struct StarterSettings {
    std::string updaterName = "updater/Updater.exe";
    std::string gameClientPath;
    std::shared_ptr<FileGroup> updaterGroup = std::make_shared<FileGroup>();
    // The version server test.cfg names; empty without one.
    std::string versionHost;
    bool isWow64 = false;
    // Set once a check has left a new starter beside the running one; never cleared.
    bool selfUpdatePending = false;
};

// The bytes of the current download pass.
struct PassTotals {
    std::uint64_t totalBytes = 0;
    std::uint64_t receivedBytes = 0;
};

class StarterWorker {
public:
    // Bounds of the run loop, so that it neither hammers dead servers nor waits for ever.
    static constexpr int kMaxFailedChecks = 10;
    static constexpr int kMaxFailedPasses = 10;
    static constexpr std::chrono::milliseconds kFirstCheckDelay{1000};
    static constexpr std::chrono::milliseconds kMaxCheckDelay{30000};
    static constexpr std::chrono::milliseconds kPassDelay{1000};
    // The most files a configuration may have downloaded at once.
    static constexpr std::size_t kMaxConcurrentDownloads = 64;

    typedef std::function<void(std::chrono::milliseconds)> Sleeper;

    // Works in `installationDirectory` (empty: the current directory): the
    // engine's relative paths ("Log", "updater", the configurations, the files of
    // the group) are taken from it, and so are the file utilities' and the log's.
    // Events go to `eventSink` from the run thread and from its download lanes,
    // one lane's at a time but lanes side by side; no lock is held during a call.
    StarterWorker(gametool::EventSet* eventSink, const std::wstring& installationDirectory);
    ~StarterWorker();

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

    // Phases, in the order the run loop uses them.
    bool readTestConfig();
    bool runUpdateCheck();
    bool readLauncherInfo(const std::string& path);
    void collectPendingFiles();
    // One download pass over the pending files; true when none is left.
    bool downloadAndInstall();

    // Starts the configured program, or the self-replacement; true when started.
    bool handOff(const std::wstring& passThroughArg);

    // Read access for the shell and for tests.
    const StarterSettings& settings() const;
    PassTotals totals() const;
    const std::map<std::string, UpdateFileInfo>& pending() const;

    struct InnerData;

private:
    // The file system refused an operation the program does not support: the UI tells the player.
    void onOperationRefused();
    std::unique_ptr<InnerData> m_data;
};

// Whether the local file must be fetched: missing, or its SHA-1 differs; says why in the log.
bool fileNeedsUpdate(const std::wstring& localPath, const std::string& expectedSha1);
