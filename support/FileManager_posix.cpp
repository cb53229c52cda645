// File system calls on POSIX, with the meanings the program relies on from
// Windows: read-only is a missing owner write bit, a file opened "without
// sharing" holds an exclusive flock, and a locked file counts as in use.

#include "support/FileManager.h"

#include "support/FileManagerCalls.h"
#include "support/InputFile.h"
#include "support/SystemPath.h"
#include "support/TextConvert.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <fstream>
#include <memory>
#include <ftw.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <system_error>
#include <unistd.h>

std::string systemPath(const std::wstring& path)
{
    std::string bytes = wideToNarrow(FileManager::instance().resolve(path));
    std::replace(bytes.begin(), bytes.end(), '\\', '/');
    return bytes;
}

bool FileManager::isAbsolute(const std::wstring& path)
{
    // A backslash is a separator here too (see systemPath).
    return !path.empty() && (path[0] == L'/' || path[0] == L'\\');
}

bool FileManager::openTextInput(std::ifstream& stream, const std::wstring& path) const
{
    stream.open(systemPath(path));
    return stream.is_open();
}

namespace {

int toFd(std::intptr_t handle)
{
    return static_cast<int>(handle);
}

bool statPath(const std::wstring& path, struct stat& st)
{
    return ::stat(systemPath(path).c_str(), &st) == 0;
}

// Whether another holder of a flock keeps the file from being deleted or moved
// (any lock: an open File, the log) or from being read (an exclusive one: an
// open File, which shares nothing).
enum class Use { Delete, Read };

bool isInUse(const std::string& path, Use use)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    int lock = use == Use::Delete ? LOCK_EX : LOCK_SH;
    bool busy = ::flock(fd, lock | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return busy;
}

}  // namespace

namespace filecalls {

const bool kSeparatorStartsAtRoot = true;
const bool kNamesIgnoreCase = false;

MakeDirectoryResult makeDirectory(const std::wstring& path)
{
    if (::mkdir(systemPath(path).c_str(), 0777) == 0)
        return MakeDirectoryResult::Created;
    return errno == EEXIST ? MakeDirectoryResult::AlreadyExists : MakeDirectoryResult::Failed;
}

std::string writePiece(std::intptr_t handle, const char* data, std::uint32_t size)
{
    // A disk that fills up takes part of a write first; writing the rest again
    // gives the reason (ENOSPC) instead of a silent short count.
    while (size > 0) {
        const ssize_t written = ::write(toFd(handle), data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0)
            return std::error_code(errno, std::generic_category()).message();
        if (written == 0)
            return std::error_code(EIO, std::generic_category()).message();
        data += written;
        size -= static_cast<std::uint32_t>(written);
    }
    return std::string();
}

}  // namespace filecalls

FileManager::File::File(std::intptr_t handle) : handle_(handle) {}

FileManager::File::~File()
{
    if (handle_ >= 0)
        ::close(toFd(handle_));
    handle_ = -1;
}

bool FileManager::File::seekToEnd()
{
    return ::lseek(toFd(handle_), 0, SEEK_END) >= 0;
}

bool FileManager::File::seekTo(std::int64_t offset)
{
    return offset >= 0 && ::lseek(toFd(handle_), static_cast<off_t>(offset), SEEK_SET) == offset;
}

std::int64_t FileManager::File::position()
{
    off_t at = ::lseek(toFd(handle_), 0, SEEK_CUR);
    return at < 0 ? -1 : static_cast<std::int64_t>(at);
}

void FileManager::createDirectory(const std::wstring& path)
{
    filecalls::makeDirectory(path);
}

bool FileManager::isFile(const std::wstring& path)
{
    struct stat st;
    return statPath(path, st) && !S_ISDIR(st.st_mode);
}

bool FileManager::stampOf(const std::wstring& path, Stamp& stamp)
{
    struct stat st;
    if (!statPath(path, st) || S_ISDIR(st.st_mode))
        return false;
    stamp.size = std::uint64_t(st.st_size);
    stamp.written = std::int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return true;
}

bool FileManager::isDirectory(const std::wstring& path)
{
    struct stat st;
    return statPath(path, st) && S_ISDIR(st.st_mode);
}

