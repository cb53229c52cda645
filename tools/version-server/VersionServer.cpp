#include "VersionServer.h"

#include "net/VersionProtocol.h"
#include "support/FileDigest.h"
#include "support/PathSafety.h"
#include "support/TextConvert.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/filesystem/operations.hpp>

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cerrno>

namespace versionserver {

namespace {

using boost::asio::ip::tcp;
using boost::system::error_code;

namespace protocol = versionprotocol;

const std::size_t kChunk = 1024 * 1024;

// Keeps one request on one line of the report, whatever bytes the name holds.
std::string printable(const std::string& text) {
    std::string out = text.substr(0, 200);
    for (char& c : out) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            c = '?';
        }
    }
    return out.empty() ? "-" : out;
}

bool isInside(const boost::filesystem::path& file, const boost::filesystem::path& root) {
    auto f = file.begin();
    for (auto r = root.begin(); r != root.end(); ++r, ++f) {
        if (f == file.end() || *f != *r) {
            return false;
        }
    }
    return f != file.end();
}

}  // namespace

class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(Server& server, tcp::socket socket)
        : server_(server), socket_(std::move(socket)), idle_(server.io()) {
        error_code error;
        const tcp::endpoint remote = socket_.remote_endpoint(error);
        if (!error) {
            peer_ = remote.address().to_string() + ":" + std::to_string(remote.port());
        } else {
            peer_ = "?";
        }
        socket_.set_option(tcp::no_delay(true), error);
        // Content goes out with sendfile, which must not block the server.
        socket_.non_blocking(true, error);
    }

    ~Connection() {
        closeFile();
        server_.forget(this);
    }

    void start() {
        armIdle();
        auto self = shared_from_this();
        boost::asio::async_read(socket_, boost::asio::buffer(greeting_),
                                [self](const error_code& error, std::size_t) {
                                    self->onGreeting(error);
                                });
    }

    void close() {
        protocol::closeQuietly(socket_);
        error_code ignored;
        idle_.cancel(ignored);
    }

private:
    // Any read or write that does not finish within the idle time ends the connection.
    void armIdle() {
        idle_.expires_after(std::chrono::seconds(kIdleSeconds));
        std::weak_ptr<Connection> weak = shared_from_this();
        idle_.async_wait([weak](const error_code& error) {
            std::shared_ptr<Connection> self = weak.lock();
            if (!error && self && self->idle_.expiry() <= std::chrono::steady_clock::now()) {
                self->close();
            }
        });
    }

    void onGreeting(const error_code& error) {
        if (error) {
            close();
            return;
        }
        if (!std::equal(greeting_.begin(), greeting_.end(), protocol::kGreeting)) {
            server_.report(peer_ + " - bad-greeting 0");
            close();
            return;
        }
        readHead();
    }

    void readHead() {
        armIdle();
        auto self = shared_from_this();
        boost::asio::async_read(socket_, boost::asio::buffer(head_),
                                [self](const error_code& error, std::size_t) {
                                    self->onHead(error);
                                });
    }

    void onHead(const error_code& error) {
        if (error) {
            close();
            return;
        }
        if (head_[0] != protocol::kFileRequest) {
            server_.report(peer_ + " - bad-request 0");
            close();
            return;
        }
        const std::uint32_t length = protocol::readLength(&head_[1]);
        if (length > kMaxRequestText) {
            server_.report(peer_ + " - request-too-long 0");
            close();
            return;
        }
        text_.assign(length, '\0');
        armIdle();
        auto self = shared_from_this();
        boost::asio::async_read(socket_, boost::asio::buffer(&text_[0], text_.size()),
                                [self](const error_code& readError, std::size_t) {
                                    self->onText(readError);
                                });
    }

    void onText(const error_code& error) {
        if (error) {
            close();
            return;
        }
        error_code ignored;
        idle_.cancel(ignored);
        const std::string::size_type colon = text_.rfind(':');
        name_ = printable(colon == std::string::npos ? text_ : text_.substr(0, colon));
        // Digests can take seconds for big files: they are computed off the network thread.
        auto self = shared_from_this();
        auto work = boost::asio::make_work_guard(server_.io());
        const std::string text = text_;
        boost::asio::post(server_.pool(), [self, work, text]() {
            Lookup found = self->server_.lookup(text);
            boost::asio::post(self->server_.io(), [self, found]() { self->reply(found); });
        });
    }

    void reply(const Lookup& found) {
        if (!socket_.is_open()) {
            return;
        }
        reply_.clear();
        switch (found.kind) {
        case Lookup::Refused:
        case Lookup::Missing:
        case Lookup::TooLarge:
            reply_.push_back(char(protocol::kNotServed));
            result_ = found.kind == Lookup::Refused ? "refused" : found.kind == Lookup::Missing ? "missing" : "too-large";
            remaining_ = 0;
            break;
        case Lookup::Current:
            reply_ = protocol::fileReplyHead(std::string(), 0);
            result_ = "current";
            remaining_ = 0;
            break;
        case Lookup::Content:
            closeFile();
            file_ = ::open(found.file.c_str(), O_RDONLY | O_CLOEXEC);
            if (file_ < 0) {
                reply_.push_back(char(protocol::kNotServed));
                result_ = "missing";
                remaining_ = 0;
                break;
            }
            reply_ = protocol::fileReplyHead(found.digest, std::uint32_t(found.size));
            result_ = "sent";
            remaining_ = found.size;
            break;
        }
        sent_ = 0;
        offset_ = 0;
        sendReply();
    }

    // Sends the frame head, then the content straight from the file with
    // sendfile: no copy passes through this process, nothing is held in memory.
    void sendReply() {
        armIdle();
        auto self = shared_from_this();
        boost::asio::async_write(socket_, boost::asio::buffer(reply_), [self](const error_code& error, std::size_t) {
            if (error) {
                self->fail();
                return;
            }
            self->sendContent();
        });
    }

    void sendContent() {
        // A bounded burst per turn, so that one big file does not starve other connections.
        for (int burst = 0; burst < 16 && remaining_ > 0; ++burst) {
            const std::size_t now = std::size_t(std::min<std::uint64_t>(remaining_, kChunk));
            const ssize_t sent = ::sendfile(socket_.native_handle(), file_, &offset_, now);
            if (sent > 0) {
                sent_ += std::uint64_t(sent);
                remaining_ -= std::uint64_t(sent);
                continue;
            }
            if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                armIdle();
                auto self = shared_from_this();
                socket_.async_wait(tcp::socket::wait_write, [self](const error_code& error) {
                    if (error) {
                        self->fail();
                        return;
                    }
                    self->sendContent();
                });
                return;
            }
            // An error, or the file shrank while being served: the frame cannot be completed.
            fail();
            return;
        }
        if (remaining_ > 0) {
            auto self = shared_from_this();
            boost::asio::post(server_.io(), [self]() { self->sendContent(); });
            return;
        }
        closeFile();
        server_.report(peer_ + " " + name_ + " " + result_ + " " + std::to_string(sent_));
        readHead();
    }

    void fail() {
        server_.report(peer_ + " " + name_ + " failed " + std::to_string(sent_));
        closeFile();
        close();
    }

    void closeFile() {
        if (file_ >= 0) {
            ::close(file_);
            file_ = -1;
        }
    }

    Server& server_;
    tcp::socket socket_;
    boost::asio::steady_timer idle_;
    std::string peer_;
    std::array<unsigned char, 4> greeting_{};
    std::array<unsigned char, protocol::kHeadSize> head_{};
    std::string text_;
    std::string name_;
    std::string reply_;
    std::string result_;
    int file_ = -1;
    off_t offset_ = 0;
    std::uint64_t remaining_ = 0;
    std::uint64_t sent_ = 0;
};

