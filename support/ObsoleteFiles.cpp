#include "support/ObsoleteFiles.h"

#include "support/FileManager.h"
#include "support/InfoFile.h"
#include "support/Log.h"
#include "support/PathSafety.h"
#include "support/StagedFile.h"
#include "support/TextConvert.h"
#include "support/UpdaterDirectory.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace {

typedef InfoEntries EntryMap;

// The entries of a list or record; a missing, unreadable or malformed file gives none.
EntryMap readEntries(const std::wstring& path)
{
    EntryMap entries;
    if (!FileManager::instance().isFile(path))
        return entries;
    std::string error;
    try {
        const InfoRead read = readInfoFile(path, entries, error);
        if (read == InfoRead::HasInclude)
            Log::instance().write("服务器文件包含不允许的指令:", wideToNarrow(path));
        if (read != InfoRead::Read)
            entries.clear();
    } catch (const std::exception&) {
        entries.clear();
    }
    return entries;
}

// Written beside the record and renamed over it: a record cut short (a kill, a
// full disk) would forget entries, and a later list would then delete files
// installed since. The text goes through FileManager because a file stream
// loses a write error at its closing flush, which is where a small file fails.
bool writeEntries(const std::wstring& path, const EntryMap& entries)
{
    const std::string reason = writeWholeFile(path, infoText(entries));
    if (reason.empty())
        return true;
    Log::instance().write("写文件失败:", wideToNarrow(path), reason);
    return false;
}

void deletePath(const std::wstring& path)
{
    FileManager& files = FileManager::instance();
    if (files.isDirectory(path))
        files.deleteDirectoryTree(path);
    else if (files.isFile(path))
        files.deleteFile(path);
}

}  // namespace

bool deleteObsoleteFiles()
{
    return deleteObsoleteFiles(joinPath(updaterDirectory, L"delete_config.txt"));
}

bool deleteObsoleteFiles(const std::wstring& listPath)
{
    const std::wstring recordPath = joinPath(updaterDirectory, L"file_delete_record.txt");
    EntryMap record = readEntries(recordPath);
    EntryMap list = readEntries(listPath);

    bool recordChanged = false;
    for (const auto& entry : list) {
        const std::string& key = entry.first;
        const std::string& released = entry.second;
        // The list comes from a server: it may only name things inside the installation.
        const boost::optional<std::wstring> path = confinedPath(key);
        if (!path) {
            Log::instance().write("文件路径不安全，已忽略:", key);
            continue;
        }
        if (!released.empty()) {
            EntryMap::const_iterator done = record.find(key);
            if (done != record.end() && released < done->second)
                continue;  // already acted on since this release
            record[key] = timestampText();
            recordChanged = true;
        }
        deletePath(*path);
    }
    return !recordChanged || writeEntries(recordPath, record);
}
