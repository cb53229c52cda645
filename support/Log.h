#pragma once
// The run's plain text log: one file "Log/YYYYMMDD_HHMMSS.txt", created on the
// first line, every line flushed at once. Logging never fails its caller.

#include <fstream>
#include <memory>
#include <mutex>
#include <string>

class Log {
public:
    static Log& instance();

    void write(const std::string& text);
    void write(const std::string& first, const std::string& second);
    void write(const std::string& first, const std::string& second, const std::string& third);

    // Opens a log file in `directory` (created one level deep) when the first line
    // is written; a relative directory is taken from FileManager's root at that
    // moment. Used by instance() with "Log" and by tests with a directory of their own.
    explicit Log(const std::string& directory);
    ~Log();

    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;

    // The path of the open log file ("" when it could not be opened).
    std::string filePath() const;

private:
    struct Stream;
    void writeLine(const std::string* parts, int count);

    mutable std::mutex mutex_;
    std::unique_ptr<Stream> stream_;
    std::string filePath_;
};

// Local time as the 15 characters YYYYMMDD_HHMMSS.
std::string timestampText();
