#include "support/LogPruning.h"

#include <algorithm>

namespace {

const std::size_t kLogNameLength = 19;  // YYYYMMDD_HHMMSS.txt
const std::size_t kFilesKept = 10;

}  // namespace

bool LogFileVisitor::visit(const wchar_t* name, bool isDirectory)
{
    std::wstring text = name;
    if (!isDirectory && text.size() == kLogNameLength)
        names.push_back(text);
    return true;
}

void pruneLogFiles()
{
    FileManager& files = FileManager::instance();
    LogFileVisitor visitor;
    files.walkDirectory(L"Log", L"*.txt", visitor);
    if (visitor.names.size() <= kFilesKept)
        return;
    // The names begin with their creation time, so the oldest sort first.
    std::sort(visitor.names.begin(), visitor.names.end());
    for (std::size_t i = 0; i < visitor.names.size() - kFilesKept; ++i)
        files.deleteFile(L"Log/" + visitor.names[i]);
}
