#pragma once
// The two platform calls that FileManager's portable logic builds on.

#include <cstdint>
#include <string>

namespace filecalls {

enum class MakeDirectoryResult { Created, AlreadyExists, Failed };

// One directory level (CreateDirectoryW / mkdir). Something of that name that is
// not a directory also counts as existing, as it does on Windows.
MakeDirectoryResult makeDirectory(const std::wstring& path);

// Whether a path that begins with a separator starts at the root of the file
// system (POSIX). On Windows such a path is a UNC name or relative to the current
// drive, and directory creation does not start it anew.
extern const bool kSeparatorStartsAtRoot;

// Whether the file system takes names that differ only in ASCII letter case as
// one name (Windows) or as two (POSIX).
extern const bool kNamesIgnoreCase;

// One synchronous write of `size` bytes: empty when all of them were written,
// otherwise the system's reason (a full disk, a failing device).
std::string writePiece(std::intptr_t handle, const char* data, std::uint32_t size);

}  // namespace filecalls
