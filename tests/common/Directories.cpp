#include "tests/common/Directories.h"

#include "tests/common/Files.h"

#include "support/FileManager.h"
#include "support/Log.h"
#include "support/TextConvert.h"

#include <boost/filesystem/directory.hpp>
#include <boost/filesystem/operations.hpp>

#include <algorithm>
#include <iostream>

namespace fixtures {

namespace {

fs::path g_runDirectory;
fs::path g_logFile;

std::string currentTestName()
{
    const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->test_suite_name()) + "-" + info->name() : "test";
    for (char& c : name) {
        if (c == '/') {
            c = '-';
        }
    }
    return name;
}

}  // namespace

void RunDirectory::SetUp()
{
    initPathConversion();
    // Spaces in the path would break the configuration files written for servers.
    std::string stem = name_;
    std::replace(stem.begin(), stem.end(), ' ', '-');
    g_runDirectory = fs::temp_directory_path() / fs::unique_path(stem + "-%%%%-%%%%-%%%%");
    fs::create_directories(g_runDirectory);
    if (use_ == AsRoot)
        FileManager::instance().setRoot(g_runDirectory.wstring());
    else
        fs::current_path(g_runDirectory);
    Log::instance().write(name_);
    g_logFile = fs::absolute(fs::path(Log::instance().filePath()), g_runDirectory);
}

void RunDirectory::TearDown()
{
    if (use_ == AsRoot)
        FileManager::instance().setRoot(std::wstring());
    else
        fs::current_path(g_runDirectory.parent_path());
    if (testing::UnitTest::GetInstance()->Failed()) {
        std::cerr << name_ << ": files of the failed run kept in " << g_runDirectory.string() << "\n";
        return;
    }
    boost::system::error_code ignored;
    fs::remove_all(g_runDirectory, ignored);  // the open log may keep it on Windows
}

void useRunDirectory(const std::string& name, RunDirectory::Use use)
{
    testing::AddGlobalTestEnvironment(new RunDirectory(name, use));
}

fs::path logFile()
{
    return g_logFile.empty() ? fs::absolute(fs::path(Log::instance().filePath())) : g_logFile;
}

LogWatch::LogWatch() : path_(logFile()), start_(0)
{
    boost::system::error_code error;
    const std::uintmax_t size = fs::file_size(path_, error);
    start_ = error ? 0 : size;
}

std::vector<std::string> LogWatch::lines() const
{
    const std::string text = readFile(path_);
    return text.size() <= start_ ? std::vector<std::string>() : splitLines(text.substr(start_));
}

std::string LogWatch::text() const
{
    std::string text;
    for (const std::string& line : lines()) {
        text += line + "\n";
    }
    return text;
}

TempDirectory::TempDirectory(const std::string& stem)
{
    const fs::path base = g_runDirectory.empty() ? fs::temp_directory_path() : g_runDirectory;
    path_ = base / fs::unique_path((stem.empty() ? currentTestName() : stem) + "-%%%%-%%%%");
    fs::create_directories(path_);
}

TempDirectory::~TempDirectory()
{
    if (testing::Test::HasFailure()) {
        std::cerr << "files of the failed test kept in " << path_.string() << "\n";
        return;
    }
    // Tests take write and search rights away; without them the tree cannot go.
    boost::system::error_code ignored;
    fs::permissions(path_, fs::add_perms | fs::owner_all, ignored);
    for (fs::recursive_directory_iterator it(path_, ignored), end; !ignored && it != end;
         it.increment(ignored)) {
        if (fs::is_directory(it->symlink_status(ignored))) {
            fs::permissions(it->path(), fs::add_perms | fs::owner_all, ignored);
        }
    }
    fs::remove_all(path_, ignored);
}

CurrentDirectory::CurrentDirectory(const fs::path& dir) : previous_(fs::current_path())
{
    fs::current_path(dir);
}

CurrentDirectory::~CurrentDirectory()
{
    boost::system::error_code ignored;
    fs::current_path(previous_, ignored);
}

fs::path freshDirectory(const std::string& stem)
{
    static int counter = 0;
    const fs::path base = g_runDirectory.empty() ? fs::current_path() : g_runDirectory;
    const fs::path dir = base / (stem + "-" + std::to_string(++counter));
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

}  // namespace fixtures