std::string DigestCache::digest(const boost::filesystem::path& file, std::uint64_t size,
                                std::int64_t modified) {
    const std::string key = file.string();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = entries_.find(key);
        if (found != entries_.end() && found->second.size == size &&
            found->second.modified == modified) {
            return found->second.digest;
        }
    }
    const std::string digest = computeFileSha1(narrowToWide(key));
    std::lock_guard<std::mutex> lock(mutex_);
    entries_[key] = Entry{size, modified, digest};
    return digest;
}

Server::Server(boost::asio::io_context& io, const boost::filesystem::path& root,
               const tcp::endpoint& endpoint, std::ostream& out)
    : io_(io), root_(boost::filesystem::canonical(root)), acceptor_(io), retry_(io), pool_(2), out_(out) {
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(tcp::acceptor::reuse_address(true));
    acceptor_.bind(endpoint);
    acceptor_.listen();
    accept();
}

Server::~Server() { pool_.join(); }

void Server::accept() {
    acceptor_.async_accept([this](const error_code& error, tcp::socket socket) {
        if (stopping_) {
            return;
        }
        if (error) {
            // Out of descriptors or similar: try again a little later, not in a busy loop.
            retry_.expires_after(std::chrono::milliseconds(100));
            retry_.async_wait([this](const error_code& waitError) {
                if (!waitError && !stopping_) {
                    accept();
                }
            });
            return;
        }
        auto connection = std::make_shared<Connection>(*this, std::move(socket));
        connections_.insert(connection.get());
        connection->start();
        accept();
    });
}

void Server::stop() {
    stopping_ = true;
    error_code ignored;
    acceptor_.close(ignored);
    retry_.cancel(ignored);
    for (Connection* connection : connections_) {
        connection->close();
    }
}

void Server::forget(Connection* connection) { connections_.erase(connection); }

void Server::report(const std::string& line) { out_ << line << std::endl; }

Lookup Server::lookup(const std::string& requestText) {
    Lookup result;
    const std::string::size_type colon = requestText.rfind(':');
    if (colon == std::string::npos) {
        result.kind = Lookup::Refused;
        return result;
    }
    std::string name = requestText.substr(0, colon);
    const std::string digest = requestText.substr(colon + 1);
    if (!isConfinedRelativePath(name)) {
        result.kind = Lookup::Refused;
        return result;
    }
    std::replace(name.begin(), name.end(), '\\', '/');
    const boost::filesystem::path full = root_ / name;
    struct stat status;
    if (::stat(full.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
        result.kind = Lookup::Missing;
        return result;
    }
    // A link inside the directory may not lead out of it.
    error_code error;
    const boost::filesystem::path real = boost::filesystem::canonical(full, error);
    if (error) {
        result.kind = Lookup::Missing;
        return result;
    }
    if (!isInside(real, root_)) {
        result.kind = Lookup::Refused;
        return result;
    }
    if (std::uint64_t(status.st_size) > 0xFFFFFFFFull) {
        result.kind = Lookup::TooLarge;
        return result;
    }
    result.file = real;
    result.size = std::uint64_t(status.st_size);
    const std::int64_t modified =
        std::int64_t(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
    result.digest = digests_.digest(real, result.size, modified);
    result.kind = result.digest == digest ? Lookup::Current : Lookup::Content;
    return result;
}

}  // namespace versionserver
