#include "net/VersionClient.h"

#include "net/VersionProtocol.h"
#include "net/VersionReply.h"
#include "support/Log.h"
#include "support/StagedFile.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/system_error.hpp>

#include <algorithm>
#include <chrono>
#include <deque>
#include <exception>

const std::uint64_t kMaxReplyBytes = LAUNCHER_MAX_REPLY_BYTES;

namespace {

using boost::asio::ip::tcp;
using boost::system::error_code;

std::string errorText(const error_code& error, const char* operation)
{
    return boost::system::system_error(error, operation).what();
}

}  // namespace

struct VersionClient::Session : ReplySource {
    explicit Session(const Deadlines& limits) : deadlines(limits) {}

    const Deadlines deadlines;
    boost::asio::io_context io;
    tcp::socket socket{io};
    boost::asio::steady_timer deadline{io};
    // The whole content's deadline, once its length is known; none before.
    bool transferLimited = false;
    std::chrono::steady_clock::time_point transferEnd;
    bool transferOverdue = false;

    void limitTransfer(std::uint64_t size) override
    {
        const std::uint64_t rate = std::max<std::uint64_t>(deadlines.minimumRate, 1);
        transferLimited = true;
        transferEnd = std::chrono::steady_clock::now() + deadlines.transfer +
                      std::chrono::milliseconds(size / rate * 1000 + size % rate * 1000 / rate);
    }

    bool overdue() const override { return transferOverdue; }

    void abandon() override { closeQuietly(); }

    // A request sent ahead of its reply; `end` counts every request byte queued
    // on this connection up to and including its own.
    struct Due {
        std::string name;
        std::string digest;
        std::uint64_t end;
    };
    std::deque<Due> due;
    // Request bytes the socket has not taken yet, and the counts of those queued
    // and written since the connection opened.
    std::string outgoing;
    std::uint64_t queued = 0;
    std::uint64_t written = 0;
    // Request bytes whose replies have been taken.
    std::uint64_t answered = 0;
    // Ends all writing; a reply whose request did not go out whole fails with it.
    error_code writeError;

    // A new connection starts with nothing queued or due.
    void forgetRequests()
    {
        due.clear();
        outgoing.clear();
        queued = written = answered = 0;
        writeError.clear();
    }

    void startRequest()
    {
        transferLimited = false;
        transferOverdue = false;
    }

    // Writes what the socket takes without waiting.
    void flush()
    {
        while (!outgoing.empty() && !writeError) {
            error_code result;
            const std::size_t sent = socket.write_some(boost::asio::buffer(outgoing), result);
            if (mustWait(result))
                return;
            if (result) {
                writeError = result;
                outgoing.clear();
                return;
            }
            outgoing.erase(0, sent);
            written += sent;
        }
    }

    // While a reply is waited for, queued requests go out as the socket takes them.
    void flushWhenWritable(const bool& done)
    {
        if (outgoing.empty() || writeError)
            return;
        socket.async_wait(tcp::socket::wait_write, [this, &done](const error_code& error) {
            if (error || done)
                return;
            flush();
            flushWhenWritable(done);
        });
    }

    // The socket is non-blocking: data already there is taken at once, and the
    // step deadline only runs while the socket is waited for.
    error_code waitFor(tcp::socket::wait_type type)
    {
        bool done = false;
        error_code result;
        io.restart();
        const auto now = std::chrono::steady_clock::now();
        const auto stepEnd = now + deadlines.step;
        const bool transferFirst = transferLimited && transferEnd < stepEnd;
        deadline.expires_at(transferFirst ? transferEnd : stepEnd);
        deadline.async_wait([this, &done, transferFirst](const error_code& error) {
            if (!error && !done) {
                transferOverdue = transferFirst;
                closeQuietly();
            }
        });
        socket.async_wait(type, [this, &done, &result](const error_code& error) {
            done = true;
            result = error;
            deadline.cancel();
            // Ends a wait for writing still pending.
            error_code ignored;
            socket.cancel(ignored);
        });
        if (type == tcp::socket::wait_read)
            flushWhenWritable(done);
        io.run();
        return result;
    }

    static bool mustWait(const error_code& error)
    {
        return error == boost::asio::error::would_block || error == boost::asio::error::try_again;
    }

