#pragma once
// Abstract downloader of one remote file into a staged file its caller owns,
// the listener that hears from it, and the record of one remote file. The
// local file itself is never touched: whoever asked verifies the content by
// its digest and puts it in place through the staged file.

#include <cstdint>
#include <memory>
#include <string>

class StagedFile;

namespace gametool {

class FileDownloadListener {
public:
    virtual ~FileDownloadListener() = default;
    virtual void onBytesReceived(std::uint64_t count) { (void)count; }
    virtual void onMessage(const std::string& text) { (void)text; }
    // The file system refused an operation the program does not support.
    virtual void onOperationRefused() {}
};

// Why a download failed. Local: this machine could not hold the content (a
// directory, the staged file, the disk, memory), so another host would fare no better.
enum class DownloadFailure { None, Host, Local };

// A failed transfer: whose fault, which file from which host, and what went
// wrong (the text logged, without the file and the host).
struct TransferFailure {
    DownloadFailure kind = DownloadFailure::None;
    std::string file;
    std::string host;
    std::string text;
    explicit operator bool() const { return kind != DownloadFailure::None; }
};

// "文件:<path> 服务器:<host>": what every download log line ends with, so that
// the lines of transfers side by side can be told apart. A long path is cut.
std::string transferPlace(const std::string& path, const std::string& host);

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
        std::string name;
        // Where the content goes; owned by the caller, who checks and places it.
        StagedFile* into = nullptr;
        // Filled by download(): the content's SHA-1 text.
        std::string digest;
        // The size the content should have; a staged file of that size is taken
        // as it is, without asking the server again. Unknown: the host's total
        // is taken up to the build's reply ceiling.
        std::uint64_t expectedSize = 0;
        bool sizeKnown = false;
        TransferFailure failure;
    };

    FileDownloader(const std::string& host, const std::string& path, const std::string& name,
                   StagedFile& into);
    virtual ~FileDownloader();

    // Runs the whole transfer on the calling thread into the staged file; with
    // `resume`, what an earlier attempt left there is continued. True when it
    // holds the whole content; digest() is then its SHA-1. Never throws.
    virtual bool download(bool resume) = 0;

    void setListener(FileDownloadListener* listener);
    void setExpectedSize(std::uint64_t size);
    const std::string& digest() const;
    // Why the last download() returned false; empty after a success.
    const TransferFailure& failure() const;

protected:
    void reportReceived(std::uint64_t count);
    // Records the failure and logs it with the file and the host.
    void fail(DownloadFailure kind, const std::string& text);
    std::shared_ptr<InnerData> m_data;
};

}  // namespace gametool
