#include "support/Log.h"

#include "support/FileManager.h"
#include "support/LogPlatform.h"
#include "support/TextConvert.h"

#include <cstdio>
#include <ctime>

struct Log::Stream {
    std::FILE* file = nullptr;
    bool failed = false;  // a failed open or write drops every later line
};

Log& Log::instance()
{
    static Log* log = new Log("Log");
    return *log;
}

Log::Log(const std::string& directory) : filePath_(directory) {}

Log::~Log()
{
    if (stream_ && stream_->file)
        std::fclose(stream_->file);
}

std::string Log::filePath() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return stream_ && stream_->file ? filePath_ : std::string();
}

void Log::write(const std::string& text)
{
    writeLine(&text, 1);
}

void Log::write(const std::string& first, const std::string& second)
{
    const std::string parts[] = {first, second};
    writeLine(parts, 2);
}

void Log::write(const std::string& first, const std::string& second, const std::string& third)
{
    const std::string parts[] = {first, second, third};
    writeLine(parts, 3);
}

void Log::writeLine(const std::string* parts, int count)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!stream_) {
        // The file is made by the first line, named after the time of that line.
        stream_.reset(new Stream);
        const std::wstring directory = narrowToWide(filePath_);
        FileManager::instance().createDirectory(directory);
        const std::wstring file =
            FileManager::instance().resolve(directory + L"/" + narrowToWide(timestampText()) + L".txt");
        filePath_ = wideToNarrow(file);
        stream_->file = logplatform::openLogFile(file);
        stream_->failed = stream_->file == nullptr;
    }
    if (stream_->failed)
        return;
    std::string line = parts[0];
    for (int i = 1; i < count; ++i) {
        line += ' ';
        line += parts[i];
    }
    line += '\n';
    if (std::fwrite(line.data(), 1, line.size(), stream_->file) != line.size() ||
        std::fflush(stream_->file) != 0)
        stream_->failed = true;
}

std::string timestampText()
{
    std::time_t now = std::time(nullptr);
    std::tm local = {};
    if (!logplatform::toLocalTime(now, local)) {
        // A clock the C library cannot convert: the epoch, so that the text keeps
        // its shape and sorts as the oldest.
        local = std::tm();
        local.tm_year = 70;
        local.tm_mday = 1;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%04d%02d%02d_%02d%02d%02d", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return text;
}