    bool readSome(char* buffer, std::size_t size, std::size_t& received, std::string& error) override
    {
        error_code result;
        for (;;) {
            flush();
            if (writeError && written < due.front().end) {
                error = errorText(writeError, "write");
                closeQuietly();
                return false;
            }
            received = socket.read_some(boost::asio::buffer(buffer, size), result);
            if (!result) {
                return true;
            }
            if (!mustWait(result) || (result = waitFor(tcp::socket::wait_read))) {
                break;
            }
        }
        error = errorText(result, "read");
        closeQuietly();
        return false;
    }

    bool writeAll(const char* data, std::size_t size, std::string& error)
    {
        error_code result;
        while (size > 0) {
            const std::size_t sent = socket.write_some(boost::asio::buffer(data, size), result);
            if (!result) {
                data += sent;
                size -= sent;
                continue;
            }
            if (!mustWait(result) || (result = waitFor(tcp::socket::wait_write))) {
                error = errorText(result, "write");
                closeQuietly();
                return false;
            }
        }
        return true;
    }

    void closeQuietly() { versionprotocol::closeQuietly(socket); }
};

VersionClient::VersionClient() : VersionClient(Deadlines()) {}

VersionClient::VersionClient(const Deadlines& deadlines) : session_(new Session(deadlines)) {}

VersionClient::~VersionClient()
{
    session_->closeQuietly();
}

bool VersionClient::connect(const std::string& host)
{
    Session& session = *session_;
    try {
        tcp::resolver resolver(session.io);
        const tcp::resolver::results_type endpoints =
            resolver.resolve(host, versionprotocol::kService, tcp::resolver::numeric_service);

        // One deadline for the whole list of addresses, not one per address.
        boost::asio::steady_timer timer(session.io);
        timer.expires_after(session.deadlines.connect);
        bool connected = false;
        boost::asio::async_connect(session.socket, endpoints,
                                   [&](const error_code& error, const tcp::endpoint&) {
                                       connected = !error;
                                       timer.cancel();
                                   });
        timer.async_wait([&](const error_code& error) {
            if (!error && !connected) {
                session.closeQuietly();
            }
        });
        session.io.restart();
        session.io.run();

        if (connected && session.socket.is_open()) {
            error_code ignored;
            session.socket.non_blocking(true, ignored);
            session.forgetRequests();
            std::string unused;
            return session.writeAll(versionprotocol::kGreeting, sizeof versionprotocol::kGreeting, unused);
        }
        Log::instance().write("连接服务器失败:", host);
        session.io.restart();
        return false;
    } catch (const std::exception& error) {
        Log::instance().write(error.what());
        session.io.restart();
        return false;
    }
}

FetchResult VersionClient::fetchFile(const std::string& name, const std::string& digest,
                                     const std::wstring& localPath, const ReplyBound& bound)
{
    StagedFile staged(localPath);
    const FetchResult result = fetchFile(name, digest, staged, bound);
    if (result != FetchResult::Fetched)
        return result;
    const std::string reason = staged.place();
    if (reason.empty())
        return result;
    Log::instance().write("打开文件失败:", name, reason);
    return FetchResult::NotWritten;
}

FetchResult VersionClient::fetchFile(const std::string& name, const std::string& digest, StagedFile& into,
                                     const ReplyBound& bound)
{
    ask(name, digest);
    return receive(into, bound);
}

bool VersionClient::mayAsk(std::size_t textSize) const
{
    const Session& session = *session_;
    const std::uint64_t inFlight = session.queued - session.answered;
    return session.due.empty() || inFlight + versionprotocol::kHeadSize + textSize <= kAskAheadBytes;
}

void VersionClient::ask(const std::string& name, const std::string& digest)
{
    Session& session = *session_;
    const std::string frame = versionprotocol::requestFrame(name, digest);
    // Written when a reply is read: the requests asked together go out together.
    session.outgoing += frame;
    session.queued += frame.size();
    session.due.push_back(Session::Due{name, digest, session.queued});
}

FetchResult VersionClient::receive(StagedFile& into, const ReplyBound& bound)
{
    Session& session = *session_;
    if (session.due.empty())
        return FetchResult::Failed;
    FetchResult result = FetchResult::Failed;
    try {
        session.startRequest();
        const Session::Due& asked = session.due.front();
        result = receiveFileReply(session, asked.name, asked.digest, into, bound);
    } catch (const std::exception& error) {
        Log::instance().write(error.what());
        session.closeQuietly();
    }
    session.answered = session.due.front().end;
    session.due.pop_front();
    return result;
}

bool VersionClient::open() const
{
    return session_->socket.is_open();
}
