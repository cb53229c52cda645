#pragma once
// A worker in a fresh working directory, with its waits recorded instead of slept.

#include "engine/StarterWorker.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/engine/Servers_posix.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <vector>

class NetEngineTest : public testing::Test {
protected:
    NetEngineTest()
    {
        worker.setSleeper([this](std::chrono::milliseconds wait) { waits.push_back(wait.count()); });
    }

    void useVersionServerFromTestConfig() { writeFile("test.cfg", "starter_cfg_host 127.0.0.1\n"); }
    VersionServer& startVersionServer()
    {
        versionServer.reset(new VersionServer(sandbox.root() / "served"));
        return *versionServer;
    }
    WebServer& startWebServer()
    {
        webServer.reset(new WebServer(sandbox.root() / "http"));
        return *webServer;
    }
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
    StarterWorker worker{&sink};
    std::vector<long long> waits;  // milliseconds
    std::unique_ptr<VersionServer> versionServer;
    std::unique_ptr<WebServer> webServer;
};
