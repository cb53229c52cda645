#pragma once
// Helpers of the platform tests: the probe program that lives beside the test
// program, and waiting for what a started program writes.

#include "tests/common/Directories.h"
#include "tests/common/Files.h"

#include <boost/filesystem/path.hpp>

#include <chrono>
#include <string>
#include <vector>

namespace platformtest {

using fixtures::readFile;
using fixtures::TempDirectory;

// The probe program (tests/platform/probe) beside the running test program.
boost::filesystem::path probePath();

// Runs `program` with `args` and waits for it: its exit code, -1 when it did not start.
int runAndWait(const boost::filesystem::path& program, const std::vector<std::string>& args);

// The lines of `file` once it exists; empty when it did not appear in time.
std::vector<std::string> waitForLines(const boost::filesystem::path& file,
                                      std::chrono::milliseconds timeout = std::chrono::seconds(20));

// A lock name no other test run uses.
std::wstring uniqueLockName(const char* purpose);

}  // namespace platformtest
