#pragma once
// Runs a test in a fresh, empty working directory, since the engine and the
// start-up work relative to it.

#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>

#include <gtest/gtest.h>

class ScopedWorkingDirectory {
public:
    ScopedWorkingDirectory()
    {
        previous_ = boost::filesystem::current_path();
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = info ? std::string(info->test_suite_name()) + "-" + info->name() : "app";
        for (char& c : name)
            if (c == '/')
                c = '-';
        path_ = boost::filesystem::temp_directory_path() /
                boost::filesystem::unique_path("app-" + name + "-%%%%%%%%");
        boost::filesystem::create_directories(path_);
        boost::filesystem::current_path(path_);
    }

    ~ScopedWorkingDirectory()
    {
        boost::system::error_code error;
        boost::filesystem::current_path(previous_, error);
        boost::filesystem::remove_all(path_, error);
    }

    const boost::filesystem::path& path() const { return path_; }

private:
    boost::filesystem::path previous_;
    boost::filesystem::path path_;
};
