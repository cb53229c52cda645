#pragma once
// Client of the version server's binary protocol (TCP service "7455").

#include <chrono>
#include <memory>
#include <string>

class StagedFile;

// NotWritten: the content arrived but could not be put in place here (logged
// with the name and the reason); the connection stays usable.
enum class FetchResult : int { Fetched = 0, Failed = 1, NoContent = 2, NotWritten = 3 };

class VersionClient {
public:
    // How long connecting may take over all addresses, and how long a fetch step
    // may make no progress. Tests shorten them; the program keeps these.
    struct Deadlines {
        std::chrono::milliseconds connect{std::chrono::seconds(3)};
        std::chrono::milliseconds step{std::chrono::seconds(10)};
    };

    VersionClient();
    explicit VersionClient(const Deadlines& deadlines);
    ~VersionClient();
    VersionClient(const VersionClient&) = delete;
    VersionClient& operator=(const VersionClient&) = delete;

    // Connects within the connect deadline over all resolved addresses and sends the greeting.
    bool connect(const std::string& host);

    // Asks for `name`, telling the server the digest of the copy held; the content
    // replaces `localPath` only once it has arrived completely and been written.
    FetchResult fetchFile(const std::string& name, const std::string& digest, const std::wstring& localPath);
    // The same, leaving delivered content staged in `into` for the caller to
    // check and place.
    FetchResult fetchFile(const std::string& name, const std::string& digest, StagedFile& into);

private:
    struct Session;
    std::unique_ptr<Session> session_;
};
