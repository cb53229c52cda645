#pragma once
// A file opened for reading in binary mode, shared with other readers and
// writers; closed when destroyed.

#include <cstdint>
#include <string>

class InputFile {
public:
    explicit InputFile(const std::wstring& path);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    bool isOpen() const { return handle_ != kClosed; }

    // Fills `buffer` unless the file ends first; the number of bytes read, or -1
    // on a read error (bytes read before the error are then lost to the caller).
    std::int64_t read(char* buffer, std::int64_t size);
    // Moves to `offset` from the start for the next read; false when it cannot.
    bool seek(std::int64_t offset);

private:
    static const std::intptr_t kClosed = -1;
    std::intptr_t handle_;
};
