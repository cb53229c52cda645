#pragma once
// Client of the version server's binary protocol (TCP service "7455").

#include <memory>
#include <string>

enum class FetchResult : int { Fetched = 0, Failed = 1, NoContent = 2 };

class VersionClient {
public:
    VersionClient();
    ~VersionClient();
    VersionClient(const VersionClient&) = delete;
    VersionClient& operator=(const VersionClient&) = delete;

    // Connects within 3 seconds over all resolved addresses and sends the greeting.
    bool connect(const std::string& host);

    // Asks for `name`, telling the server the digest of the copy held; the content
    // replaces `localPath` only once it has arrived completely.
    FetchResult fetchFile(const std::string& name, const std::string& digest,
                          const std::wstring& localPath);

private:
    struct Session;
    std::unique_ptr<Session> session_;
};
