#include "net/VersionReply.h"

#include "net/VersionProtocol.h"
#include "support/FileManager.h"
#include "support/Log.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

namespace {

class ReplyReader {
public:
    explicit ReplyReader(ReplySource& source) : source_(source) {}

    bool readExact(char* buffer, std::size_t size)
    {
        while (size > 0) {
            std::size_t received = 0;
            if (!source_.readSome(buffer, size, received, error_)) {
                return false;
            }
            buffer += received;
            size -= received;
        }
        return true;
    }

    bool readLength(std::uint32_t& value)
    {
        unsigned char bytes[versionprotocol::kLengthSize];
        if (!readExact(reinterpret_cast<char*>(bytes), sizeof bytes)) {
            return false;
        }
        value = versionprotocol::readLength(bytes);
        return true;
    }

    // The piece buffer grows only as far as the data needs, at most one piece.
    char* piece(std::size_t size)
    {
        if (buffer_.size() < size) {
            buffer_.resize(size);
        }
        return buffer_.data();
    }

    bool skip(std::uint64_t size)
    {
        while (size > 0) {
            const std::size_t now = std::size_t(std::min<std::uint64_t>(size, kReplyPiece));
            if (!readExact(piece(now), now)) {
                return false;
            }
            size -= now;
        }
        return true;
    }

    // A trickle is named as such, whatever part of the reply it held up.
    void logError(const std::string& name) const
    {
        if (source_.overdue())
            Log::instance().write("传输过慢，已中断:", name);
        else
            Log::instance().write(error_);
    }

private:
    ReplySource& source_;
    std::string error_;
    std::vector<char> buffer_;
};

}  // namespace

namespace {

// Writes the content into `into`, reading all of it whatever happens to the file.
FetchResult receiveContent(ReplyReader& reader, const std::string& name, std::uint64_t contentLength,
                           StagedFile& into)
{
    std::unique_ptr<FileManager::File> file = into.open(false);
    if (!file) {
        Log::instance().write("打开文件失败:", name);
        // The content is still read so that the next request on this
        // connection starts at a frame boundary.
        if (!reader.skip(contentLength)) {
            reader.logError(name);
            return FetchResult::Failed;
        }
        return FetchResult::NotWritten;
    }
    std::string writeFailure;
    std::uint64_t remaining = contentLength;
    while (remaining > 0) {
        const std::size_t now = std::size_t(std::min<std::uint64_t>(remaining, kReplyPiece));
        char* data = reader.piece(now);
        if (!reader.readExact(data, now)) {
            file.reset();
            into.discard();
            reader.logError(name);
            return FetchResult::Failed;
        }
        // After a failed write the rest is still read, to stay in step with the server.
        if (writeFailure.empty() && !file->write(data, std::int64_t(now)))
            writeFailure = file->failure();
        remaining -= now;
    }
    file.reset();
    if (writeFailure.empty())
        return FetchResult::Fetched;
    into.discard();
    Log::instance().write("写文件失。磁盘空间是否足够", name, writeFailure);
    return FetchResult::NotWritten;
}

}  // namespace

FetchResult receiveFileReply(ReplySource& source, const std::string& name, const std::string& digest,
                             StagedFile& into, const ReplyBound& bound)
{
    ReplyReader reader(source);
    char code = 0;
    if (!reader.readExact(&code, 1)) {
        reader.logError(name);
        return FetchResult::Failed;
    }
    if (static_cast<unsigned char>(code) != versionprotocol::kFileReply) {
        Log::instance().write("服务器返回错误文件下载信息");
        return FetchResult::Failed;
    }
    std::uint32_t textLength = 0;
    std::uint32_t contentLength = 0;
    if (!reader.readLength(textLength) || !reader.skip(textLength) || !reader.readLength(contentLength)) {
        reader.logError(name);
        return FetchResult::Failed;
    }
    if (contentLength == 0)
        return FetchResult::NoContent;
    if (contentLength > bound.max || (bound.exact && contentLength != bound.max)) {
        // Not a byte of it is read: the connection is out of step and goes.
        Log::instance().write("服务器返回的文件长度不符:", name,
                              std::to_string(contentLength) + " " + std::to_string(bound.max));
        source.abandon();
        return FetchResult::Oversized;
    }
    Log::instance().write(name, " 文件下载完成 原始sha1:", digest);
    return receiveContent(reader, name, contentLength, into);
}
