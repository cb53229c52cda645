#pragma once
// Abstract downloader of one remote file into a temporary file beside the local
// one, the listener that hears from it, and the record of one remote file. The
// local file itself is never touched: whoever asked verifies the content by its
// digest and puts it in place.

#include <cstdint>
#include <memory>
#include <string>

namespace gametool {

class FileDownloadListener {
public:
    virtual ~FileDownloadListener() = default;
    virtual void onBytesReceived(std::uint64_t count) { (void)count; }
    virtual void onMessage(const std::string& text) { (void)text; }
    // The file system refused an operation the program does not support.
    virtual void onOperationRefused() {}
    // Reserved notification; nothing raises it yet.
    virtual void onNotify(std::uintptr_t code, std::uintptr_t value)
    {
        (void)code;
        (void)value;
    }
};

// Why a download failed. Local: this machine could not hold the content (a
// directory, the temporary file, the disk), so another host would fare no better.
enum class DownloadFailure { None, Host, Local };

struct FileInfo {
    std::string name;
    std::string path;
    std::string sha1;
    std::uint64_t size = 0;
};

class FileDownloader {
public:
    struct InnerData {
        FileDownloadListener* listener = nullptr;
        std::string host;
        std::string path;
        std::wstring localPath;
        std::string name;
        // Filled by download(): where the content is, and its SHA-1 text.
        std::wstring tempPath;
        std::string digest;
        // The size the content should have; a temporary file of that size is
        // taken as it is, without asking the server again.
        std::uint64_t expectedSize = 0;
        bool sizeKnown = false;
        DownloadFailure failure = DownloadFailure::None;
    };

    FileDownloader(const std::string& host, const std::string& path, const std::string& name,
                   const std::wstring& localPath);
    virtual ~FileDownloader();

    // Runs the whole transfer on the calling thread into tempPath(); with
    // `resume`, a temporary file left by an earlier attempt is continued. True
    // when the temporary file holds the whole content; digest() is then its
    // SHA-1. Never throws.
    virtual bool download(bool resume) = 0;

    void setListener(FileDownloadListener* listener);
    void setExpectedSize(std::uint64_t size);
    // "<local path>.tmp".
    const std::wstring& tempPath() const;
    const std::string& digest() const;
    // Why the last download() returned false; None after a success.
    DownloadFailure failure() const;

protected:
    void reportReceived(std::uint64_t count);
    std::shared_ptr<InnerData> m_data;
};

}  // namespace gametool
