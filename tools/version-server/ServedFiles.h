#pragma once
// The served directory as one request sees it. The request's name is decoded
// strictly from the players' encoding, must stay inside the directory (checked
// on the decoded bytes, and again on where the opened file really lies), and the
// file is opened once: its size and digest come from that descriptor, and the
// reply is sent from it. A file replaced by rename meanwhile therefore goes out
// whole in the version that was opened. Never throws.

#include "tools/common/NameEncoding.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

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

// What one request gets.
struct Lookup {
    enum Kind {
        Refused,      // not a name inside the directory, or a link leading out of it
        BadEncoding,  // the name's bytes are not text in the players' encoding
        Missing,      // no regular file by that name
        TooLarge,     // larger than a reply can announce
        Unavailable,  // the system refused (out of descriptors, read error): no answer at all
        Unhashed,     // open, but its digest must still be computed (see ServedFiles::digest)
        Current,      // the client's copy is this file
        Content       // the client needs the content
    };
    Kind kind = Missing;
    std::string logName;  // the name as one printable field of a request line
    std::shared_ptr<OpenFile> file;
    std::uint64_t size = 0;
    std::string digest;
    std::string clientDigest;

    // The identity the digest cache knows the opened file by.
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t modified = 0;
};

class ServedFiles {
public:
    // `root` must be absolute; it may be a link (to the current release).
    ServedFiles(const std::string& root, NameEncoding encoding);

    // Everything but computing a digest that is not known yet: quick enough for
    // the network thread. Ends Unhashed when the digest must still be computed.
    Lookup open(const std::string& requestText);

    // Completes an Unhashed lookup; reads the whole file, so it may take seconds.
    void digest(Lookup& lookup);

private:
    struct Key {
        std::uint64_t device, inode, size;
        std::int64_t modified;
        bool operator<(const Key& other) const;
    };
    bool cached(const Key& key, std::string& digest);
    void decide(Lookup& lookup) const;

    std::string root_;
    NameEncoding encoding_;
    std::mutex mutex_;
    std::map<Key, std::string> digests_;
};

}  // namespace versionserver
