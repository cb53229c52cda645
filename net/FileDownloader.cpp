#include "net/FileDownloader.h"

#include "support/StagedFile.h"

namespace gametool {

FileDownloader::FileDownloader(const std::string& host, const std::string& path, const std::string& name,
                               const std::wstring& localPath)
    : m_data(std::make_shared<InnerData>())
{
    m_data->host = host;
    m_data->path = path;
    m_data->name = name;
    m_data->localPath = localPath;
    m_data->tempPath = StagedFile::stagingPathOf(localPath, StagedFile::Kind::Download);
}

FileDownloader::~FileDownloader() = default;

void FileDownloader::setListener(FileDownloadListener* listener)
{
    m_data->listener = listener;
}

void FileDownloader::setExpectedSize(std::uint64_t size)
{
    m_data->expectedSize = size;
    m_data->sizeKnown = true;
}

const std::wstring& FileDownloader::tempPath() const
{
    return m_data->tempPath;
}

const std::string& FileDownloader::digest() const
{
    return m_data->digest;
}

DownloadFailure FileDownloader::failure() const
{
    return m_data->failure;
}

void FileDownloader::reportReceived(std::uint64_t count)
{
    if (m_data->listener) {
        m_data->listener->onBytesReceived(count);
    }
}

}  // namespace gametool
