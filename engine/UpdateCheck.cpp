// One update check against a version server: the manifest, the deletion list and
// every file the manifest lists, over one connection.

#include "engine/StarterWorker.h"
#include "engine/StarterWorkerData.h"

#include "engine/ReleaseGuard.h"

#include "net/VersionClient.h"
#include "platform/Platform.h"
#include "support/FileDigest.h"
#include "support/FileManager.h"
#include "support/InfoFile.h"
#include "support/Log.h"
#include "support/ObsoleteFiles.h"
#include "support/PathSafety.h"
#include "support/TextConvert.h"

#include <boost/property_tree/info_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <map>

namespace pt = boost::property_tree;

namespace {

// The running starter, in the starter's directory (the working directory).
const wchar_t kStarterFile[] = L"Launcher.exe";

// Reads the top-level entries of an INFO file that the server delivered; false
// (logged) when it cannot be read or tries to pull in other files.
bool readServerEntries(const std::wstring& path, const std::string& name, InfoEntries& entries)
{
    std::string error;
    switch (readInfoFile(path, entries, error)) {
    case InfoRead::Read:
        return true;
    case InfoRead::HasInclude:
        Log::instance().write("服务器文件包含不允许的指令:", name);
        return false;
    case InfoRead::Malformed:
        break;
    }
    Log::instance().write(error);
    return false;
}

}  // namespace

namespace engine_detail {

std::string localDigest(const std::wstring& path)
{
    if (FileManager::instance().isFile(path))
        return computeFileSha1(path);
    return "unavailable";
}

bool isStarterFile(const std::wstring& local)
{
    FileManager& files = FileManager::instance();
    if (files.isFile(kStarterFile))
        return files.isSameFile(local, kStarterFile);
    const std::wstring starter = kStarterFile;
    if (local.size() != starter.size())
        return false;
    for (std::size_t i = 0; i < local.size(); ++i) {
        const wchar_t a = local[i] >= L'a' && local[i] <= L'z' ? local[i] - L'a' + L'A' : local[i];
        const wchar_t b = starter[i] >= L'a' && starter[i] <= L'z' ? starter[i] - L'a' + L'A' : starter[i];
        if (a != b)
            return false;
    }
    return true;
}

}  // namespace engine_detail

