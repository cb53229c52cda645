#pragma once
// What the engine tests share: a recording event sink, a fresh working directory
// per test, file helpers and the log the test program writes.

#include "engine/EngineTypes.h"

#include <boost/filesystem/path.hpp>

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

class RecordingEventSet : public gametool::EventSet {
public:
    void onEvent(UpdateEvent& event) override;

    // "P(0,30) B(30) F(0)": a run of BytesReceived events shows as one B with their sum.
    std::string sequence() const;
    std::thread::id lastThread() const;

    // When set, an event of this kind throws std::runtime_error("sink refused").
    int throwOnKind = -1;

private:
    mutable std::mutex mutex_;
    std::vector<UpdateEvent> events_;
    std::thread::id thread_;
};

// A fresh directory tree per test; its "work" directory is the current directory
// for the life of the object.
class Sandbox {
public:
    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    const boost::filesystem::path& root() const { return root_; }
    boost::filesystem::path work() const { return root_ / "work"; }
    // What the program logged since the sandbox was made.
    std::string log() const;

private:
    boost::filesystem::path root_;
    std::uintmax_t logStart_;
};

// Sets up the directory that holds every sandbox and opens the program's log there.
void initTestDirectory();
void removeTestDirectory();

void writeFile(const boost::filesystem::path& path, const std::string& content);
std::string readFile(const boost::filesystem::path& path);
std::string sha1Of(const std::string& content);

// A package: one zlib stream holding the marker and the entries.
std::string makePackage(const std::vector<std::pair<std::string, std::string>>& entries);

// The launcher configuration of one group; `files` holds INFO text of file nodes.
std::string launcherInfo(const std::string& hosts, const std::string& saveDir, const std::string& files,
                         const std::string& updaterName = "updater/Updater.exe");
std::string fileNode(const std::string& name, const std::string& path, const std::string& sha1,
                     std::uint64_t size);
