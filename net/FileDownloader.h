#pragma once
// Abstract downloader of one remote file into one local file.

#include "engine/EngineTypes.h"

#include <cstdint>
#include <memory>
#include <string>

namespace gametool {

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
