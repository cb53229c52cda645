#pragma once
// The served directory as one request sees it. Each release is digested whole
// before it is served (ReleaseWatch.h), so a request finds its file's digest
// ready in a table and never waits for one. The request's name is decoded
// strictly from the players' encoding, must stay inside the release (checked on
// the decoded bytes, and again on where the opened file really lies), and the
// file is opened once: its size comes from that descriptor, and the reply is
// sent from it. A file replaced by rename meanwhile therefore goes out whole in
// the version that was opened. Never throws.

#include "tools/common/NameEncoding.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace versionserver {

// An open file, closed when the last holder lets go.
class OpenFile {
public:
    explicit OpenFile(int descriptor) : descriptor_(descriptor) {}
    ~OpenFile();
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    int descriptor() const { return descriptor_; }

private:
    int descriptor_;
};

// What tells one version of a file from another without reading it: a file
// replaced by rename has another inode, one rewritten in place another time.
struct FileKey {
    std::uint64_t device = 0, inode = 0, size = 0;
    std::int64_t modified = 0;
    bool operator<(const FileKey& other) const;
    bool operator==(const FileKey& other) const;
};

// How digests are made, shared by the release watch and the requests.
struct Digesting {
    // A test hook: while it returns true, a digest waits before it reads,
    // standing in for a file that takes longer to read than a starter waits.
    std::function<bool()> hold;
    // Set when the server ends: a digest under way gives up.
    std::atomic<bool> stopping{false};
};

// One release as it is served: its directory, held open so that a link switched
// to the next release changes nothing for it, and the digest of each file found in it.
struct Release {
    struct Entry {
        FileKey key;
        std::string digest;
    };
    std::shared_ptr<OpenFile> directory;
    std::string realRoot;  // where the directory lies, links resolved
    std::uint64_t device = 0, inode = 0;
    std::unordered_map<std::string, Entry> names;  // relative, "/"-separated UTF-8 names
    std::map<FileKey, std::string> digests;        // the same digests, by file
    std::size_t digested = 0;                      // read for this release, not taken from the last
    double walkSeconds = 0;                        // the walk and its digests
    // From its release.sig, when it has one that reads as one (its signature is
    // the starters' to check; the server holds no key): shown to operators only.
    bool signedRelease = false;
    std::uint64_t number = 0;
    std::int64_t expires = 0;  // seconds since 1970-01-01 00:00 UTC
};

// Opens `root` (following a link), walks it and digests every regular file inside;
// digests of files `previous` already knows are taken from it. Null when the root
// cannot be opened or the server stops meanwhile.
std::shared_ptr<const Release> scanRelease(const std::string& root, const Release* previous,
                                           Digesting& digesting);

// What one request gets.
struct Lookup {
    enum Kind {
        Refused,      // not a name inside the directory, or a link leading out of it
        BadEncoding,  // the name's bytes are not text in the players' encoding
        Missing,      // no regular file by that name
        TooLarge,     // larger than a reply can announce
        Unavailable,  // the system refused (out of descriptors, read error): no answer at all
        Unhashed,     // changed in place since its release was digested (see ServedFiles::digest)
        Current,      // the client's copy is this file
        Content       // the client needs the content
    };
    Kind kind = Missing;
    std::string logName;  // the name as one printable field of a request line
    std::shared_ptr<OpenFile> file;
    std::uint64_t size = 0;
    std::string digest;
    std::string clientDigest;
    FileKey key;  // of the opened file
};

class ServedFiles {
public:
    ServedFiles(NameEncoding encoding, Digesting& digesting);

    // The release requests see from now on. On the network thread.
    void serve(std::shared_ptr<const Release> release);
    const Release* release() const { return release_.get(); }

    // Everything but computing a digest: quick enough for the network thread.
    // Ends Unhashed only for a file changed in place, against the way releases
    // are published (docs/operations.md); its digest must then be computed.
    Lookup open(const std::string& requestText);

    // Completes an Unhashed lookup; reads the whole file, so it may take seconds.
    void digest(Lookup& lookup);

private:
    bool known(const FileKey& key, std::string& digest);
    void decide(Lookup& lookup) const;

    NameEncoding encoding_;
    Digesting& digesting_;
    std::shared_ptr<const Release> release_;
    // Digests computed for requests (files changed in place); shared with the pool.
    std::mutex mutex_;
    std::map<FileKey, std::string> digests_;
};

}  // namespace versionserver
