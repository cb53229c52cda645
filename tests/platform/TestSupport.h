#pragma once
// Helpers of the platform tests: a scratch directory, the probe program that
// lives beside the test program, and waiting for what a started program writes.

#include <boost/filesystem/path.hpp>

#include <chrono>
#include <string>
#include <vector>

namespace platformtest {

// A new empty directory, removed with its content at the end of the test.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const boost::filesystem::path& path() const { return path_; }

private:
    boost::filesystem::path path_;
};

// The probe program (tests/platform/probe) beside the running test program.
boost::filesystem::path probePath();

// Runs `program` with `args` and waits for it: its exit code, -1 when it did not start.
int runAndWait(const boost::filesystem::path& program, const std::vector<std::string>& args);

// The lines of `file` once it exists; empty when it did not appear in time.
std::vector<std::string> waitForLines(const boost::filesystem::path& file,
                                      std::chrono::milliseconds timeout = std::chrono::seconds(20));

std::string readFile(const boost::filesystem::path& file);

// A lock name no other test run uses.
std::wstring uniqueLockName(const char* purpose);

}  // namespace platformtest
