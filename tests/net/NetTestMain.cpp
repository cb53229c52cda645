// Every run works in a directory of its own: the log ("Log/" in the working
// directory) and the files the tests download stay apart from other runs.

#include "support/Log.h"
#include "support/TextConvert.h"

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

#include <iostream>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    initPathConversion();
    namespace fs = boost::filesystem;
    const fs::path dir = fs::temp_directory_path() / fs::unique_path("launcher-net-%%%%-%%%%-%%%%");
    fs::create_directories(dir);
    fs::current_path(dir);
    Log::instance().write("net_tests");
    const int result = RUN_ALL_TESTS();
    fs::current_path(fs::temp_directory_path());
    if (result == 0) {
        boost::system::error_code ignored;
        fs::remove_all(dir, ignored);
    } else {
        std::cerr << "net_tests: files of the failed run kept in " << dir.string() << "\n";
    }
    return result;
}
