#pragma once
// The transfer of one file with HTTP/1.0 ranged GETs from port 80 into a staged
// file its caller owns, hashed while it is written. What an earlier attempt
// left there is continued from its length; a part the server cannot continue
// (416, or a range that starts elsewhere) is removed, so that the next attempt
// starts from the beginning. Downloads given the same HttpConnection share it:
// a host that keeps the connection open after a reply of announced length
// serves the next file on it, and one that closes is connected again.
// A failure is logged with the file and the host, and kept as a value.

#include "net/FileDownloader.h"
#include "net/HttpConnection.h"
#include "net/TransferDeadline.h"

#include <memory>
#include <string>

namespace gametool {

class HttpFileDownloader : public FileDownloader {
public:
    // Without a connection the download uses one of its own.
    HttpFileDownloader(const std::string& host, const std::string& path, const std::string& name,
                       StagedFile& into, std::shared_ptr<HttpConnection> connection = nullptr);
    ~HttpFileDownloader() override;

    bool download(bool resume) override;

    // Sends the request for `path` on the same host, from its first byte,
    // behind this file's; the next download on the connection that asks for it
    // takes the reply without a round trip. Any other drops the connection.
    void askNextAhead(const std::string& path);

    // The limits of the connection's transfers from now on.
    void setLimits(const TransferLimits& limits, std::shared_ptr<RateShare> share = nullptr);

    struct InterData;

private:
    bool openOutput();
    std::string acceptRange(const ResponseHeader& header, std::uint64_t& size);
    bool fetchRest();

    std::shared_ptr<InterData> m_inter;
};

}  // namespace gametool
