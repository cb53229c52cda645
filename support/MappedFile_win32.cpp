#include "support/MappedFile.h"

#include "support/FileManager.h"

#include <windows.h>

#include <limits>

namespace {

std::string mappingFailure(DWORD error)
{
    return "系统错误 " + std::to_string(error);
}

}  // namespace

MappedFile::~MappedFile()
{
    close();
}

namespace {

// Maps the whole of the open `file` (nothing for an empty one). When that fails
// the file is closed and the reason returned.
std::string mapWhole(HANDLE file, std::uint64_t size, bool writable, void*& address, HANDLE& mapping)
{
    address = nullptr;
    mapping = nullptr;
    if (size == 0)
        return std::string();
    mapping = CreateFileMappingW(file, nullptr, writable ? PAGE_READWRITE : PAGE_READONLY,
                                 static_cast<DWORD>(size >> 32), static_cast<DWORD>(size), nullptr);
    if (mapping != nullptr)
        address = MapViewOfFile(mapping, writable ? FILE_MAP_WRITE : FILE_MAP_READ, 0, 0,
                                static_cast<SIZE_T>(size));
    if (address != nullptr)
        return std::string();
    const DWORD error = GetLastError();
    if (mapping != nullptr)
        CloseHandle(mapping);
    mapping = nullptr;
    CloseHandle(file);
    return mappingFailure(error);
}

}  // namespace

std::string MappedFile::openForReading(const std::wstring& path)
{
    close();
    HANDLE file = CreateFileW(FileManager::instance().resolve(path).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return mappingFailure(GetLastError());
    LARGE_INTEGER length;
    if (!GetFileSizeEx(file, &length)) {
        const DWORD error = GetLastError();
        CloseHandle(file);
        return mappingFailure(error);
    }
    const std::uint64_t size = static_cast<std::uint64_t>(length.QuadPart);
    if (size > std::numeric_limits<SIZE_T>::max()) {
        CloseHandle(file);
        return "文件过大，无法映射";
    }
    void* address = nullptr;
    HANDLE mapping = nullptr;
    const std::string failed = mapWhole(file, size, false, address, mapping);
    if (!failed.empty())
        return failed;
    hold(address, size, false, reinterpret_cast<std::intptr_t>(file),
         reinterpret_cast<std::intptr_t>(mapping));
    return std::string();
}

std::string MappedFile::openForWriting(const std::wstring& path, std::uint64_t size)
{
    close();
    if (size > std::numeric_limits<SIZE_T>::max())
        return "文件过大，无法映射";
    HANDLE file = CreateFileW(FileManager::instance().resolve(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return mappingFailure(GetLastError());
    // The file is set to its length first, so a full disk fails here and not as
    // an exception on a write to the mapping.
    LARGE_INTEGER length;
    length.QuadPart = static_cast<LONGLONG>(size);
    if (!SetFilePointerEx(file, length, nullptr, FILE_BEGIN) || !SetEndOfFile(file)) {
        const DWORD error = GetLastError();
        CloseHandle(file);
        return mappingFailure(error);
    }
    void* address = nullptr;
    HANDLE mapping = nullptr;
    const std::string failed = mapWhole(file, size, true, address, mapping);
    if (!failed.empty())
        return failed;
    hold(address, size, true, reinterpret_cast<std::intptr_t>(file),
         reinterpret_cast<std::intptr_t>(mapping));
    return std::string();
}

std::string MappedFile::close()
{
    std::string reason;
    if (address_ != nullptr) {
        // The written pages go to the file before the view is gone, so a failure
        // is seen here and not lost.
        if (writable_ && !FlushViewOfFile(address_, 0))
            reason = mappingFailure(GetLastError());
        UnmapViewOfFile(address_);
    }
    if (mapping_ != 0)
        CloseHandle(reinterpret_cast<HANDLE>(mapping_));
    if (open_)
        CloseHandle(reinterpret_cast<HANDLE>(file_));
    open_ = false;
    address_ = nullptr;
    size_ = 0;
    file_ = -1;
    mapping_ = 0;
    writable_ = false;
    return reason;
}
