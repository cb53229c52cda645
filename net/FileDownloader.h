#pragma once
// Abstract downloader of one remote file into one local file, the listener that
// hears from it, and the record of one remote file.

#include <cstdint>
#include <memory>
#include <string>

namespace gametool {

class FileDownloadListener {
public:
    virtual ~FileDownloadListener() = default;
    virtual void onBytesReceived(std::uint64_t count) { (void)count; }
    virtual void onMessage(const std::string& text) { (void)text; }
    // Reserved notification; nothing raises it yet.
    virtual void onNotify(std::uintptr_t code, std::uintptr_t value) { (void)code; (void)value; }
};

struct FileInfo {
    std::string name;
    std::string path;
    std::string sha1;
    std::uint64_t size = 0;
};

typedef std::shared_ptr<FileInfo> FileInfoPtr;

class FileDownloader {
public:
    struct InnerData {
        FileDownloadListener* listener = nullptr;
        std::string host;
        std::string path;
        std::wstring localPath;
        std::string name;
    };

    FileDownloader(const std::string& host, const std::string& path, const std::string& name,
                   const std::wstring& localPath);
    virtual ~FileDownloader();

    // Runs the whole transfer on the calling thread; true when the local file is
    // complete and in place. Never throws.
    virtual bool download(bool resume) = 0;

    void setListener(FileDownloadListener* listener);

protected:
    void reportReceived(std::uint64_t count);
    std::shared_ptr<InnerData> m_data;
};

}  // namespace gametool
