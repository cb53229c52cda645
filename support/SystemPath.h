#pragma once
// POSIX only: the byte path a system call gets for one of the program's wide
// paths, taken from FileManager's root when relative. Windows accepts both
// separators, so a backslash is a separator here too.

#include <string>

std::string systemPath(const std::wstring& path);
