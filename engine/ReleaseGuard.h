#pragma once
// Every file the version server delivers in one update check passes through the
// guard on its way to its place. Without a release key it goes there at once,
// as soon as it has arrived whole. With one, it is held beside its place until
// "release.sig" vouches for it: a valid signature by the key, files.cfg's own
// digest listed, a release number not below the highest accepted, not expired,
// and every delivered file with its listed size and SHA-256. Only then does any
// of it replace a file. Any failure is logged as "发布签名无效:" and a reason and
// nothing held is installed.

#include "net/VersionClient.h"
#include "support/SignedRelease.h"
#include "support/StagedFile.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

// The key compiled in from LAUNCHER_RELEASE_PUBLIC_KEY; empty without one.
extern const char kBuiltInReleaseKey[];

namespace engine_detail {

// The version server's names of the files every check deals with.
constexpr char kManifestName[] = "files.cfg";
constexpr char kSignatureName[] = "release.sig";
constexpr char kDeletionListName[] = "delete_config.txt";

class ReleaseGuard {
public:
    typedef std::function<std::int64_t()> Clock;  // seconds since 1970-01-01 UTC
    // Runs just before a delivery takes its place, with where its content is;
    // false keeps it out of its place (removed).
    typedef std::function<bool(const std::wstring& content)> BeforePlace;

    ReleaseGuard(const std::string& publicKeyPem, Clock utcNow);
    // Held deliveries not placed by commit() are removed with their staged files.
    ~ReleaseGuard();
    ReleaseGuard(const ReleaseGuard&) = delete;
    ReleaseGuard& operator=(const ReleaseGuard&) = delete;

    bool signedRelease() const { return !key_.empty(); }

    // First thing on a connection: fetches release.sig and checks it. True without a key.
    bool admitRelease(VersionClient& client);

    // What the reply for `name` may announce: exactly its signed size in a
    // signed release (false, logged, when it is not listed), else the build's ceiling.
    bool boundFor(const std::string& name, ReplyBound& bound);
    // Whether the copy at `local` that the server calls current may stay: it
    // matches its signed entry. Always true without a key.
    bool currentMatches(const std::string& name, const std::wstring& local);
    // Refuses a copy the server keeps calling current though it does not match.
    bool refuseStale(const std::string& name) { return refuse("文件不符 " + name); }

    // The signed entries of the accepted release; empty without a key.
    const std::map<std::string, ReleaseFile>& signedFiles() const { return release_.files; }

    enum class Admitted { Refused, Accepted, NotPlaced };

    // The server's file `name`, delivered into `staged`: checked, then placed
    // or held. NotPlaced: it could not be put in place here (logged).
    Admitted admit(const std::string& name, std::unique_ptr<StagedFile> staged,
                   BeforePlace beforePlace = BeforePlace());

    // Where `target`'s content is now: its held copy, or the file in place.
    std::wstring contentOf(const std::wstring& target) const;

    // Puts every held delivery in its place, in the order admitted, and
    // remembers the release number. Returns the names that could not be placed.
    std::set<std::string> commit();

    // "updater/accepted_release.txt": the highest release number accepted, kept
    // across runs (0 when missing or unreadable).
    static std::uint64_t highestAccepted();
    static bool storeAccepted(std::uint64_t number);

private:
    struct Held {
        std::string name;
        std::unique_ptr<StagedFile> staged;
        BeforePlace beforePlace;
    };
    bool refuse(const std::string& reason);
    // The content at `path` is listed under `name` with its size and SHA-256.
    bool matches(const std::string& name, const std::wstring& path);
    // The one way a delivery takes its place; false when it did not (logged).
    bool place(Held& held);

    std::string key_;
    Clock utcNow_;
    Release release_;
    std::vector<Held> held_;
};

}  // namespace engine_detail
