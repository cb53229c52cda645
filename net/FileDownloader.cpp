#include "net/FileDownloader.h"

#include "support/Log.h"

namespace gametool {

namespace {

// The configuration may name a path of any length; the log keeps its start.
const std::size_t kLoggedPathLimit = 1024;

}  // namespace

std::string transferPlace(const std::string& path, const std::string& host)
{
    const std::string shown =
        path.size() <= kLoggedPathLimit ? path : path.substr(0, kLoggedPathLimit) + "...";
    return "文件:" + shown + " 服务器:" + host;
}

FileDownloader::FileDownloader(const std::string& host, const std::string& path, const std::string& name,
                               StagedFile& into)
    : m_data(std::make_shared<InnerData>())
{
    m_data->host = host;
    m_data->path = path;
    m_data->name = name;
    m_data->into = &into;
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

const std::string& FileDownloader::digest() const
{
    return m_data->digest;
}

const TransferFailure& FileDownloader::failure() const
{
    return m_data->failure;
}

void FileDownloader::reportReceived(std::uint64_t count)
{
    if (m_data->listener) {
        m_data->listener->onBytesReceived(count);
    }
}

void FileDownloader::fail(DownloadFailure kind, const std::string& text)
{
    m_data->failure = TransferFailure{kind, m_data->path, m_data->host, text};
    Log::instance().write(text, transferPlace(m_data->path, m_data->host));
}

}  // namespace gametool
