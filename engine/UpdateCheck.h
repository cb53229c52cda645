#pragma once
// One update check against a version server, over one connection: connect,
// fetch the manifest, check the release, apply the deletion list, fetch the
// listed files. Every delivery goes through the release guard to its place.
// Nothing engine/ includes outside engine/.

#include "engine/ReleaseGuard.h"
#include "net/VersionClient.h"
#include "support/FileDigest.h"
#include "support/InfoFile.h"

#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
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
        // Digests of local files kept from one check to the next; none: each is read.
        std::shared_ptr<DigestCache> digests;
        // Written without success earlier in this run: the same bytes would fail again.
        std::set<std::string> skip;
        // The file system refused an operation the program does not support.
        std::function<void()> onOperationRefused;
    };

    explicit UpdateCheck(Setup setup);
    CheckOutcome run();

private:
    // One server file from its request to what is done with it.
    struct Delivery {
        Delivery() = default;
        // A file of the updater directory: its own digest sent, its content put in its place.
        Delivery(const std::string& serverName, const std::wstring& place)
            : name(serverName), local(place), target(place)
        {
        }

        std::string name;
        std::wstring local;      // whose digest is sent
        std::wstring target;     // where the content goes
        std::wstring directory;  // made just before the content arrives
        bool unsafe = false;     // never asked for; logged in its turn
        bool starter = false;
        bool forced = false;  // asked again whatever the server holds
        bool done = false;
        ReplyBound bound;
        std::unique_ptr<StagedFile> received;
        FetchResult result = FetchResult::Failed;
    };

    bool connect();
    // Asks for `delivery` alone and takes its reply, within what the release
    // allows. A refusal sets the outcome's status and gives Failed.
    FetchResult fetchVerified(Delivery& delivery);
    void ask(Delivery& delivery);
    // Takes the next reply due; the delivery it belongs to is done unless it had
    // to be asked for again.
    void takeReply();
    FetchResult refused();
    // Acts on what the guard made of a delivery; false when it was refused.
    bool admitted(const std::string& name, ReleaseGuard::Admitted admission);
    bool fetchManifest(InfoEntries& entries);
    bool applyDeletionList(InfoEntries& entries);
    // The listed files are asked for ahead of their replies, and acted on in order.
    bool fetchListedFiles(const InfoEntries& entries);
    // Asks for the entries from `next` on while the connection has room; false
    // when a refusal ended the check.
    bool askAhead(InfoEntries::const_iterator& next, InfoEntries::const_iterator end);
    // What a listed file's reply comes to; false when it did not arrive.
    bool settleListed(Delivery& listed);
    // Where the server's entry (key, value) lives locally, and the directory to
    // make for it; false when unsafe.
    bool localPathOf(const std::string& key, const std::string& value, std::wstring& local,
                     std::wstring& directory);
    void noteUnwritable(const std::string& name);

    Setup setup_;
    VersionClient client_;
    ReleaseGuard guard_;
    CheckOutcome outcome_;
    std::string starterKey_;
    // The listed files in map order, from the oldest not yet acted on.
    std::deque<Delivery> window_;
    // Where those not yet acted on go, letter case and separators folded.
    std::multiset<std::wstring> unsettled_;
    // Whose replies come next on the connection, in the order asked.
    std::deque<Delivery*> due_;
};

}  // namespace engine_detail
