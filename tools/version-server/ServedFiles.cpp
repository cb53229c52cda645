#include "ServedFiles.h"

#include "net/VersionProtocol.h"
#include "support/FileDigest.h"
#include "support/PathSafety.h"
#include "support/SignedRelease.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>
#include <tuple>
#include <vector>

namespace versionserver {

namespace {

// Digests of files changed in place kept at most; past it the cache starts again.
const std::size_t kMaxCachedDigests = 16384;
const std::size_t kMaxLoggedName = 200;
// A release's walk: directories deeper than this, and files past this count, are
// left to the requests (a link loop or a runaway tree must not hold the walk).
const std::size_t kMaxDepth = 64;
const std::size_t kMaxFiles = 1000000;
const std::size_t kDigestPiece = 256 * 1024;
// A digest the test hook holds looks again this often.
const std::chrono::milliseconds kHoldPoll(10);
const int kOpenFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;

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

// The opened file lies below the release's directory, compared byte for byte.
bool liesBelow(int descriptor, const std::string& realRoot)
{
    std::string real;
    return realPath(descriptor, real) && real.compare(0, realRoot.size() + 1, realRoot + "/") == 0;
}

FileKey keyOf(const struct stat& status)
{
    FileKey key;
    key.device = std::uint64_t(status.st_dev);
    key.inode = std::uint64_t(status.st_ino);
    key.size = std::uint64_t(status.st_size);
    key.modified = std::int64_t(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
    return key;
}

bool unchanged(int descriptor, const FileKey& key)
{
    struct stat status;
    return ::fstat(descriptor, &status) == 0 && keyOf(status) == key;
}

// Read through the descriptor: the file that was opened, even if its name now
// leads to another one. False when it could not be read whole or the server stops.
bool digestFile(int descriptor, std::uint64_t size, Digesting& digesting, std::string& digest)
{
    while (digesting.hold && digesting.hold() && !digesting.stopping) {
        std::this_thread::sleep_for(kHoldPoll);
    }
    StreamDigest sha1;
    std::vector<char> buffer(std::size_t(std::min<std::uint64_t>(size, kDigestPiece)));
    std::uint64_t offset = 0;
    while (offset < size) {
        if (digesting.stopping) {
            return false;
        }
        const std::size_t want = std::size_t(std::min<std::uint64_t>(size - offset, buffer.size()));
        const ssize_t got = ::pread(descriptor, buffer.data(), want, off_t(offset));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;  // a read error, or cut short meanwhile
        }
        sha1.update(buffer.data(), std::size_t(got));
        offset += std::uint64_t(got);
    }
    digest = sha1.finish();
    return true;
}

// Adds one file of the walk to `release`; a file that changes while it is read is
// left out and goes to the requests.
void addFile(Release& release, const std::string& name, const Release* previous, Digesting& digesting)
{
    const int descriptor = ::openat(release.directory->descriptor(), name.c_str(), kOpenFlags);
    if (descriptor < 0) {
        return;
    }
    const OpenFile file(descriptor);
    struct stat status;
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode) ||
        std::uint64_t(status.st_size) > 0xFFFFFFFFull || !liesBelow(descriptor, release.realRoot)) {
        return;
    }
    const FileKey key = keyOf(status);
    std::string digest;
    const auto here = release.digests.find(key);  // another name of the same file
    if (here != release.digests.end()) {
        digest = here->second;
    } else if (previous && previous->digests.count(key)) {
        digest = previous->digests.at(key);
    } else {
        if (!digestFile(descriptor, key.size, digesting, digest) || !unchanged(descriptor, key)) {
            return;
        }
        ++release.digested;
    }
    release.names[name] = Release::Entry{key, digest};
    release.digests[key] = digest;
}

// The release number and expiry from the release's own release.sig, read through
// its directory and bounded like a starter reads it.
void readSignedFacts(Release& release)
{
    const int descriptor = ::openat(release.directory->descriptor(), "release.sig", kOpenFlags);
    if (descriptor < 0) {
        return;
    }
    const OpenFile file(descriptor);
    struct stat status;
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode) ||
        std::uint64_t(status.st_size) > kMaxReleaseText) {
        return;
    }
    std::string text(std::size_t(status.st_size), '\0');
    std::size_t have = 0;
    while (have < text.size()) {
        const ssize_t got = ::pread(descriptor, &text[have], text.size() - have, off_t(have));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return;
        }
        have += std::size_t(got);
    }
    ::Release facts;
    std::string signedPart, signature, reason;
    if (parseRelease(text, facts, signedPart, signature, reason)) {
        release.signedRelease = true;
        release.number = facts.number;
        release.expires = facts.expires;
    }
}