bool FileManager::isSameFile(const std::wstring& first, const std::wstring& second)
{
    struct stat a, b;
    return statPath(first, a) && statPath(second, b) && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool FileManager::deleteFile(const std::wstring& path, bool clearReadOnly)
{
    std::string target = systemPath(path);
    struct stat st;
    if (::lstat(target.c_str(), &st) != 0 || S_ISDIR(st.st_mode))
        return false;
    if (!S_ISLNK(st.st_mode) && !(st.st_mode & S_IWUSR)) {
        if (!clearReadOnly)
            return false;
        ::chmod(target.c_str(), (st.st_mode & 07777) | S_IWUSR);
    }
    if (isInUse(target, Use::Delete))
        return false;
    return ::unlink(target.c_str()) == 0;
}

bool FileManager::copyFile(const std::wstring& source, const std::wstring& destination)
{
    std::string from = systemPath(source);
    if (isInUse(from, Use::Read))
        return false;
    int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return false;
    struct stat st;
    if (::fstat(in, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(in);
        return false;
    }
    std::string target = systemPath(destination);
    // The copy keeps the source's permissions, as CopyFileW keeps its attributes.
    int out = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 0777);
    if (out < 0) {
        ::close(in);
        return false;
    }
    bool ok = true;
    const std::size_t kChunk = 1024 * 1024;
    std::unique_ptr<char[]> buffer(new char[kChunk]);
    for (;;) {
        ssize_t got = ::read(in, buffer.get(), kChunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            ok = got == 0;
            break;
        }
        if (!filecalls::writePiece(out, buffer.get(), static_cast<std::uint32_t>(got)).empty()) {
            ok = false;
            break;
        }
    }
    ::close(in);
    if (::close(out) != 0)
        ok = false;
    if (!ok)
        ::unlink(target.c_str());
    return ok;
}

std::unique_ptr<FileManager::File> FileManager::openFile(const std::wstring& path, bool append)
{
    std::string target = systemPath(path);
    struct stat st;
    if (::stat(target.c_str(), &st) == 0 && !S_ISDIR(st.st_mode) && !(st.st_mode & S_IWUSR))
        return nullptr;  // read-only, even for a user the system would let write
    int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return nullptr;
    // Truncate only once the file is ours: an opener that is refused must not
    // have emptied the file of the one that holds it. An empty file is left
    // alone, since ext4 flushes a file truncated to zero when it is closed.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 ||
        (!append && (::fstat(fd, &st) != 0 || (st.st_size > 0 && ::ftruncate(fd, 0) != 0)))) {
        ::close(fd);
        return nullptr;
    }
    std::unique_ptr<File> file(new File(fd));
    if (append)
        file->seekToEnd();
    return file;
}

void FileManager::walkDirectory(const std::wstring& directory, const std::wstring& pattern,
                                DirectoryVisitor& visitor)
{
    // The search text "directory/pattern" has room for 259 characters; a longer one
    // finds nothing rather than a cut-off pattern.
    const std::size_t kSearchBuffer = 260;
    if (resolve(directory).size() + 1 + pattern.size() + 1 > kSearchBuffer)
        return;
    DIR* dir = ::opendir(systemPath(directory).c_str());
    if (!dir)
        return;
    std::string narrowPattern = wideToNarrow(pattern);
    while (struct dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        if (::fnmatch(narrowPattern.c_str(), name.c_str(), 0) != 0)
            continue;
        bool isDir = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK) {
            struct stat st;
            isDir = ::fstatat(::dirfd(dir), entry->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
        }
        if (!visitor.visit(narrowToWide(name).c_str(), isDir))
            break;
    }
    ::closedir(dir);
}

bool FileManager::moveFile(const std::wstring& source, const std::wstring& destination)
{
    std::string from = systemPath(source);
    std::string to = systemPath(destination);
    if (isInUse(from, Use::Delete))
        return false;
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // A file system without RENAME_NOREPLACE: a hard link fails on an existing target.
    if (::link(from.c_str(), to.c_str()) != 0)
        return false;
    if (::unlink(from.c_str()) != 0) {
        ::unlink(to.c_str());
        return false;
    }
    return true;
}

std::string FileManager::replaceFile(const std::wstring& source, const std::wstring& destination)
{
    std::string from = systemPath(source);
    std::string to = systemPath(destination);
    // A held file cannot be replaced on Windows either (the running game holds its files).
    if (isInUse(to, Use::Delete) || isInUse(from, Use::Delete))
        return std::error_code(EBUSY, std::generic_category()).message();
    if (::rename(from.c_str(), to.c_str()) == 0)
        return std::string();
    return std::error_code(errno, std::generic_category()).message();
}

namespace {

int removeEntry(const char* path, const struct stat*, int type, struct FTW*)
{
    if (type == FTW_DP || type == FTW_DNR)
        ::rmdir(path);
    else
        ::unlink(path);
    return 0;  // go on: delete as much as can be deleted
}

}  // namespace

bool FileManager::deleteDirectoryTree(const std::wstring& path)
{
    std::string root = systemPath(path);
    struct stat st;
    if (::lstat(root.c_str(), &st) != 0)
        return false;
    if (S_ISLNK(st.st_mode))
        return ::unlink(root.c_str()) == 0;  // the link goes, never what it points to
    if (!S_ISDIR(st.st_mode))
        return false;
    ::nftw(root.c_str(), removeEntry, 32, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
    return ::lstat(root.c_str(), &st) != 0 && errno == ENOENT;
}

InputFile::InputFile(const std::wstring& path)
    : handle_(::open(systemPath(path).c_str(), O_RDONLY | O_CLOEXEC))
{
    if (handle_ < 0)
        handle_ = kClosed;
}

InputFile::~InputFile()
{
    if (handle_ != kClosed)
        ::close(toFd(handle_));
}

bool InputFile::seek(std::int64_t offset)
{
    return handle_ != kClosed && offset >= 0 &&
           ::lseek(toFd(handle_), static_cast<off_t>(offset), SEEK_SET) == offset;
}

std::int64_t InputFile::read(char* buffer, std::int64_t size)
{
    if (handle_ == kClosed)
        return -1;
    std::int64_t total = 0;
    while (total < size) {
        ssize_t got = ::read(toFd(handle_), buffer + total, static_cast<std::size_t>(size - total));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        total += got;
    }
    return total;
}

bool FileManager::freeSpace(const std::wstring& path, std::uint64_t& bytes)
{
    struct statvfs volume;
    if (::statvfs(systemPath(path.empty() ? L"." : path).c_str(), &volume) != 0)
        return false;
    // What an unprivileged writer may use, as the starter is one.
    bytes = std::uint64_t(volume.f_bavail) * std::uint64_t(volume.f_frsize);
    return true;
}
