#pragma once
// Where tests work: the run's directory with the program's log, a fresh
// directory per test, a scoped current directory, and what the log gained.
// The program under test works relative to its current directory, so every
// test gets one of its own and the runs of different programs stay apart.

#include <boost/filesystem/path.hpp>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace fixtures {

namespace fs = boost::filesystem;

// The directory of one test program's run: made fresh under the system's
// temporary directory, the current directory for the whole run, where the log
// starts with `name` as its first line. Removed afterwards; kept, and named on
// standard error, when a test failed. Install with useRunDirectory().
class RunDirectory : public testing::Environment {
public:
    explicit RunDirectory(const std::string& name) : name_(name) {}
    void SetUp() override;
    void TearDown() override;

private:
    std::string name_;
};

void useRunDirectory(const std::string& name);

// The log the program under test writes, as an absolute path.
fs::path logFile();

// Lines the log received since the watch was made, line ends stripped.
class LogWatch {
public:
    LogWatch();
    std::vector<std::string> lines() const;
    // The same lines, each ending in "\n".
    std::string text() const;

private:
    fs::path path_;
    std::uintmax_t start_;
};

// A fresh directory named after `stem` (the running test's name when empty),
// inside the run's directory when there is one. Removed with its content at the
// end, write permissions given back first; kept when the test failed.
class TempDirectory {
public:
    explicit TempDirectory(const std::string& stem = std::string());
    ~TempDirectory();
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;
    // Absolute.
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// `dir` is the current directory for the life of the object.
class CurrentDirectory {
public:
    explicit CurrentDirectory(const fs::path& dir);
    ~CurrentDirectory();
    CurrentDirectory(const CurrentDirectory&) = delete;
    CurrentDirectory& operator=(const CurrentDirectory&) = delete;

private:
    fs::path previous_;
};

// A TempDirectory that is the current directory for its life.
class WorkingDirectory {
public:
    explicit WorkingDirectory(const std::string& stem = std::string()) : dir_(stem), current_(dir_.path()) {}
    const fs::path& path() const { return dir_.path(); }

private:
    TempDirectory dir_;
    CurrentDirectory current_;
};

// A fresh directory below the current one, as a relative path: the downloaders
// are handed paths relative to the installation directory. Left for the run's
// directory to remove.
fs::path freshDirectory(const std::string& stem);

}  // namespace fixtures
