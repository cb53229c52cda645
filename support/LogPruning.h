#pragma once
// Keeps the ten newest log files in "Log".

#include "support/FileManager.h"

#include <string>
#include <vector>

class LogFileVisitor : public FileManager::DirectoryVisitor {
public:
    bool visit(const wchar_t* name, bool isDirectory) override;

    std::vector<std::wstring> names;
};

void pruneLogFiles();
