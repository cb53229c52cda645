#pragma once
// HTTP/1.0 ranged GET from port 80 into "<local path>.tmp", moved into place
// when the byte count matches the total the server announced.

#include "net/FileDownloader.h"

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
};

// Parses a status line and header lines up to the empty line; false when the
// status line is invalid or the status is neither 200 nor 206.
bool parseHeader(std::istream& input, ResponseHeader& header);

class HttpFileDownloader : public FileDownloader {
public:
    HttpFileDownloader(const std::string& host, const std::string& path, const std::string& name,
                       const std::wstring& localPath);
    ~HttpFileDownloader() override;

    bool download(bool resume) override;

    struct InterData;

private:
    std::shared_ptr<InterData> m_inter;
};

}  // namespace gametool
