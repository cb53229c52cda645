// File system calls on Windows.

#include "support/FileManager.h"

#include "support/FileManagerCalls.h"
#include "support/InputFile.h"
#include "support/TextConvert.h"

#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <fstream>
#include <vector>

namespace {

HANDLE toHandle(std::intptr_t handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

// SetFilePointer reports a position whose low part is 0xFFFFFFFF the same way as
// a failure; the last error tells them apart.
bool moveTo(HANDLE handle, std::int64_t offset)
{
    LARGE_INTEGER distance;
    distance.QuadPart = offset;
    return offset >= 0 && SetFilePointerEx(handle, distance, nullptr, FILE_BEGIN);
}

bool movePointer(HANDLE handle, DWORD method, std::int64_t& position)
{
    LONG high = 0;
    SetLastError(NO_ERROR);
    DWORD low = SetFilePointer(handle, 0, &high, method);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR)
        return false;
    position = (static_cast<std::int64_t>(high) << 32) | low;
    return true;
}

}  // namespace

namespace {

// The system's own text for an error code, without its line end.
std::string systemReason(DWORD code)
{
    wchar_t* text = nullptr;
    DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring reason = length && text ? std::wstring(text, length) : L"error " + std::to_wstring(code);
    if (text)
        LocalFree(text);
    while (!reason.empty() && (reason.back() == L'\r' || reason.back() == L'\n' || reason.back() == L' '))
        reason.pop_back();
    return wideToNarrow(reason);
}

}  // namespace

namespace filecalls {

const bool kSeparatorStartsAtRoot = false;
const bool kNamesIgnoreCase = true;

MakeDirectoryResult makeDirectory(const std::wstring& path)
{
    if (CreateDirectoryW(FileManager::instance().resolve(path).c_str(), nullptr))
        return MakeDirectoryResult::Created;
    return GetLastError() == ERROR_ALREADY_EXISTS ? MakeDirectoryResult::AlreadyExists
                                                  : MakeDirectoryResult::Failed;
}

std::string writePiece(std::intptr_t handle, const char* data, std::uint32_t size)
{
    DWORD written = 0;
    if (!WriteFile(toHandle(handle), data, size, &written, nullptr))
        return systemReason(GetLastError());
    // A file on disk is written whole or the call fails; a short count means no room.
    return written == size ? std::string() : systemReason(ERROR_DISK_FULL);
}

}  // namespace filecalls

FileManager::File::File(std::intptr_t handle) : handle_(handle) {}

FileManager::File::~File()
{
    if (toHandle(handle_) != INVALID_HANDLE_VALUE)
        CloseHandle(toHandle(handle_));
    handle_ = reinterpret_cast<std::intptr_t>(INVALID_HANDLE_VALUE);
}

bool FileManager::File::seekToEnd()
{
    std::int64_t position;
    return movePointer(toHandle(handle_), FILE_END, position);
}

bool FileManager::File::seekTo(std::int64_t offset)
{
    return moveTo(toHandle(handle_), offset);
}

std::int64_t FileManager::File::position()
{
    std::int64_t position;
    return movePointer(toHandle(handle_), FILE_CURRENT, position) ? position : -1;
}

bool FileManager::isAbsolute(const std::wstring& path)
{
    // "C:x" is relative to that drive's current directory, not to the root: it
    // stays as it is, like "\\server\share" and "\x" (the current drive's root).
    const bool separatorFirst = !path.empty() && (path[0] == L'\\' || path[0] == L'/');
    return separatorFirst || (path.size() >= 2 && path[1] == L':');
}

bool FileManager::openTextInput(std::ifstream& stream, const std::wstring& path) const
{
    stream.open(resolve(path).c_str());
    return stream.is_open();
}

void FileManager::createDirectory(const std::wstring& path)
{
    CreateDirectoryW(resolve(path).c_str(), nullptr);
}