bool StarterWorker::runUpdateCheck()
{
    using engine_detail::localDigest;
    InnerData& d = *m_data;
    d.receivedBytes = 0;
    d.totalBytes = 0;
    VersionClient client;

    if (!readTestConfig()) {
        bool connected = false;
        for (const std::string& host : d.builtInHosts) {
            if (client.connect(host)) {
                connected = true;
                break;
            }
        }
        if (!connected) {
            Log::instance().write("没有可用版本服务器");
            return false;
        }
    } else if (d.versionHost.empty() || !client.connect(d.versionHost)) {
        // A test.cfg host replaces the built-in ones; the client logged why it failed.
        return false;
    }

    // With a release key, deliveries are held aside until release.sig vouches for
    // all of them; the guard removes what it still holds when the check ends.
    engine_detail::ReleaseGuard guard(d.releaseKey, d.utcClock);
    const auto refused = [&d] {
        d.releaseRefused = true;
        return false;
    };

    const std::wstring manifest = joinPath(updaterDirectory, L"files.cfg");
    const FetchResult manifestResult =
        client.fetchFile("files.cfg", localDigest(manifest), guard.receivePath(manifest));
    if (manifestResult == FetchResult::Failed || manifestResult == FetchResult::NotWritten) {
        Log::instance().write("下载版本服务器文件列表失败");
        // The server answered: asking it again cannot help this disk.
        d.manifestNotWritten = manifestResult == FetchResult::NotWritten;
        return false;
    }
    if (!guard.admitRelease(client, manifest, manifestResult))
        return refused();
    InfoEntries entries;
    const std::wstring manifestNow =
        manifestResult == FetchResult::Fetched ? guard.receivePath(manifest) : manifest;
    if (!readServerEntries(manifestNow, "files.cfg", entries))
        return false;

    const auto deletion = entries.find("delete_config.txt");
    if (deletion != entries.end()) {
        const std::wstring list = joinPath(updaterDirectory, L"delete_config.txt");
        // A new list takes the old one's place only after its deletions: a run
        // cut off in between sends the old digest again and gets the list again.
        const std::wstring received = list + L".new";
        const FetchResult result = client.fetchFile("delete_config.txt", localDigest(list), received);
        if (result == FetchResult::Failed) {
            Log::instance().write("下载删除配置文件失败");
            return false;
        }
        if (result == FetchResult::NotWritten) {
            Log::instance().write("下载删除配置文件失败");
            d.localWriteFailed = true;
        }
        if (!guard.admit("delete_config.txt", list, result))
            return refused();
        // Only a newly delivered list is acted on; a held one when it is put in place.
        if (result == FetchResult::Fetched && !guard.active()) {
            if (!deleteObsoleteFiles(received)) {
                // Not done until recorded: the next run gets the list again.
                FileManager::instance().deleteFile(received);
                d.localWriteFailed = true;
            } else {
                const std::string reason = FileManager::instance().replaceFile(received, list);
                if (!reason.empty()) {
                    Log::instance().write("写文件失败:", wideToNarrow(list), reason);
                    d.localWriteFailed = true;
                }
            }
        }
        entries.erase(deletion);
    }

    bool allFetched = true;
    std::set<std::string> fetched;
    std::string starterKey;
    for (const auto& entry : entries) {
        const std::string& key = entry.first;
        const std::string& value = entry.second;
        // Fetched and checked with the manifest.
        if (guard.active() && key == "release.sig")
            continue;
        // The server is not authenticated: it may only place files below the working directory.
        const boost::optional<std::wstring> name = confinedPath(key);
        boost::optional<std::wstring> directory = std::wstring();
        if (value == "public")
            directory = d.isWow64 ? L"x64" : L"win32";
        else if (!value.empty())
            directory = confinedPath(value);
        if (!name || !directory) {
            Log::instance().write("文件路径不安全，已忽略:", key);
            continue;
        }
        // Written without success before in this run: the same bytes would fail again.
        if (d.unwritable.count(key))
            continue;

        std::wstring local = *name;
        if (!directory->empty()) {
            // A directory that cannot be made shows up as a failed fetch below.
            if (FileManager::instance().createDirectories(*directory).refused())
                platform::showUnsupportedOperationBox();
            local = joinPath(*directory, local);
        }

        const std::string digest = localDigest(local);
        // The running starter cannot be overwritten; the hand-off puts the new one in place.
        const bool starter = engine_detail::isStarterFile(local);
        const std::wstring target = starter ? kStarterFile + std::wstring(L".tmp") : local;

        const FetchResult result = client.fetchFile(key, digest, guard.receivePath(target));
        if (!guard.admit(key, target, result))
            return refused();
        switch (result) {
        case FetchResult::Fetched:
            fetched.insert(key);
            if (starter)
                starterKey = key;
            break;
        case FetchResult::Failed:
            allFetched = false;
            break;
        case FetchResult::NoContent:
            break;
        case FetchResult::NotWritten:
            d.unwritable.insert(key);
            d.localWriteFailed = true;
            break;
        }
    }

    // Everything delivered was vouched for: now it may replace files. A new
    // deletion list is acted on before it takes the old one's place, so that a
    // run cut off in between gets it again.
    const auto unplaced = guard.commit([&d](const std::string& name, const std::wstring& received) {
        if (name != "delete_config.txt" || deleteObsoleteFiles(received))
            return true;
        d.localWriteFailed = true;
        return false;
    });
    for (const engine_detail::ReleaseGuard::Unplaced& file : unplaced) {
        Log::instance().write("打开文件失败:", file.name, file.reason);
        fetched.erase(file.name);
        // The server answered; this disk is what failed.
        d.unwritable.insert(file.name);
        d.localWriteFailed = true;
    }

    if (!starterKey.empty() && fetched.count(starterKey))
        d.selfUpdatePending = true;
    return allFetched;
}
