#pragma once
// One update check against a version server, over one connection: connect,
// fetch the manifest, check the release, apply the deletion list, fetch the
// listed files. Every delivery goes through the release guard to its place.
// Nothing engine/ includes outside engine/.

#include "engine/ReleaseGuard.h"
#include "net/VersionClient.h"
#include "support/InfoFile.h"

#include <cstddef>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace engine_detail {

struct CheckOutcome {
    enum class Status {
        Succeeded,    // every listed file fetched or current
        Failed,       // a server answered, but not everything arrived: try again
        Unreachable,  // no version server could be connected to: try again
        Refused,      // the release's signature refused a delivery: do not ask again
        NotWritable,  // files.cfg could not be written here: asking again cannot help
    };
    Status status = Status::Failed;
    // The index in Setup::hosts of the server connected to; none when Unreachable.
    std::size_t connectedHost = 0;
    // Server files that arrived but could not be written here; not asked for again in this run.
    std::set<std::string> unwritable;
    // A new starter waits beside the running one for the hand-off.
    bool selfUpdatePending = false;
    // What the accepted release signed; empty without a release key.
    std::map<std::string, ReleaseFile> signedFiles;
};

class UpdateCheck {
public:
    struct Setup {
        // Tried in order; `builtIn` says they are the deployment's, not test.cfg's.
        std::vector<std::string> hosts;
        bool builtIn = true;
        bool isWow64 = false;
        std::string releaseKey;
        ReleaseGuard::Clock utcClock;
        VersionClient::Deadlines deadlines;
        // Written without success earlier in this run: the same bytes would fail again.
        std::set<std::string> skip;
        // The file system refused an operation the program does not support.
        std::function<void()> onOperationRefused;
    };

    explicit UpdateCheck(Setup setup);
    CheckOutcome run();

private:
    bool connect();
    // Asks for `name` with the digest of `local`, within what the release allows.
    // A refusal sets the outcome's status and gives Failed.
    FetchResult fetchVerified(const std::string& name, const std::wstring& local, StagedFile& into);
    FetchResult refused();
    // Acts on what the guard made of a delivery; false when it was refused.
    bool admitted(const std::string& name, ReleaseGuard::Admitted admission);
    bool fetchManifest(InfoEntries& entries);
    bool applyDeletionList(InfoEntries& entries);
    bool fetchListedFiles(const InfoEntries& entries);
    // One listed file; false when it did not arrive.
    bool fetchListedFile(const std::string& key, const std::string& value);
    // Where the server's entry (key, value) lives locally; none when unsafe.
    bool localPathOf(const std::string& key, const std::string& value, std::wstring& local);
    void noteUnwritable(const std::string& name);

    Setup setup_;
    VersionClient client_;
    ReleaseGuard guard_;
    CheckOutcome outcome_;
    std::string starterKey_;
};

}  // namespace engine_detail