bool FileManager::isFile(const std::wstring& path)
{
    DWORD attributes = GetFileAttributesW(resolve(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool FileManager::stampOf(const std::wstring& path, Stamp& stamp)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(resolve(path).c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    stamp.size = (std::uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    stamp.written = std::int64_t((std::uint64_t(data.ftLastWriteTime.dwHighDateTime) << 32) |
                                 data.ftLastWriteTime.dwLowDateTime);
    return true;
}

bool FileManager::isDirectory(const std::wstring& path)
{
    DWORD attributes = GetFileAttributesW(resolve(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

namespace {

bool fileIdentity(const std::wstring& path, BY_HANDLE_FILE_INFORMATION& info)
{
    // No access asked for: the running starter can be looked at while it runs.
    HANDLE handle = CreateFileW(FileManager::instance().resolve(path).c_str(), 0,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    const bool known = GetFileInformationByHandle(handle, &info) != 0;
    CloseHandle(handle);
    return known;
}

}  // namespace

bool FileManager::isSameFile(const std::wstring& first, const std::wstring& second)
{
    BY_HANDLE_FILE_INFORMATION a, b;
    return fileIdentity(first, a) && fileIdentity(second, b) &&
           a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

bool FileManager::deleteFile(const std::wstring& path, bool clearReadOnly)
{
    const std::wstring target = resolve(path);
    if (clearReadOnly) {
        DWORD attributes = GetFileAttributesW(target.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
            SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    return DeleteFileW(target.c_str()) != 0;
}

bool FileManager::copyFile(const std::wstring& source, const std::wstring& destination)
{
    return CopyFileW(resolve(source).c_str(), resolve(destination).c_str(), TRUE) != 0;
}

std::unique_ptr<FileManager::File> FileManager::openFile(const std::wstring& path, bool append)
{
    // Windows refuses a read-only file itself; a compatibility layer running as
    // the POSIX superuser would not, so the attribute is tested first.
    const std::wstring target = resolve(path);
    DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY) &&
        (attributes & FILE_ATTRIBUTE_READONLY))
        return nullptr;
    HANDLE handle = CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr,
                                append ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return nullptr;
    std::unique_ptr<File> file(new File(reinterpret_cast<std::intptr_t>(handle)));
    if (append)
        file->seekToEnd();
    return file;
}

void FileManager::walkDirectory(const std::wstring& directory, const std::wstring& pattern,
                                DirectoryVisitor& visitor)
{
    // The search text "directory/pattern" has room for 259 characters; a longer one
    // finds nothing rather than a cut-off pattern.
    wchar_t search[MAX_PATH];
    const std::wstring where = resolve(directory);
    if (where.size() + 1 + pattern.size() + 1 > MAX_PATH)
        return;
    std::wstring text = where + L"/" + pattern;
    text.copy(search, text.size());
    search[text.size()] = L'\0';

    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW(search, &found);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        std::wstring name = found.cFileName;
        if (name == L"." || name == L"..")
            continue;
        if (!visitor.visit(found.cFileName, (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0))
            break;
    } while (FindNextFileW(find, &found));
    FindClose(find);
}

bool FileManager::moveFile(const std::wstring& source, const std::wstring& destination)
{
    return MoveFileW(resolve(source).c_str(), resolve(destination).c_str()) != 0;
}

std::string FileManager::replaceFile(const std::wstring& source, const std::wstring& destination)
{
    const std::wstring target = resolve(destination);
    // A read-only file refuses the replacement; the file is ours to renew.
    DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
        !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        SetFileAttributesW(target.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    if (MoveFileExW(resolve(source).c_str(), target.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return std::string();
    return systemReason(GetLastError());
}

bool FileManager::deleteDirectoryTree(const std::wstring& path)
{
    const std::wstring tree = resolve(path);
    DWORD attributes = GetFileAttributesW(tree.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return RemoveDirectoryW(tree.c_str()) != 0;  // the junction goes, not its target

    // The shell wants a full path with backslashes, in a list ended by two zeros.
    DWORD size = GetFullPathNameW(tree.c_str(), 0, nullptr, nullptr);
    if (size == 0)
        return false;
    std::vector<wchar_t> from(size + 2, L'\0');
    if (GetFullPathNameW(tree.c_str(), size, from.data(), nullptr) == 0)
        return false;

    SHFILEOPSTRUCTW operation = {};
    operation.hwnd = nullptr;
    operation.wFunc = FO_DELETE;
    operation.pFrom = from.data();
    operation.pTo = nullptr;
    operation.fFlags = FOF_NOCONFIRMATION | FOF_SILENT | FOF_NOERRORUI | FOF_NOCONFIRMMKDIR;
    SHFileOperationW(&operation);
    return GetFileAttributesW(tree.c_str()) == INVALID_FILE_ATTRIBUTES;
}

InputFile::InputFile(const std::wstring& path)
    : handle_(reinterpret_cast<std::intptr_t>(CreateFileW(
          FileManager::instance().resolve(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)))
{
    if (toHandle(handle_) == INVALID_HANDLE_VALUE)
        handle_ = kClosed;
}

InputFile::~InputFile()
{
    if (handle_ != kClosed)
        CloseHandle(toHandle(handle_));
}

bool InputFile::seek(std::int64_t offset)
{
    return handle_ != kClosed && moveTo(toHandle(handle_), offset);
}

std::int64_t InputFile::read(char* buffer, std::int64_t size)
{
    if (handle_ == kClosed)
        return -1;
    std::int64_t total = 0;
    while (total < size) {
        DWORD want = static_cast<DWORD>(std::min<std::int64_t>(size - total, 64 * 1024 * 1024));
        DWORD got = 0;
        if (!ReadFile(toHandle(handle_), buffer + total, want, &got, nullptr))
            return -1;
        if (got == 0)
            break;
        total += got;
    }
    return total;
}

bool FileManager::freeSpace(const std::wstring& path, std::uint64_t& bytes)
{
    // The space this user may use, quotas included.
    ULARGE_INTEGER available;
    const std::wstring directory = resolve(path.empty() ? L"." : path);
    if (!GetDiskFreeSpaceExW(directory.c_str(), &available, nullptr, nullptr))
        return false;
    bytes = available.QuadPart;
    return true;
}