std::vector<std::string> entriesOf(int directory, const std::string& path)
{
    std::vector<std::string> names;
    const int descriptor =
        path.empty() ? ::dup(directory)
                     : ::openat(directory, path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (descriptor < 0) {
        return names;
    }
    DIR* listing = ::fdopendir(descriptor);
    if (!listing) {
        ::close(descriptor);
        return names;
    }
    while (const dirent* entry = ::readdir(listing)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    ::closedir(listing);
    return names;
}

}  // namespace

OpenFile::~OpenFile()
{
    // Not retried on EINTR: the descriptor is released on Linux either way.
    ::close(descriptor_);
}

bool FileKey::operator<(const FileKey& other) const
{
    return std::tie(device, inode, size, modified) <
           std::tie(other.device, other.inode, other.size, other.modified);
}

bool FileKey::operator==(const FileKey& other) const
{
    return device == other.device && inode == other.inode && size == other.size && modified == other.modified;
}

std::shared_ptr<const Release> scanRelease(const std::string& root, const Release* previous,
                                           Digesting& digesting)
{
    const auto start = std::chrono::steady_clock::now();
    const int rootDescriptor = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (rootDescriptor < 0) {
        return nullptr;
    }
    auto release = std::make_shared<Release>();
    release->directory = std::make_shared<OpenFile>(rootDescriptor);
    struct stat status;
    if (::fstat(rootDescriptor, &status) != 0 || !realPath(rootDescriptor, release->realRoot)) {
        return nullptr;
    }
    release->device = std::uint64_t(status.st_dev);
    release->inode = std::uint64_t(status.st_ino);
    // Links to directories are not walked (a loop would never end); the files
    // behind them are served all the same, digested when asked for.
    std::vector<std::string> directories{std::string()};
    std::size_t files = 0;
    while (!directories.empty() && files < kMaxFiles) {
        const std::string path = directories.back();
        directories.pop_back();
        const std::size_t depth = std::size_t(std::count(path.begin(), path.end(), '/'));
        for (const std::string& entry : entriesOf(rootDescriptor, path)) {
            if (digesting.stopping) {
                return nullptr;
            }
            const std::string name = path + entry;
            if (::fstatat(rootDescriptor, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
                continue;
            }
            if (S_ISDIR(status.st_mode)) {
                if (depth < kMaxDepth) {
                    directories.push_back(name + "/");
                }
            } else if ((S_ISREG(status.st_mode) || S_ISLNK(status.st_mode)) && ++files <= kMaxFiles) {
                addFile(*release, name, previous, digesting);
            }
        }
    }
    readSignedFacts(*release);
    release->walkSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return release;
}

ServedFiles::ServedFiles(NameEncoding encoding, Digesting& digesting)
    : encoding_(encoding), digesting_(digesting)
{
}

void ServedFiles::serve(std::shared_ptr<const Release> release)
{
    release_ = std::move(release);
}

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
    if (!release_) {
        result.kind = Lookup::Unavailable;
        return result;
    }
    // Every file of a request is looked up in the release being served, even when
    // the root's link already leads to the next one, still being digested.
    const Release& release = *release_;
    const int root = release.directory->descriptor();
    struct stat status;

    // The usual case: a name the walk found, still the file it digested. Nothing
    // is opened for a copy that is current. The file is the very one the walk
    // found inside the release, by whatever path it is reached now.
    const auto walked = release.names.find(name);
    if (walked != release.names.end() && ::fstatat(root, name.c_str(), &status, 0) == 0 &&
        keyOf(status) == walked->second.key) {
        result.key = walked->second.key;
        result.size = result.key.size;
        result.digest = walked->second.digest;
        if (result.digest == result.clientDigest) {
            result.kind = Lookup::Current;
            return result;
        }
        const int descriptor = ::openat(root, name.c_str(), kOpenFlags);
        if (descriptor >= 0) {
            result.file = std::make_shared<OpenFile>(descriptor);
            if (unchanged(descriptor, result.key)) {
                result.kind = Lookup::Content;
                return result;
            }
            result.file.reset();  // replaced between the two looks: taken as below
        }
        result.digest.clear();
    }

    // Non-blocking, so that a FIFO in the directory cannot hold up the server;
    // it changes nothing for a regular file.
    const int descriptor = ::openat(root, name.c_str(), kOpenFlags);
    if (descriptor < 0) {
        const bool exhausted = errno == EMFILE || errno == ENFILE || errno == ENOMEM;
        result.kind = exhausted ? Lookup::Unavailable : Lookup::Missing;
        return result;
    }
    result.file = std::make_shared<OpenFile>(descriptor);
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        result.file.reset();
        result.kind = Lookup::Missing;
        return result;
    }
    // A link inside the directory may not lead out of it.
    if (!liesBelow(descriptor, release.realRoot)) {
        result.file.reset();
        result.kind = Lookup::Refused;
        return result;
    }
    if (std::uint64_t(status.st_size) > 0xFFFFFFFFull) {
        result.file.reset();
        result.kind = Lookup::TooLarge;
        return result;
    }
    result.key = keyOf(status);
    result.size = result.key.size;
    const auto digested = release.digests.find(result.key);
    if (digested != release.digests.end()) {
        result.digest = digested->second;
        decide(result);
    } else if (known(result.key, result.digest)) {
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
    // Many clients ask for a new file at once; the first one computes it.
    if (known(lookup.key, lookup.digest)) {
        decide(lookup);
        return;
    }
    std::string digest;
    // Changed in place while it was read: neither the digest nor the content can be trusted.
    if (!digestFile(lookup.file->descriptor(), lookup.size, digesting_, digest) ||
        !unchanged(lookup.file->descriptor(), lookup.key)) {
        lookup.file.reset();
        lookup.kind = Lookup::Unavailable;
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (digests_.size() >= kMaxCachedDigests) {
            digests_.clear();
        }
        digests_[lookup.key] = digest;
    }
    lookup.digest = digest;
    decide(lookup);
}

bool ServedFiles::known(const FileKey& key, std::string& digest)
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
