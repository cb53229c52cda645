// A fuzz target's own folder under the temporary directory, removed when the
// fuzzer ends; a crash keeps it, beside the input that caused it.

#pragma once

#include <boost/filesystem.hpp>

namespace fuzzing {

class ScratchDirectory {
public:
    explicit ScratchDirectory(const char* pattern)
        : path_(boost::filesystem::temp_directory_path() / boost::filesystem::unique_path(pattern))
    {
        boost::filesystem::create_directories(path_);
    }
    ~ScratchDirectory()
    {
        boost::system::error_code ignored;
        boost::filesystem::remove_all(path_, ignored);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const boost::filesystem::path& path() const { return path_; }

private:
    boost::filesystem::path path_;
};

}  // namespace fuzzing
