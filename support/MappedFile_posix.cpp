#include "support/MappedFile.h"

#include "support/SystemPath.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string mappingFailure(int error)
{
    return std::strerror(error);
}

}  // namespace

MappedFile::~MappedFile()
{
    close();
}

std::string MappedFile::openForReading(const std::wstring& path)
{
    close();
    const int fd = ::open(systemPath(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return mappingFailure(errno);
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int error = errno;
        ::close(fd);
        return S_ISREG(st.st_mode) ? mappingFailure(error) : "不是普通文件";
    }
    const std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
    if (size > std::numeric_limits<std::size_t>::max()) {
        ::close(fd);
        return "文件过大，无法映射";
    }
    void* address = nullptr;
    if (size > 0) {
        address = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ, MAP_SHARED, fd, 0);
        if (address == MAP_FAILED) {
            const int error = errno;
            ::close(fd);
            return mappingFailure(error);
        }
    }
    // The mapping keeps the file's pages; the descriptor is no longer needed.
    ::close(fd);
    hold(address, size, false);
    return std::string();
}

std::string MappedFile::openForWriting(const std::wstring& path, std::uint64_t size)
{
    close();
    if (size > std::numeric_limits<std::size_t>::max() ||
        size > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()))
        return "文件过大，无法映射";
    const int fd = ::open(systemPath(path).c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return mappingFailure(errno);
    // ftruncate leaves a sparse file; a full disk shows as SIGBUS on a write to
    // the mapping, so the blocks are claimed now, where a failure is a value.
    int error = ::ftruncate(fd, static_cast<off_t>(size)) == 0 ? 0 : errno;
    if (error == 0 && size > 0) {
        error = ::posix_fallocate(fd, 0, static_cast<off_t>(size));
        // Some file systems cannot reserve blocks; writing is still possible there.
        if (error == EOPNOTSUPP || error == EINVAL)
            error = 0;
    }
    void* address = nullptr;
    if (error == 0 && size > 0) {
        address = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (address == MAP_FAILED)
            error = errno;
    }
    ::close(fd);
    if (error != 0)
        return mappingFailure(error);
    hold(address, size, true);
    return std::string();
}

std::string MappedFile::close()
{
    // No msync: like a write(), the bytes are the file's once they are in the
    // page cache, and the staged check reads them back before anything is placed.
    if (open_ && address_ != nullptr)
        ::munmap(address_, static_cast<std::size_t>(size_));
    open_ = false;
    address_ = nullptr;
    size_ = 0;
    writable_ = false;
    return std::string();
}
