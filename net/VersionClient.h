#pragma once
// Client of the version server's binary protocol (TCP service "7455").

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

class StagedFile;

// NotWritten: the content arrived but could not be put in place here (logged
// with the name and the reason); the connection stays usable. Oversized: the
// server announced a length the request did not allow; nothing of it was read,
// and the connection is closed.
enum class FetchResult : int { Fetched = 0, Failed = 1, NoContent = 2, NotWritten = 3, Oversized = 4 };

// The longest reply a build takes from a version server when nothing tighter is
// known (LAUNCHER_MAX_REPLY_BYTES).
extern const std::uint64_t kMaxReplyBytes;

// What one reply may announce: at most `max` bytes, or exactly `max` when `exact`.
struct ReplyBound {
    std::uint64_t max = kMaxReplyBytes;
    bool exact = false;
};

class VersionClient {
public:
    // How long connecting may take over all addresses, and how long a fetch step
    // may make no progress. Tests shorten them; the program keeps these.
    // A whole content may take `transfer` plus its size at `minimumRate` bytes a
    // second: a server that trickles is cut off however steadily it trickles.
    struct Deadlines {
        std::chrono::milliseconds connect{std::chrono::seconds(3)};
        std::chrono::milliseconds step{std::chrono::seconds(10)};
        std::chrono::milliseconds transfer{std::chrono::seconds(30)};
        std::uint64_t minimumRate = 16 * 1024;
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
    FetchResult fetchFile(const std::string& name, const std::string& digest, const std::wstring& localPath,
                          const ReplyBound& bound = ReplyBound());
    // The same, leaving delivered content staged in `into` for the caller to
    // check and place.
    FetchResult fetchFile(const std::string& name, const std::string& digest, StagedFile& into,
                          const ReplyBound& bound = ReplyBound());

private:
    struct Session;
    std::unique_ptr<Session> session_;
};
