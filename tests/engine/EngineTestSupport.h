#pragma once
// What the engine tests share: a recording event sink, a fresh installation
// directory per test with the log it gained, packages and launcher
// configurations, and a worker beside our version server and nginx.

#include "engine/EngineTypes.h"
#include "engine/StarterWorker.h"
#include "tests/common/Directories.h"
#include "tests/common/Files.h"
#include "tests/common/Servers.h"

#include <boost/filesystem/path.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

class RecordingEventSet : public gametool::EventSet {
public:
    void onEvent(UpdateEvent& event) override;

    // "P(0,30) B(30) R F(0)": a run of BytesReceived events shows as one B with
    // their sum; R is an operation the file system refused.
    std::string sequence() const;
    std::thread::id lastThread() const;

    // When set, an event of this kind throws std::runtime_error("sink refused").
    int throwOnKind = -1;

private:
    mutable std::mutex mutex_;
    std::vector<UpdateEvent> events_;
    std::thread::id thread_;
};

using fixtures::sha1Of;
using fixtures::VersionServer;
// nginx serving the sandbox's two web hosts.
typedef fixtures::NginxServer WebServer;

// A fresh directory tree per test; its "work" directory is the installation
// directory (the file utilities' root) for the life of the object.
class Sandbox {
public:
    Sandbox();
    ~Sandbox();
    const boost::filesystem::path& root() const { return root_.path(); }
    boost::filesystem::path work() const { return root() / "work"; }
    // What the program logged since the sandbox was made.
    std::string log() const { return log_.text(); }

private:
    fixtures::TempDirectory root_{"t"};
    fixtures::LogWatch log_;
    std::wstring previousRoot_;
};

// The test's own view of the installation: a relative path is taken from the
// work directory of the newest sandbox, by the test's own joining, so that a
// program that looked elsewhere would not find the files the test put there.
boost::filesystem::path at(const boost::filesystem::path& path);
std::string readFile(const boost::filesystem::path& path);
void writeFile(const boost::filesystem::path& path, const std::string& content);

// The launcher configuration of one group; `files` holds INFO text of file nodes.
std::string launcherInfo(const std::string& hosts, const std::string& saveDir, const std::string& files,
                         const std::string& updaterName = "updater/Updater.exe");
std::string fileNode(const std::string& name, const std::string& path, const std::string& sha1,
                     std::uint64_t size);
// `info` naming a delta index in its updater section.
std::string withDeltaIndex(std::string info, const std::string& path, std::uint64_t size,
                           const std::string& sha1);
// `info` naming the delta index `path` that holds `text` (listed with `sha1` when given).
std::string withDeltaIndex(std::string info, const std::string& path, const std::string& text,
                           const std::string& sha1 = std::string());

// A worker in a fresh working directory, with its waits recorded instead of slept.
class NetEngineTest : public testing::Test {
protected:
    NetEngineTest()
    {
        worker.setSleeper([this](std::chrono::milliseconds wait) { waits.push_back(wait.count()); });
    }

    void useVersionServerFromTestConfig() { writeFile("test.cfg", "starter_cfg_host 127.0.0.1\n"); }
    // Serves sandbox/served; throws when the server does not start.
    VersionServer& startVersionServer();
    // nginx serving sandbox/http/www1 on 127.0.0.1 and .../www2 on 127.0.0.2.
    WebServer& startWebServer();
    void serve(const std::string& name, const std::string& content)
    {
        writeFile(sandbox.root() / "served" / name, content);
    }
    void publish(int host, const std::string& name, const std::string& content)
    {
        writeFile(sandbox.root() / "http" / ("www" + std::to_string(host)) / name, content);
    }

    Sandbox sandbox;
    RecordingEventSet sink;
    StarterWorker worker{&sink, sandbox.work().wstring()};
    std::vector<long long> waits;  // milliseconds
    std::unique_ptr<VersionServer> versionServer;
    std::unique_ptr<WebServer> webServer;
};
