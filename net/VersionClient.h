#pragma once
// Client of the version server's binary protocol (TCP service "7455").

#include "net/TransferDeadline.h"

#include <chrono>
#include <cstddef>
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
    // How long resolving and connecting may take over all addresses, and the
    // limits of each reply, its head included, from the moment it is waited
    // for. Tests shorten them; the program keeps these.
    struct Deadlines {
        std::chrono::milliseconds connect{std::chrono::seconds(3)};
        gametool::TransferLimits limits;
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
    // Only when no reply of ask() is due: it reads the next reply on the connection.
    FetchResult fetchFile(const std::string& name, const std::string& digest, const std::wstring& localPath,
                          const ReplyBound& bound = ReplyBound());
    // The same, leaving delivered content staged in `into` for the caller to
    // check and place.
    FetchResult fetchFile(const std::string& name, const std::string& digest, StagedFile& into,
                          const ReplyBound& bound = ReplyBound());

    // Requests ahead of their replies, which the server sends in the order asked.
    // ask() never waits: requests go out as the socket takes them while replies
    // are read, so neither side can be left blocked writing to the other.
    // Whether a request whose text ("name:digest") has `textSize` bytes may go out
    // now: the requests whose replies are due stay within kAskAheadBytes, though
    // one may always be due.
    bool mayAsk(std::size_t textSize) const;
    void ask(const std::string& name, const std::string& digest);
    // The reply to the oldest request asked, taken as fetchFile takes it. Failed
    // when none is due.
    FetchResult receive(StagedFile& into, const ReplyBound& bound = ReplyBound());
    // False once a failure closed the connection: no reply still due will come.
    bool open() const;

    static const std::size_t kAskAheadBytes = 64 * 1024;

private:
    struct Session;
    std::unique_ptr<Session> session_;
};
