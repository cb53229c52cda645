#pragma once
// A whole file seen as memory: read-only for a file that is there, or writable
// for a file made exactly as long as its content will be. Patches are applied
// through it, so that neither the old nor the new file is ever held in the
// program's own memory, whatever their size: the system pages them in and out.
//
// Never throws. A failure leaves nothing mapped and gives the system's reason.
// An empty file maps to no memory at all (data() is null, size() 0). A file
// larger than the address space can hold (on a 32-bit program) is refused.

#include <cstdint>
#include <string>

class MappedFile {
public:
    MappedFile() = default;
    // Unmaps and closes; bytes written through a writable mapping stay in the file.
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    // Maps the file at `path` for reading; other programs may read it meanwhile.
    // Empty when mapped; otherwise the reason.
    std::string openForReading(const std::wstring& path);
    // Sets the existing file at `path` to exactly `size` bytes and maps it for
    // writing. Empty when mapped; otherwise the reason.
    std::string openForWriting(const std::wstring& path, std::uint64_t size);

    bool isOpen() const { return open_; }
    const char* data() const { return static_cast<const char*>(address_); }
    char* writableData() { return static_cast<char*>(address_); }
    std::uint64_t size() const { return size_; }

    // Unmaps and closes now. For a writable mapping, empty when every byte reached
    // the file; otherwise the reason.
    std::string close();

private:
    // Takes what an open made: the view, its length, and the handles Windows
    // keeps open while mapped (POSIX closes its descriptor once the map is made).
    void hold(void* address, std::uint64_t size, bool writable, std::intptr_t file = -1,
              std::intptr_t mapping = 0)
    {
        open_ = true;
        address_ = address;
        size_ = size;
        writable_ = writable;
        file_ = file;
        mapping_ = mapping;
    }

    bool open_ = false;
    void* address_ = nullptr;
    std::uint64_t size_ = 0;
    std::intptr_t file_ = -1;
    std::intptr_t mapping_ = 0;
    bool writable_ = false;
};
