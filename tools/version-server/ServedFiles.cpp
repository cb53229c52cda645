#include "ServedFiles.h"

#include "net/VersionProtocol.h"
#include "support/FileDigest.h"
#include "support/PathSafety.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <tuple>

namespace versionserver {

namespace {

// Digests kept at most; past it the cache starts again (old releases pile up otherwise).
const std::size_t kMaxCachedDigests = 16384;
const std::size_t kMaxLoggedName = 200;

// Keeps a decoded name on one line of the log and in one field.
std::string printableName(const std::string& utf8)
{
    std::string out = utf8.substr(0, kMaxLoggedName);
    // Not cut inside a character.
    if (out.size() < utf8.size()) {
        while (!out.empty() && (static_cast<unsigned char>(out.back()) & 0xC0) == 0x80) {
            out.pop_back();
        }
        if (!out.empty() && static_cast<unsigned char>(out.back()) >= 0xC0) {
            out.pop_back();
        }
    }
    for (char& c : out) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            c = '?';
        }
    }
    return out.empty() ? "-" : out;
}

// Bytes that are not text, shown as \xNN so the log stays UTF-8.
std::string escapedName(const std::string& bytes)
{
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes.substr(0, kMaxLoggedName / 4)) {
        if (c < 0x20 || c >= 0x7f || c == '\\') {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out.empty() ? "-" : out;
}

// Where an open descriptor really leads, links resolved, as the system knows it.
bool realPath(int descriptor, std::string& path)
{
    char buffer[4096];
    const std::string link = "/proc/self/fd/" + std::to_string(descriptor);
    const ssize_t length = ::readlink(link.c_str(), buffer, sizeof buffer);
    if (length <= 0 || std::size_t(length) >= sizeof buffer) {
        return false;
    }
    path.assign(buffer, std::size_t(length));
    return true;
}

}  // namespace

OpenFile::~OpenFile()
{
    // Not retried on EINTR: the descriptor is released on Linux either way.
    ::close(descriptor_);
}

bool ServedFiles::Key::operator<(const Key& other) const
{
    return std::tie(device, inode, size, modified) <
           std::tie(other.device, other.inode, other.size, other.modified);
}

ServedFiles::ServedFiles(const std::string& root, NameEncoding encoding) : root_(root), encoding_(encoding) {}

Lookup ServedFiles::open(const std::string& requestText)
{
    Lookup result;
    std::string rawName;
    if (!versionprotocol::splitRequest(requestText, rawName, result.clientDigest)) {
        result.logName = escapedName(requestText);
        result.kind = Lookup::Refused;
        return result;
    }
    std::string name;
    if (!decodeName(encoding_, rawName, name)) {
        result.logName = escapedName(rawName);
        result.kind = Lookup::BadEncoding;
        return result;
    }
    result.logName = printableName(name);
    if (!isConfinedRelativePath(name)) {
        result.kind = Lookup::Refused;
        return result;
    }
    std::replace(name.begin(), name.end(), '\\', '/');

    // The root is opened per request: when it is a link that a publisher swaps to
    // the next release, each request sees one release, the file and the root
    // it is checked against alike.
    const int rootDescriptor = ::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (rootDescriptor < 0) {
        result.kind = Lookup::Unavailable;
        return result;
    }
    const OpenFile root(rootDescriptor);
    std::string realRoot;
    if (!realPath(rootDescriptor, realRoot)) {
        result.kind = Lookup::Unavailable;
        return result;
    }
    // Non-blocking, so that a FIFO in the directory cannot hold up the server;
    // it changes nothing for a regular file.
    const int descriptor =
        ::openat(rootDescriptor, name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (descriptor < 0) {
        const bool exhausted = errno == EMFILE || errno == ENFILE || errno == ENOMEM;
        result.kind = exhausted ? Lookup::Unavailable : Lookup::Missing;
        return result;
    }
    result.file = std::make_shared<OpenFile>(descriptor);
    struct stat status;
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        result.file.reset();
        result.kind = Lookup::Missing;
        return result;
    }
    // A link inside the directory may not lead out of it: the opened file itself
    // must lie below the root, compared byte for byte.
    std::string real;
    if (!realPath(descriptor, real) || real.compare(0, realRoot.size() + 1, realRoot + "/") != 0) {
        result.file.reset();
        result.kind = Lookup::Refused;
        return result;
    }
    if (std::uint64_t(status.st_size) > 0xFFFFFFFFull) {
        result.file.reset();
        result.kind = Lookup::TooLarge;
        return result;
    }
    result.size = std::uint64_t(status.st_size);
    result.device = std::uint64_t(status.st_dev);
    result.inode = std::uint64_t(status.st_ino);
    result.modified = std::int64_t(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
    if (cached(Key{result.device, result.inode, result.size, result.modified}, result.digest)) {
        decide(result);
    } else {
        result.kind = Lookup::Unhashed;
    }
    return result;
}

void ServedFiles::digest(Lookup& lookup)
{
    if (lookup.kind != Lookup::Unhashed) {
        return;
    }
    const Key key{lookup.device, lookup.inode, lookup.size, lookup.modified};
    // Many clients ask for a new file at once; the first one computes it.
    if (cached(key, lookup.digest)) {
        decide(lookup);
        return;
    }
    // Through the descriptor's own entry: the file that was opened, even if its
    // name now leads to another one.
    const std::string path = "/proc/self/fd/" + std::to_string(lookup.file->descriptor());
    const std::string digest = computeFileSha1(std::wstring(path.begin(), path.end()));
    // Changed in place while it was read: neither the digest nor the content can be trusted.
    struct stat status;
    if (::fstat(lookup.file->descriptor(), &status) != 0 || std::uint64_t(status.st_size) != lookup.size ||
        std::int64_t(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec != lookup.modified) {
        lookup.file.reset();
        lookup.kind = Lookup::Unavailable;
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (digests_.size() >= kMaxCachedDigests) {
            digests_.clear();
        }
        digests_[key] = digest;
    }
    lookup.digest = digest;
    decide(lookup);
}

bool ServedFiles::cached(const Key& key, std::string& digest)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = digests_.find(key);
    if (found == digests_.end()) {
        return false;
    }
    digest = found->second;
    return true;
}

void ServedFiles::decide(Lookup& lookup) const
{
    if (lookup.digest == lookup.clientDigest) {
        lookup.kind = Lookup::Current;
        lookup.file.reset();
    } else {
        lookup.kind = Lookup::Content;
    }
}

}  // namespace versionserver
