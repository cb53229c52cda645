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

struct Resolved {
    error_code error;
    tcp::resolver::results_type endpoints;
    bool done = false;
};

}  // namespace

struct VersionClient::Session : ReplySource {
    explicit Session(const Deadlines& limits) : deadlines(limits) { deadline.setLimits(deadlines.limits); }

    const Deadlines deadlines;
    // Declared before the socket and the deadline: the handlers still queued in
    // it refer to them, and are dropped unrun when it goes after them.
    boost::asio::io_context io;
    tcp::socket socket{io};
    gametool::ConnectionDeadline deadline{io, [this] { closeQuietly(); }};

    bool overdue() const override { return deadline.tooSlow(); }

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

    // The reply's time counts from here, its head included.
    void startRequest() { deadline.startTransfer(); }

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
    void flushWhenWritable(const std::shared_ptr<bool>& done)
    {
        if (outgoing.empty() || writeError)
            return;
        socket.async_wait(tcp::socket::wait_write, [this, done](const error_code& error) {
            if (error || *done)
                return;
            flush();
            flushWhenWritable(done);
        });
    }

    // The socket is non-blocking: data already there is taken at once, and the
    // deadline only runs while the socket is waited for.
    error_code waitFor(tcp::socket::wait_type type)
    {
        auto done = std::make_shared<bool>(false);
        auto result = std::make_shared<error_code>();
        io.restart();
        deadline.arm();
        socket.async_wait(type, [done, result](const error_code& error) {
            *done = true;
            *result = error;
        });
        if (type == tcp::socket::wait_read)
            flushWhenWritable(done);
        while (!*done && io.run_one() > 0) {
        }
        deadline.disarm();
        // Ends a wait for writing still pending, and lets it run out.
        error_code ignored;
        socket.cancel(ignored);
        io.poll();
        return *result;
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
                deadline.received(received);
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
        session.closeQuietly();
        // One deadline for resolving and the whole list of addresses, not one per address.
        gametool::TransferLimits connecting = session.deadlines.limits;
        connecting.step = session.deadlines.connect;
        session.deadline.setLimits(connecting);
        session.deadline.endTransfer();
        session.deadline.arm();
        session.io.restart();
        auto resolved = std::make_shared<Resolved>();
        tcp::resolver resolver(session.io);
        resolver.async_resolve(host, versionprotocol::kService, tcp::resolver::numeric_service,
                               [resolved](const error_code& error, tcp::resolver::results_type results) {
                                   resolved->error = error;
                                   resolved->endpoints = std::move(results);
                                   resolved->done = true;
                               });
        // The system's resolution cannot be cut short: it is given up at the deadline.
        while (!resolved->done && !session.deadline.expired() && session.io.run_one() > 0) {
        }
        if (!resolved->done || resolved->error) {
            resolver.cancel();
            session.deadline.disarm();
            session.deadline.setLimits(session.deadlines.limits);
            const error_code error =
                resolved->done ? resolved->error : make_error_code(boost::asio::error::timed_out);
            Log::instance().write(errorText(error, "resolve"), host);
            return false;
        }
        auto connected = std::make_shared<bool>(false);
        auto finished = std::make_shared<bool>(false);
        boost::asio::async_connect(session.socket, resolved->endpoints,
                                   [connected, finished](const error_code& error, const tcp::endpoint&) {
                                       *connected = !error;
                                       *finished = true;
                                   });
        while (!*finished && session.io.run_one() > 0) {
        }
        session.deadline.disarm();
        session.deadline.setLimits(session.deadlines.limits);

        if (*connected && session.socket.is_open()) {
            error_code ignored;
            session.socket.non_blocking(true, ignored);
            session.forgetRequests();
            std::string unused;
            return session.writeAll(versionprotocol::kGreeting, sizeof versionprotocol::kGreeting, unused);
        }
        session.closeQuietly();
        Log::instance().write("连接服务器失败:", host);
        return false;
    } catch (const std::exception& error) {
        Log::instance().write(error.what(), host);
        session.closeQuietly();
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
    session.outgoing += frame;
    session.queued += frame.size();
    session.due.push_back(Session::Due{name, digest, session.queued});
    // Out as far as the socket takes it now: a caller that prepares the next
    // request (hashing a file) leaves no idle connection behind meanwhile.
    session.flush();
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
