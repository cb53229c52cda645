#include "net/VersionProtocol.h"

namespace versionprotocol {

void appendLength(std::string& out, std::uint32_t value)
{
    out.push_back(static_cast<char>(value >> 24));
    out.push_back(static_cast<char>(value >> 16));
    out.push_back(static_cast<char>(value >> 8));
    out.push_back(static_cast<char>(value));
}

std::uint32_t readLength(const unsigned char* bytes)
{
    return (std::uint32_t(bytes[0]) << 24) | (std::uint32_t(bytes[1]) << 16) |
           (std::uint32_t(bytes[2]) << 8) | std::uint32_t(bytes[3]);
}

std::string requestFrame(const std::string& name, const std::string& digest)
{
    const std::string text = name + ":" + digest;
    std::string frame;
    frame.reserve(kHeadSize + text.size());
    frame.push_back(static_cast<char>(kFileRequest));
    appendLength(frame, static_cast<std::uint32_t>(text.size()));
    frame += text;
    return frame;
}

bool splitRequest(const std::string& text, std::string& name, std::string& digest)
{
    const std::string::size_type colon = text.rfind(':');
    if (colon == std::string::npos) {
        return false;
    }
    name = text.substr(0, colon);
    digest = text.substr(colon + 1);
    return true;
}

std::string fileReplyHead(const std::string& digest, std::uint32_t contentSize)
{
    std::string head;
    head.reserve(1 + 2 * kLengthSize + digest.size());
    head.push_back(static_cast<char>(kFileReply));
    appendLength(head, static_cast<std::uint32_t>(digest.size()));
    head += digest;
    appendLength(head, contentSize);
    return head;
}

void closeQuietly(boost::asio::ip::tcp::socket& socket)
{
    boost::system::error_code ignored;
    socket.cancel(ignored);
    socket.close(ignored);
}

}  // namespace versionprotocol
