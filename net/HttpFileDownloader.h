#pragma once
// HTTP/1.0 ranged GET from port 80 into "<local path>.tmp", hashed while it is
// written. A temporary file left by an earlier attempt is continued from its
// length; one the server cannot continue (416, or a range that starts
// elsewhere) is removed, so that the next attempt starts from the beginning.
// Downloads given the same HttpTransferContext share its I/O context, response
// buffer and connection: a host that keeps the connection open after a reply of
// announced length serves the next file on it, and one that closes is
// connected again.

#include "net/FileDownloader.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <istream>
#include <memory>
#include <string>

namespace gametool {

struct ResponseHeader {
    std::string httpVersion;
    std::string reason;
    std::uint32_t statusCode = 0;
    std::uint64_t contentLength = 0;
    std::uint64_t rangeLength = 0;
    std::uint64_t rangeStart = 0;
    std::uint64_t rangeTotal = 0;
    // The host offers the connection for another request: HTTP/1.1 unless it
    // said "close", HTTP/1.0 only when it said "keep-alive".
    bool keepAlive = false;
};

// Parses a status line and header lines up to the empty line; false when the
// status line is invalid or the status is neither 200 nor 206.
bool parseHeader(std::istream& input, ResponseHeader& header);

// What the downloads of one transfer lane share: the I/O context (and with it
// the resolver's thread), the response buffer, which grows only as far as the
// responses needed, up to one body piece, and the connection the last reply
// left open. Serves one download at a time.
class HttpTransferContext {
public:
    // The most one body read takes; lanes that run side by side take less each.
    static constexpr std::size_t kDefaultBodyPiece = 1024 * 1024;
    explicit HttpTransferContext(std::size_t bodyPiece = kDefaultBodyPiece);
    ~HttpTransferContext();
    HttpTransferContext(const HttpTransferContext&) = delete;
    HttpTransferContext& operator=(const HttpTransferContext&) = delete;

    struct Parts;
    Parts& parts() { return *m_parts; }

private:
    std::unique_ptr<Parts> m_parts;
};

class HttpFileDownloader : public FileDownloader {
public:
    // Without a context the download uses one of its own.
    HttpFileDownloader(const std::string& host, const std::string& path, const std::string& name,
                       const std::wstring& localPath, std::shared_ptr<HttpTransferContext> context = nullptr);
    ~HttpFileDownloader() override;

    bool download(bool resume) override;

    // Sends the request for `path` on the same host, from its first byte,
    // together with this file's; the next download on the context that asks for
    // it takes the reply without a round trip. Any other drops the connection.
    void askNextAhead(const std::string& path);

    // A step (connect, send, each read) that makes no progress for this long is
    // given up. Tests shorten it; the program keeps the default.
    static constexpr std::chrono::seconds kDefaultStepDeadline{6};
    void setStepDeadline(std::chrono::milliseconds deadline);
    // The body may take `base` plus its size at `minimumRate` bytes a second,
    // however steadily it trickles. 30 s covers a connection's slow start and a
    // stall or two; 16 KiB/s is a rate below which a player would give up anyway.
    static constexpr std::chrono::seconds kDefaultTransferDeadline{30};
    static constexpr std::uint64_t kDefaultMinimumRate = 16 * 1024;
    void setTransferDeadline(std::chrono::milliseconds base, std::uint64_t minimumRate);

    struct InterData;

private:
    std::shared_ptr<InterData> m_inter;
};

}  // namespace gametool
