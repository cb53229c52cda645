// The two local configuration files: "test.cfg" (an optional version-server host)
// and the launcher configuration (the program started next and the file group).

#include "engine/StarterWorker.h"
#include "engine/StarterWorkerData.h"

#include "support/Decimal.h"
#include "support/DeltaIndex.h"
#include "support/FileManager.h"
#include "support/InfoFile.h"
#include "support/Log.h"
#include "support/PathSafety.h"
#include "support/TextConvert.h"

#include <boost/property_tree/info_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <utility>
#include <vector>

namespace pt = boost::property_tree;

namespace {

// A launcher configuration under "updater" was put there by the version server.
bool isDeliveredByServer(const std::wstring& path)
{
    const std::wstring::size_type separator = path.find_last_of(L"/\\");
    return separator == updaterDirectory.size() && path.compare(0, separator, updaterDirectory) == 0;
}

// Keeps what the starter needs of its configuration while the file is read,
// without the whole tree: the first entry of each key, as the tree's lookups
// took it, and one compact record per listed file.
class LauncherInfoReader : public InfoEntryVisitor {
public:
    explicit LauncherInfoReader(FileGroup& group) : group_(group) {}

    std::string updaterName;
    std::string gameClientPath;
    std::string saveDir;
    std::string concurrentDownloads;
    bool hasFileList = false;
    bool hasDeltaIndex = false;
    std::string deltaPath, deltaSize, deltaSha1;
    // Logged once the configuration as a whole is accepted.
    std::vector<std::string> unsafeNames;

    void opened(InfoEntryPath& path) override
    {
        const std::string& key = path.key(path.depth() - 1);
        switch (path.depth()) {
        case 1:
            if (key == "updater" && !seenUpdater_) {
                seenUpdater_ = true;
                path.mark();
            }
            break;
        case 2:
            if (!path.marked(0))
                break;
            if (key == "host_list" && !seenHostList_) {
                seenHostList_ = true;
                path.mark();
            } else if (key == "file_list" && !hasFileList) {
                hasFileList = true;
                path.mark();
            } else if (key == "delta_index" && !hasDeltaIndex) {
                hasDeltaIndex = true;
                path.mark();
            }
            break;
        case 3:
            if (inFileList(path)) {
                file_ = gametool::FileInfo();
                fileSeen_ = 0;
            }
            break;
        default:
            break;
        }
    }

    void closed(const InfoEntryPath& path) override
    {
        const std::size_t depth = path.depth();
        const std::string& key = path.key(depth - 1);
        const std::string& data = path.data(depth - 1);
        if (depth == 1) {
            takeFirst(key == "updater_name", seenUpdaterName_, updaterName, data);
            takeFirst(key == "gameclient_path", seenGameClientPath_, gameClientPath, data);
        } else if (depth == 2 && path.marked(0)) {
            takeFirst(key == "save_dir", seenSaveDir_, saveDir, data);
            takeFirst(key == "concurrent_downloads", seenConcurrentDownloads_, concurrentDownloads, data);
        } else if (depth == 3 && path.marked(0) && path.marked(1)) {
            if (path.key(1) == "host_list" && !data.empty())
                group_.hosts.push_back(data);
            else if (path.key(1) == "file_list")
                finishFile();
            else if (path.key(1) == "delta_index") {
                takeFirst(key == "path", seenDeltaPath_, deltaPath, data);
                takeFirst(key == "size", seenDeltaSize_, deltaSize, data);
                takeFirst(key == "sha1", seenDeltaSha1_, deltaSha1, data);
            }
        } else if (depth == 4 && inFileList(path)) {
            takeField(key, data);
        }
    }

private:
    enum Field { Name = 1, Path = 2, Sha1 = 4, Size = 8 };

    static bool inFileList(const InfoEntryPath& path)
    {
        return path.depth() >= 3 && path.marked(0) && path.marked(1) && path.key(1) == "file_list";
    }

    static void takeFirst(bool matches, bool& seen, std::string& target, const std::string& data)
    {
        if (matches && !seen) {
            seen = true;
            target = data;
        }
    }

    void takeField(const std::string& key, const std::string& data)
    {
        const int field = key == "name"   ? Name
                          : key == "path" ? Path
                          : key == "sha1" ? Sha1
                          : key == "size" ? Size
                                          : 0;
        if (field == 0 || (fileSeen_ & field) != 0)
            return;
        fileSeen_ |= field;
        switch (field) {
        case Name:
            file_.name = data;
            break;
        case Path:
            file_.path = data;
            break;
        case Sha1:
            file_.sha1 = data;
            break;
        default:  // anything but a plain decimal number (letters, a sign, blanks, overflow) is 0
            file_.size = 0;
            parseDecimal(data, file_.size);
            break;
        }
    }

    void finishFile()
    {
        if ((file_.name.empty() || file_.path.empty()) && file_.size == 0)
            return;
        // The configuration may come from the server: its files stay below save_dir.
        if (!file_.name.empty() && !confinedPath(file_.name)) {
            unsafeNames.push_back(file_.name);
            return;
        }
        group_.files.push_back(std::move(file_));
    }

