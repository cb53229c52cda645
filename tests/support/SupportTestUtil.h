#pragma once
// Shared pieces of the support tests: every test runs in a fresh directory of its
// own under one temporary root, which also holds the run's log.

#include "tests/common/Directories.h"
#include "tests/common/Files.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include <memory>

#include <string>
#include <vector>

namespace testutil {

// Absolute path of the process-wide log file, made when the tests start.
boost::filesystem::path logFile();
// Lines the process-wide log gained since `offset` (its size earlier).
std::vector<std::string> logLinesSince(std::uintmax_t offset);
std::uintmax_t logSize();

using fixtures::readFile;
using fixtures::writeFile;
bool present(const boost::filesystem::path& path);
void makeReadOnly(const boost::filesystem::path& path);
bool isReadOnly(const boost::filesystem::path& path);
// Files (not directories) below `dir`, as generic relative paths, sorted.
std::vector<std::string> filesBelow(const boost::filesystem::path& dir);

// Bytes 0, 1, ... 250, 0, 1, ... of the given length.
std::string patternBytes(std::size_t size);

using fixtures::deflateBytes;
using fixtures::Entry;
using fixtures::le32;
using fixtures::packageBody;
std::string gzipBytes(const std::string& plain);

}  // namespace testutil

// A fresh current directory per test, removed afterwards.
class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    boost::filesystem::path dir_;

private:
    std::unique_ptr<fixtures::WorkingDirectory> working_;
};
