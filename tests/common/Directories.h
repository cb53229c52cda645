#pragma once
// Where tests work: the run's directory with the program's log, a fresh
// directory per test, a scoped current directory, and what the log gained.
// The program under test works relative to its installation directory (the
// file utilities' root, or the current directory when it has none), so every
// test gets one of its own and the runs of different programs stay apart.

#include <boost/filesystem/path.hpp>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace fixtures {

namespace fs = boost::filesystem;

// The directory of one test program's run: made fresh under the system's
// temporary directory, where the log starts with `name` as its first line; for
// the whole run the current directory, or the file utilities' root (the
// process's current directory then stays as it is). Removed afterwards; kept,
// and named on standard error, when a test failed. Install with useRunDirectory().
class RunDirectory : public testing::Environment {
public:
    enum Use { AsCurrent, AsRoot };
    explicit RunDirectory(const std::string& name, Use use = AsCurrent) : name_(name), use_(use) {}
    void SetUp() override;
    void TearDown() override;

private:
    std::string name_;
    Use use_;
};

void useRunDirectory(const std::string& name, RunDirectory::Use use = RunDirectory::AsCurrent);

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

// A fresh directory in the run's directory (or the current one when there is
// none), as an absolute path. Left for the run's directory to remove.
fs::path freshDirectory(const std::string& stem);

}  // namespace fixtures
