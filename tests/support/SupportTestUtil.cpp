#include "SupportTestUtil.h"

#include <boost/crc.hpp>
#include <boost/iostreams/copy.hpp>
#include <boost/iostreams/device/back_inserter.hpp>
#include <boost/iostreams/filter/zlib.hpp>
#include <boost/iostreams/filtering_stream.hpp>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace fs = boost::filesystem;

// The run's directory holds the log and every test's directory.
const ::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(new fixtures::RunDirectory("support tests"));

void TempDirTest::SetUp()
{
    working_.reset(new fixtures::WorkingDirectory("t"));
    dir_ = working_->path();
}

void TempDirTest::TearDown()
{
    working_.reset();
}

namespace testutil {

fs::path logFile()
{
    return fixtures::logFile();
}

std::uintmax_t logSize()
{
    return fs::file_size(logFile());
}

std::vector<std::string> logLinesSince(std::uintmax_t offset)
{
    return fixtures::splitLines(readFile(logFile()).substr(offset));
}

bool present(const fs::path& path)
{
    boost::system::error_code ignored;
    return fs::exists(fs::symlink_status(path, ignored));
}

void makeReadOnly(const fs::path& path)
{
    fs::permissions(path, fs::owner_read | fs::group_read | fs::others_read);
}

bool isReadOnly(const fs::path& path)
{
    return (fs::status(path).permissions() & fs::owner_write) == 0;
}

std::vector<std::string> filesBelow(const fs::path& dir)
{
    std::vector<std::string> files;
    for (fs::recursive_directory_iterator it(dir), end; it != end; ++it)
        if (!fs::is_directory(it->symlink_status()))
            files.push_back(it->path().lexically_relative(dir).generic_string());
    std::sort(files.begin(), files.end());
    return files;
}

std::string patternBytes(std::size_t size)
{
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(i % 251);
    return bytes;
}

std::string gzipBytes(const std::string& plain)
{
    boost::crc_32_type crc;
    crc.process_bytes(plain.data(), plain.size());
    const char header[] = {'\x1f', '\x8b', 8, 0, 0, 0, 0, 0, 0, '\xff'};
    return std::string(header, sizeof header) + deflateBytes(plain, true) + le32(crc.checksum()) +
           le32(static_cast<std::uint32_t>(plain.size()));
}

}  // namespace testutil
