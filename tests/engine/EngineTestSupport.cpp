#include "tests/engine/EngineTestSupport.h"

#include "support/FileManager.h"

#include <boost/filesystem/operations.hpp>

#include <sstream>
#include <stdexcept>

namespace fs = boost::filesystem;

void RecordingEventSet::onEvent(UpdateEvent& event)
{
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(event);
    thread_ = std::this_thread::get_id();
    if (event.kind == throwOnKind)
        throw std::runtime_error("sink refused");
}

std::string RecordingEventSet::sequence() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::ostringstream out;
    std::uint64_t bytes = 0;
    bool inBytes = false;
    auto flushBytes = [&] {
        if (inBytes)
            out << "B(" << bytes << ") ";
        inBytes = false;
        bytes = 0;
    };
    for (const UpdateEvent& event : events_) {
        switch (event.kind) {
        case UpdateEvent::Progress:
            flushBytes();
            out << "P(" << boost::get<std::uint64_t>(event.first) << ","
                << boost::get<std::uint64_t>(event.second) << ") ";
            break;
        case UpdateEvent::BytesReceived:
            inBytes = true;
            bytes += boost::get<std::uint64_t>(event.first);
            if (boost::get<std::uint64_t>(event.second) != 0)
                out << "B-second-not-zero ";
            break;
        case UpdateEvent::Finished:
            flushBytes();
            out << "F(" << boost::get<std::int32_t>(event.first) << ") ";
            if (boost::get<std::uint64_t>(event.second) != 0)
                out << "F-second-not-zero ";
            break;
        case UpdateEvent::OperationRefused:
            flushBytes();
            out << "R ";
            break;
        default:
            flushBytes();
            out << "?(" << event.kind << ") ";
        }
    }
    flushBytes();
    std::string text = out.str();
    if (!text.empty())
        text.pop_back();
    return text;
}

std::thread::id RecordingEventSet::lastThread() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return thread_;
}

namespace {

fs::path g_work;

}  // namespace

Sandbox::Sandbox()
{
    fs::create_directories(work());
    g_work = work();
    previousRoot_ = FileManager::instance().root();
    FileManager::instance().setRoot(work().wstring());
}

Sandbox::~Sandbox()
{
    FileManager::instance().setRoot(previousRoot_);
    g_work.clear();
}

fs::path at(const fs::path& path)
{
    return path.is_absolute() || g_work.empty() ? path : g_work / path;
}

std::string readFile(const fs::path& path)
{
    return fixtures::readFile(at(path));
}

void writeFile(const fs::path& path, const std::string& content)
{
    fixtures::writeFile(at(path), content);
}

fixtures::VersionServer& NetEngineTest::startVersionServer()
{
    versionServer.reset(new fixtures::VersionServer(sandbox.root() / "served"));
    if (!versionServer->ready())
        throw std::runtime_error("the version server did not start: " + versionServer->output());
    return *versionServer;
}

fixtures::NginxServer& NetEngineTest::startWebServer()
{
    const fs::path dir = sandbox.root() / "http";
    webServer.reset(new fixtures::NginxServer(std::vector<fs::path>{dir / "www1", dir / "www2"}));
    if (!webServer->ready())
        throw std::runtime_error("nginx did not start: " + webServer->errorLog());
    return *webServer;
}

std::string launcherInfo(const std::string& hosts, const std::string& saveDir, const std::string& files,
                         const std::string& updaterName)
{
    return "updater_name \"" + updaterName +
           "\"\ngameclient_path \"-game\"\nupdater\n{\n"
           "    host_list\n    {\n" +
           hosts + "    }\n    save_dir \"" + saveDir +
           "\"\n"
           "    file_list\n    {\n" +
           files + "    }\n}\n";
}

std::string withDeltaIndex(std::string info, const std::string& path, std::uint64_t size,
                           const std::string& sha1)
{
    return info.insert(info.find("    save_dir"), "    delta_index { path \"" + path + "\" size " +
                                                      std::to_string(size) + " sha1 " + sha1 + " }\n");
}

std::string fileNode(const std::string& name, const std::string& path, const std::string& sha1,
                     std::uint64_t size)
{
    return "        file\n        {\n            name \"" + name + "\"\n            path \"" + path +
           "\"\n            sha1 \"" + sha1 + "\"\n            size " + std::to_string(size) +
           "\n        }\n";
}

std::string withDeltaIndex(std::string info, const std::string& path, const std::string& text,
                           const std::string& sha1)
{
    info.insert(info.find("    save_dir"), "    delta_index\n    {\n        path \"" + path +
                                               "\"\n        size " + std::to_string(text.size()) +
                                               "\n        sha1 " + (sha1.empty() ? sha1Of(text) : sha1) +
                                               "\n    }\n");
    return info;
}
