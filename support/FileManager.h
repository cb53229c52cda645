#pragma once
// The one place that touches the file system by platform call. Paths are wide
// strings; a relative one is taken from the installation root (see setRoot).
// Operations report failure only through results.

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>

// Outcome of a file utility that may refuse a request. True only when done. A
// refused request (a path starting with "..", which the program does not handle)
// is told apart so that the layer above can decide what the user sees.
class FileResult {
public:
    enum Code { Done, Failed, Refused };
    FileResult(Code code) : code_(code) {}
    explicit operator bool() const { return code_ == Done; }
    bool refused() const { return code_ == Refused; }

private:
    Code code_;
};

// A key under which two relative paths that name one file on this system are
// equal: separators of either kind, empty and "." components, and letter case
// where the system ignores it. No file is looked at.
std::wstring placeKey(const std::wstring& path);

class FileManager {
public:
    class File {
    public:
        ~File();
        File(const File&) = delete;
        File& operator=(const File&) = delete;

        // Writes in pieces of at most 1 MiB; false when a piece fails, and
        // failure() then gives the system's reason.
        bool write(const void* data, std::int64_t size);
        const std::string& failure() const { return failure_; }
        bool seekToEnd();
        // The next write starts `offset` bytes from the start; a write beyond the
        // end leaves a gap that reads as zeros until written.
        bool seekTo(std::int64_t offset);
        std::int64_t position();

    private:
        friend class FileManager;
        explicit File(std::intptr_t handle);
        std::intptr_t handle_;
        std::string failure_;
    };

    class DirectoryVisitor {
    public:
        // Return false to stop the walk.
        virtual bool visit(const wchar_t* name, bool isDirectory) = 0;

    protected:
        ~DirectoryVisitor() = default;
    };

    static FileManager& instance();

    // The installation directory that relative paths start from; empty (the
    // default) leaves them to the current directory. Set before another thread
    // uses the file utilities: the engine sets it when it is made.
    void setRoot(const std::wstring& root);
    const std::wstring& root() const { return root_; }
    // `path` joined onto the root; unchanged when the root is empty or the path
    // absolute (on Windows also a drive letter or UNC name, and a path from the
    // current drive's root). Every operation here, and every file the support
    // layer opens, goes through it.
    std::wstring resolve(const std::wstring& path) const;
    static bool isAbsolute(const std::wstring& path);
    // Opens `stream` on the resolved path for reading text; false when it fails.
    // The whole wide path reaches the system on Windows too.
    bool openTextInput(std::ifstream& stream, const std::wstring& path) const;

    void createDirectory(const std::wstring& path);
    FileResult createDirectories(const std::wstring& path);
    bool isFile(const std::wstring& path);
    // A file's size and last write time, which change whenever its content is
    // written; false when `path` is not a file.
    struct Stamp {
        std::uint64_t size = 0;
        std::int64_t written = 0;
        bool operator==(const Stamp& other) const { return size == other.size && written == other.written; }
    };
    bool stampOf(const std::wstring& path, Stamp& stamp);
    bool isDirectory(const std::wstring& path);
    bool deleteFile(const std::wstring& path, bool clearReadOnly = false);
    bool copyFile(const std::wstring& source, const std::wstring& destination);
    std::unique_ptr<File> openFile(const std::wstring& path, bool append);
    void walkDirectory(const std::wstring& directory, const std::wstring& pattern, DirectoryVisitor& visitor);

    // True when both paths name one existing file by its identity (volume and
    // file index on Windows, device and inode on POSIX), so that another letter
    // case, a short 8.3 name or a link counts as the same file.
    bool isSameFile(const std::wstring& first, const std::wstring& second);

    // Plain rename that fails when the destination exists.
    bool moveFile(const std::wstring& source, const std::wstring& destination);
    // Puts `source` in the place of `destination` in one rename, replacing a file
    // there (a read-only one too), so that a reader finds either the old file or
    // the new one. Logs nothing: the result is empty when done, otherwise the
    // system's reason, for the caller to log beside the name it knows.
    std::string replaceFile(const std::wstring& source, const std::wstring& destination);
    // The bytes this user may still write on the volume that holds `path` (an
    // existing directory); false when the system cannot tell.
    bool freeSpace(const std::wstring& path, std::uint64_t& bytes);
    // Removes a directory and everything below it, never following a link or
    // junction out of the tree. No confirmation, no recycle bin.
    bool deleteDirectoryTree(const std::wstring& path);

    // Largest piece handed to the platform by File::write.
    static const std::int64_t kWritePiece = 1024 * 1024;

private:
    FileManager() = default;
    std::wstring root_;
};
