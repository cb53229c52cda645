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

    void startRequest()
    {
        transferLimited = false;
        transferOverdue = false;
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
        });
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
    try {
        const std::string frame = versionprotocol::requestFrame(name, digest);
        std::string error;
        if (!session_->writeAll(frame.data(), frame.size(), error)) {
            Log::instance().write(error);
            return FetchResult::Failed;
        }
        session_->startRequest();
        return receiveFileReply(*session_, name, digest, into, bound);
    } catch (const std::exception& error) {
        Log::instance().write(error.what());
        return FetchResult::Failed;
    }
}