    FileGroup& group_;
    gametool::FileInfo file_;
    int fileSeen_ = 0;
    bool seenUpdater_ = false;
    bool seenHostList_ = false;
    bool seenUpdaterName_ = false;
    bool seenGameClientPath_ = false;
    bool seenSaveDir_ = false;
    bool seenConcurrentDownloads_ = false;
    bool seenDeltaPath_ = false;
    bool seenDeltaSize_ = false;
    bool seenDeltaSha1_ = false;
};

bool isLowerHex(const std::string& text, std::size_t length)
{
    return text.size() == length && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// The delta index the configuration names, when it names one soundly; one that
// is not is logged and left alone: the files then come whole, as without one.
void takeDeltaIndex(const LauncherInfoReader& reader, FileGroup& group)
{
    if (!reader.hasDeltaIndex)
        return;
    DeltaIndexRef ref;
    ref.path = reader.deltaPath;
    ref.sha1 = reader.deltaSha1;
    const bool sound = ref.path.compare(0, std::strlen(kDeltaDirectory), kDeltaDirectory) == 0 &&
                       confinedPath(ref.path) && parseDecimal(reader.deltaSize, ref.size) && ref.size > 0 &&
                       ref.size <= kMaxDeltaIndexBytes && isLowerHex(ref.sha1, 40);
    if (!sound) {
        Log::instance().write("补丁索引配置无效，已忽略:", ref.path);
        return;
    }
    group.deltaIndex = ref;
}

// The configured number of simultaneous downloads; a value that is no count
// keeps the default, and one beyond the limit is taken as the limit.
void takeConcurrentDownloads(const std::string& text, FileGroup& group)
{
    std::uint64_t count = 0;
    if (text.empty())
        return;
    if (!parseDecimal(text, count) || count == 0) {
        Log::instance().write("下载并发数无效，使用默认值:", text);
        return;
    }
    group.concurrentDownloads =
        std::size_t(std::min<std::uint64_t>(count, StarterWorker::kMaxConcurrentDownloads));
}

// Whether what was read names everything a group needs, safely; logs what is missing.
bool acceptLauncherInfo(const LauncherInfoReader& reader, FileGroup& group)
{
    if (reader.updaterName.empty()) {
        Log::instance().write("launcher配置文件中没有指定更新器的名字");
        return false;
    }
    // The server can write this file: the program started next stays inside too.
    if (!confinedPath(reader.updaterName)) {
        Log::instance().write("文件路径不安全，已忽略:", reader.updaterName);
        return false;
    }
    // An empty save_dir is the starter's directory.
    const boost::optional<std::wstring> confinedSaveDir =
        reader.saveDir.empty() ? std::wstring() : confinedPath(reader.saveDir);
    if (!confinedSaveDir) {
        Log::instance().write("文件路径不安全，已忽略:", reader.saveDir);
        return false;
    }
    group.saveDir = *confinedSaveDir;
    takeConcurrentDownloads(reader.concurrentDownloads, group);
    takeDeltaIndex(reader, group);
    if (group.hosts.empty()) {
        Log::instance().write("launcher配置文件中没有指定更新器的服务器");
        return false;
    }
    if (!reader.hasFileList) {
        Log::instance().write("launcher配置文件中没有指更新器的下载文件路径");
        return false;
    }
    return true;
}

}  // namespace

bool StarterWorker::readTestConfig()
{
    const std::wstring path = L"test.cfg";
    if (!FileManager::instance().isFile(path))
        return false;

    pt::ptree tree;
    std::ifstream stream;
    if (!FileManager::instance().openTextInput(stream, path))
        return false;
    try {
        pt::read_info(stream, tree);
    } catch (const pt::info_parser_error&) {
        // A broken test.cfg counts as none: the built-in hosts are used.
        return false;
    }
    m_data->versionHost = tree.get<std::string>("starter_cfg_host", "");
    return !m_data->versionHost.empty();
}

bool StarterWorker::readLauncherInfo(const std::string& path)
{
    InnerData& d = *m_data;
    // A fresh group: pending entries of an earlier reading keep the one they point into.
    const std::shared_ptr<FileGroup> group = std::make_shared<FileGroup>();
    d.updaterGroup = group;

    const std::wstring widePath = narrowToWide(path);
    if (!FileManager::instance().isFile(widePath))
        return false;

    if (isDeliveredByServer(widePath) && hasIncludeDirective(widePath)) {
        // An include would make the reader open local files of the server's choosing.
        Log::instance().write("服务器文件包含不允许的指令:", path);
        return false;
    }

    LauncherInfoReader reader(*group);
    try {
        readInfoEntries(path, reader);
    } catch (const pt::info_parser_error& e) {
        group->files.clear();
        Log::instance().write(e.what());
        return false;
    }
    group->files.shrink_to_fit();

    if (!acceptLauncherInfo(reader, *group)) {
        group->files.clear();
        return false;
    }
    d.updaterName = reader.updaterName;
    d.gameClientPath = reader.gameClientPath;
    for (const std::string& name : reader.unsafeNames)
        Log::instance().write("文件路径不安全，已忽略:", name);
    return true;
}
