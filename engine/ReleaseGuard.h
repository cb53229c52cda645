#pragma once
// Signed releases on the starter's side. With a built-in public key, what the
// version server delivers in one update check is held beside its place until
// "release.sig" vouches for it: a valid signature by the key, files.cfg's own
// digest listed, a release number not below the highest accepted, not expired,
// and every delivered file with its listed size and SHA-256. Only then does any
// of it replace a file. Any failure is logged as "发布签名无效:" and a reason and
// nothing held is installed. Without a key the guard stands aside and files go
// straight to their places, as ever.

#include "net/VersionClient.h"
#include "support/SignedRelease.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The key compiled in from LAUNCHER_RELEASE_PUBLIC_KEY; empty without one.
extern const char kBuiltInReleaseKey[];

namespace engine_detail {

class ReleaseGuard {
public:
    typedef std::function<std::int64_t()> Clock;  // seconds since 1970-01-01 UTC

    ReleaseGuard(const std::string& publicKeyPem, Clock utcNow);
    // Held files not installed by commit() are removed.
    ~ReleaseGuard();
    ReleaseGuard(const ReleaseGuard&) = delete;
    ReleaseGuard& operator=(const ReleaseGuard&) = delete;

    bool active() const { return !key_.empty(); }

    // Where a delivery meant for `target` is received: `target` itself without a
    // key, else a held copy beside it.
    std::wstring receivePath(const std::wstring& target) const;

    // Right after files.cfg (`manifestResult` delivered into receivePath(manifest)):
    // fetches release.sig on the same connection and checks it and files.cfg.
    bool admitRelease(VersionClient& client, const std::wstring& manifest, FetchResult manifestResult);

    // A delivery of the server's file `name`, received at receivePath(target):
    // true when it is listed with this size and SHA-256 (or nothing was delivered).
    bool admit(const std::string& name, const std::wstring& target, FetchResult result);

    struct Unplaced {
        std::string name;
        std::string reason;  // the system's
    };
    // Called with a delivery's name and where it is held, just before it takes
    // its place; false keeps it out of its place (removed, not reported).
    typedef std::function<bool(const std::string& name, const std::wstring& received)> BeforePlace;
    // Puts every admitted delivery in its place, in the order admitted, and
    // remembers the release number. Returns the files that could not be put in place.
    std::vector<Unplaced> commit(const BeforePlace& beforePlace);

    // "updater/accepted_release.txt": the highest release number accepted, kept
    // across runs (0 when missing or unreadable).
    static std::uint64_t highestAccepted();
    static bool storeAccepted(std::uint64_t number);

private:
    struct Held {
        std::string name;
        std::wstring received;
        std::wstring target;
    };
    bool refuse(const std::string& reason);
    // The file at `path` is listed under `name` with its size and SHA-256.
    bool matches(const std::string& name, const std::wstring& path);

    std::string key_;
    Clock utcNow_;
    Release release_;
    std::vector<Held> held_;
};

}  // namespace engine_detail
