// The two local configuration files: "test.cfg" (an optional version-server host)
// and the launcher configuration (the program started next and the file group).

#include "engine/StarterWorker.h"
#include "engine/StarterWorkerData.h"

#include "support/FileManager.h"
#include "support/InfoFile.h"
#include "support/Log.h"
#include "support/PathSafety.h"
#include "support/TextConvert.h"

#include <boost/property_tree/info_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <limits>

namespace pt = boost::property_tree;

namespace {

// An unsigned decimal number; anything else (letters, a sign, blanks, overflow) is 0.
std::uint64_t readSize(const std::string& text)
{
    if (text.empty())
        return 0;
    std::uint64_t value = 0;
    const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    for (char c : text) {
        if (c < '0' || c > '9')
            return 0;
        const unsigned digit = static_cast<unsigned>(c - '0');
        if (value > (max - digit) / 10)
            return 0;
        value = value * 10 + digit;
    }
    return value;
}

// A launcher configuration under "updater" was put there by the version server.
bool isDeliveredByServer(const std::wstring& path)
{
    const std::wstring::size_type separator = path.find_last_of(L"/\\");
    return separator == updaterDirectory.size() && path.compare(0, separator, updaterDirectory) == 0;
}

}  // namespace

bool StarterWorker::readTestConfig()
{
    const std::wstring path = L"test.cfg";
    if (!FileManager::instance().isFile(path))
        return false;

    pt::ptree tree;
    try {
        pt::read_info(wideToNarrow(path), tree);
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
    FileGroup& group = *d.updaterGroup;
    group.files.clear();

    const std::wstring widePath = narrowToWide(path);
    if (!FileManager::instance().isFile(widePath))
        return false;

    if (isDeliveredByServer(widePath) && hasIncludeDirective(widePath)) {
        // An include would make the reader open local files of the server's choosing.
        Log::instance().write("服务器文件包含不允许的指令:", path);
        return false;
    }

    pt::ptree tree;
    try {
        pt::read_info(path, tree);
    } catch (const pt::info_parser_error& e) {
        Log::instance().write(e.what());
        return false;
    }

    d.updaterName = tree.get<std::string>("updater_name", "");
    if (d.updaterName.empty()) {
        Log::instance().write("launcher配置文件中没有指定更新器的名字");
        return false;
    }
    d.gameClientPath = tree.get<std::string>("gameclient_path", "");

    const pt::ptree updater = tree.get_child("updater", pt::ptree());
    const boost::optional<const pt::ptree&> hostList = updater.get_child_optional("host_list");
    group.saveDir = narrowToWide(updater.get<std::string>("save_dir", ""));
    if (hostList) {
        for (const auto& child : *hostList) {
            if (!child.second.data().empty())
                group.hosts.push_back(child.second.data());
        }
    }
    if (group.hosts.empty()) {
        Log::instance().write("launcher配置文件中没有指定更新器的服务器");
        return false;
    }

    const boost::optional<const pt::ptree&> fileList = updater.get_child_optional("file_list");
    if (!fileList) {
        Log::instance().write("launcher配置文件中没有指更新器的下载文件路径");
        return false;
    }
    for (const auto& child : *fileList) {
        auto file = std::make_shared<gametool::FileInfo>();
        file->name = child.second.get<std::string>("name", "");
        file->path = child.second.get<std::string>("path", "");
        file->sha1 = child.second.get<std::string>("sha1", "");
        file->size = readSize(child.second.get<std::string>("size", ""));
        if ((file->name.empty() || file->path.empty()) && file->size == 0)
            continue;
        // The configuration may come from the server: its files stay below save_dir.
        if (!file->name.empty() && !isConfinedRelativePath(file->name)) {
            Log::instance().write("文件路径不安全，已忽略:", file->name);
            continue;
        }
        group.files.push_back(file);
    }
    return true;
}
