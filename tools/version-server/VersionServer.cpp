#include "VersionServer.h"

#include "AcceptLater.h"

#include "net/VersionProtocol.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>

#include <sys/sendfile.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace versionserver {

namespace protocol = versionprotocol;
using boost::asio::ip::tcp;
using boost::system::error_code;
using Clock = std::chrono::steady_clock;

namespace {

// Largest piece asked of the socket per read; a request is usually one piece.
const std::size_t kReadPiece = 512;
// sendfile pieces and the pieces sent per turn, so that one big file does not
// starve the other connections.
const std::size_t kSendPiece = 1024 * 1024;
const int kPiecesPerTurn = 16;
// Connections taken from the backlog per turn of the loop.
const std::size_t kAcceptsPerTurn = 64;

}  // namespace

std::size_t connectionCapFor(std::uint64_t descriptorLimit)
{
    if (descriptorLimit <= kReservedDescriptors + 16 * kDescriptorsPerConnection) {
        return 16;
    }
    return std::size_t((descriptorLimit - kReservedDescriptors) / kDescriptorsPerConnection);
}

class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(Server& server, tcp::socket socket, std::string address, std::string peer)
        : address(std::move(address)),
          server_(server),
          socket_(std::move(socket)),
          timer_(server.io()),
          peer_(std::move(peer))
    {
        error_code ignored;
        socket_.set_option(tcp::no_delay(true), ignored);
        // Content goes out with sendfile, which must not block the server.
        socket_.non_blocking(true, ignored);
    }

    void start()
    {
        setDeadline(Clock::now() + server_.settings().greetingTime);
        readMore();
    }

    // Idempotent; the connection leaves the server's lists at once, so that its
    // descriptors are free before the next accept.
    void close()
    {
        if (closed_) {
            return;
        }
        closed_ = true;
        protocol::closeQuietly(socket_);
        error_code ignored;
        timer_.cancel(ignored);
        file_.reset();
        server_.forget(this);
    }

    // At a stop: a connection with a reply in hand finishes it first.
    void closeWhenIdle()
    {
        if (!busy_) {
            close();
        }
    }

    const std::string address;
    // Positions in the server's lists.
    std::list<Connection*>::iterator openPlace;
    std::list<Connection*>::iterator queuePlace;
    std::list<Connection*>* queue = nullptr;

private:
    // One timer per connection; moving the deadline later only stores it, and the
    // timer, when it fires early, waits again for the stored deadline.
    void setDeadline(Clock::time_point when)
    {
        deadline_ = when;
        if (timerWaiting_ && timer_.expiry() <= when) {
            return;
        }
        ++timerRound_;
        timer_.expires_at(when);
        timerWaiting_ = true;
        auto self = shared_from_this();
        const unsigned round = timerRound_;
        timer_.async_wait([self, round](const error_code& error) { self->onTimer(error, round); });
    }

    void onTimer(const error_code& error, unsigned round)
    {
        if (round != timerRound_) {
            return;  // replaced by an earlier deadline
        }
        timerWaiting_ = false;
        if (closed_ || error) {
            return;
        }
        if (Clock::now() < deadline_) {
            setDeadline(deadline_);
            return;
        }
        close();
    }

    void readMore()
    {
        const std::size_t old = in_.size();
        in_.resize(old + kReadPiece);
        auto self = shared_from_this();
        socket_.async_read_some(boost::asio::buffer(&in_[old], kReadPiece),
                                [self, old](const error_code& error, std::size_t received) {
                                    self->in_.resize(old + received);
                                    if (error || self->closed_) {
                                        self->close();
                                        return;
                                    }
                                    self->parse();
                                });
    }

    // Takes the greeting and then one whole request from what has arrived.
    void parse()
    {
        if (!greeted_) {
            if (in_.size() < sizeof protocol::kGreeting) {
                readMore();
                return;
            }
            if (!std::equal(protocol::kGreeting, protocol::kGreeting + sizeof protocol::kGreeting,
                            in_.begin())) {
                refuse("bad-greeting");
                return;
            }
            greeted_ = true;
            in_.erase(0, sizeof protocol::kGreeting);
        }
        if (in_.size() < protocol::kHeadSize) {
            readMore();
            return;
        }
        const unsigned char* head = reinterpret_cast<const unsigned char*>(in_.data());
        if (head[0] != protocol::kFileRequest) {
            refuse("bad-request");
            return;
        }
        const std::uint32_t length = protocol::readLength(head + 1);
        if (length > kMaxRequestText) {
            refuse("request-too-long");
            return;
        }
        if (in_.size() < protocol::kHeadSize + length) {
            readMore();
            return;
        }
        const std::string text = in_.substr(protocol::kHeadSize, length);
        in_.erase(0, protocol::kHeadSize + length);
        if (in_.empty() && in_.capacity() > 2 * kReadPiece) {
            in_.shrink_to_fit();  // after a long request, back to the usual size
        }
        handle(text);
    }

    void refuse(const char* reason)
    {
        server_.metrics().malformed();
        server_.log().line(peer_ + " - " + reason + " 0");
        close();
    }

    void handle(const std::string& text)
    {
        busy_ = true;
        started_ = Clock::now();
        server_.busy(this);
        setDeadline(Clock::time_point::max());  // a digest may take a while
        Lookup found = server_.files().open(text);
        if (found.kind != Lookup::Unhashed) {
            reply(std::move(found));
            return;
        }
        // Changed in place, not published as a release: this request waits for
        // the file's digest, computed away from the network thread, and the
        // release is walked again so that the next ones need not.
        server_.releaseChanged();
        auto self = shared_from_this();
        auto work = boost::asio::make_work_guard(server_.io());
        auto shared = std::make_shared<Lookup>(std::move(found));
        boost::asio::post(server_.pool(), [self, work, shared]() {
            self->server_.files().digest(*shared);
            boost::asio::post(self->server_.io(), [self, shared]() { self->reply(std::move(*shared)); });
        });
    }

    void reply(Lookup found)
    {
        if (closed_) {
            return;
        }
        name_ = std::move(found.logName);
        remaining_ = 0;
        sent_ = 0;
        headSent_ = 0;
        offset_ = 0;
        switch (found.kind) {
        case Lookup::Unavailable:
            // No answer is better than a wrong one: the starter tries again.
            fail();
            return;
        case Lookup::Unhashed:  // digest() always decides; never reached
        case Lookup::Refused:
        case Lookup::BadEncoding:
        case Lookup::Missing:
        case Lookup::TooLarge:
            head_.assign(1, char(protocol::kNotServed));
            result_ = found.kind == Lookup::Refused       ? "refused"
                      : found.kind == Lookup::BadEncoding ? "bad-encoding"
                      : found.kind == Lookup::TooLarge    ? "too-large"
                                                          : "missing";
            outcome_ = Outcome::Refused;
            break;
        case Lookup::Current:
            head_ = protocol::fileReplyHead(std::string(), 0);
            result_ = "current";
            outcome_ = Outcome::Current;
            break;
        case Lookup::Content:
            head_ = protocol::fileReplyHead(found.digest, std::uint32_t(found.size));
            file_ = std::move(found.file);
            remaining_ = found.size;
            result_ = "sent";
            outcome_ = Outcome::Sent;
            break;
        }
        headSent_ = 0;
        setDeadline(Clock::now() + server_.settings().idleTime);
        sendHead();
    }

    void sendHead()
    {
        // With content to follow, the head waits for it to fill the same packet.
        const int flags = remaining_ > 0 ? MSG_MORE : 0;
        auto self = shared_from_this();
        socket_.async_send(boost::asio::buffer(head_.data() + headSent_, head_.size() - headSent_), flags,
                           [self](const error_code& error, std::size_t sent) {
                               if (error || self->closed_) {
                                   self->fail();
                                   return;
                               }
                               self->headSent_ += sent;
                               if (self->headSent_ < self->head_.size()) {
                                   self->sendHead();
                                   return;
                               }
                               self->sendContent();
                           });
    }

    // Straight from the opened file with sendfile: no copy passes through this
    // process, and nothing of it is held in memory.
    void sendContent()
    {
        for (int piece = 0; piece < kPiecesPerTurn && remaining_ > 0; ++piece) {
            const std::size_t now = std::size_t(std::min<std::uint64_t>(remaining_, kSendPiece));
            const ssize_t sent = ::sendfile(socket_.native_handle(), file_->descriptor(), &offset_, now);
            if (sent > 0) {
                sent_ += std::uint64_t(sent);
                remaining_ -= std::uint64_t(sent);
                setDeadline(Clock::now() + server_.settings().idleTime);
                continue;
            }
            if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                auto self = shared_from_this();
                socket_.async_wait(tcp::socket::wait_write, [self](const error_code& error) {
                    if (error || self->closed_) {
                        self->fail();
                        return;
                    }
                    self->sendContent();
                });
                return;
            }
            // The client went away (EPIPE, reset), or the file was cut in place
            // (0): the frame cannot be completed, so the connection ends here.
            fail();
            return;
        }
        if (remaining_ > 0) {
            auto self = shared_from_this();
            boost::asio::post(server_.io(), [self]() {
                if (!self->closed_) {
                    self->sendContent();
                }
            });
            return;
        }
        finished();
    }

    void finished()
    {
        file_.reset();
        busy_ = false;
        server_.log().line(peer_ + " " + name_ + " " + result_ + " " + std::to_string(sent_));
        server_.metrics().request(outcome_, head_.size() + sent_, Clock::now() - started_);
        if (server_.stopping()) {
            close();
            return;
        }
        server_.waiting(this, true);
        setDeadline(Clock::now() + server_.settings().idleTime);
        parse();
    }

    void fail()
    {
        if (closed_) {
            return;
        }
        server_.log().line(peer_ + " " + (name_.empty() ? "-" : name_) + " failed " + std::to_string(sent_));
        server_.metrics().request(Outcome::Error, headSent_ + sent_, Clock::now() - started_);
        close();
    }

    Server& server_;
    tcp::socket socket_;
    boost::asio::steady_timer timer_;
    Clock::time_point deadline_;
    unsigned timerRound_ = 0;
    bool timerWaiting_ = false;
    const std::string peer_;
    std::string in_;  // arrived, not yet taken: at most one request and one read piece
    bool greeted_ = false;
    bool busy_ = false;
    bool closed_ = false;
    std::string name_;
    const char* result_ = "";
    Outcome outcome_ = Outcome::Error;
    Clock::time_point started_;
    std::string head_;
    std::size_t headSent_ = 0;
    std::shared_ptr<OpenFile> file_;
    off_t offset_ = 0;
    std::uint64_t remaining_ = 0;
    std::uint64_t sent_ = 0;
};

Server::Server(boost::asio::io_context& io, const Settings& settings, const tcp::endpoint& endpoint,
               RequestLog& log)
    : io_(io),
      settings_(settings),
      log_(log),
      files_(settings.encoding, digesting_),
      acceptor_(io),
      retry_(io),
      summary_(io),
      drain_(io),
      pool_(2),
      starting_(io.get_executor())
{
    digesting_.hold = settings.digestHold;
    if (settings.metrics) {
        metricsPort_ = std::make_unique<MetricsPort>(
            io, settings.metricsEndpoint, [this]() { return metricsText(); }, log);
    }
    // Bound now, so that a port in use ends the start; until it listens, a
    // starter's connect is refused and it turns to its other host.
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(tcp::acceptor::reuse_address(true));
    acceptor_.bind(endpoint);
    watch_ = std::make_unique<ReleaseWatch>(
        settings.root, settings.watchInterval, digesting_, log,
        [this](std::shared_ptr<const Release> release, const std::string& announcement) {
            boost::asio::post(io_, [this, release, announcement]() { serve(release, announcement); });
        });
    tick();
}

Server::~Server()
{
    watch_.reset();
    pool_.join();
}

void Server::serve(std::shared_ptr<const Release> release, const std::string& announcement)
{
    if (stopping_) {
        return;
    }
    const bool first = files_.release() == nullptr;
    files_.serve(std::move(release));
    // Only now: an operator deletes the previous release once it is out of service.
    if (!announcement.empty()) {
        log_.always(announcement);
    }
    if (!first) {
        return;
    }
    starting_.reset();
    error_code error;
    acceptor_.listen(tcp::acceptor::max_listen_connections, error);
    if (!error) {
        // Taken in batches by accept(), which must not block.
        acceptor_.non_blocking(true, error);
    }
    if (error) {
        log_.always("version-server: cannot listen: " + error.message());
        failed_ = true;
        stop();
        return;
    }
    const tcp::endpoint endpoint = acceptor_.local_endpoint(error);
    log_.always("version-server: serving " + settings_.root + " on " + endpoint.address().to_string() + ":" +
                std::to_string(endpoint.port()));
    accept();
}

void Server::tick()
{
    summary_.expires_after(settings_.summaryInterval);
    summary_.async_wait([this](const error_code& error) {
        if (error || stopping_) {
            return;
        }
        log_.always(summary());
        tick();
    });
}

std::string Server::summary() const
{
    return "version-server: summary connections " + std::to_string(open_.size()) + " requests " +
           std::to_string(metrics_.requests()) + " bytes " + std::to_string(metrics_.bytesSent()) +
           " evictions " + std::to_string(metrics_.evictions()) + " dropped " +
           std::to_string(log_.dropped());
}

std::string Server::metricsText() const
{
    ServedRelease served;
    if (const Release* release = files_.release()) {
        served.serving = true;
        served.directory = release->realRoot;
        served.signedRelease = release->signedRelease;
        served.number = release->number;
        served.expires = release->expires;
        served.files = release->names.size();
        served.digestSeconds = release->walkSeconds;
    }
    return metrics_.exposition(open_.size(), log_.dropped(), served);
}

bool Server::admit(const std::string& address)
{
    if (settings_.maxPerAddress == 0) {
        return true;
    }
    const auto found = perAddress_.find(address);
    return found == perAddress_.end() || found->second < settings_.maxPerAddress;
}

void Server::accept()
{
    acceptor_.async_accept([this](const error_code& error, tcp::socket socket) {
        if (stopping_) {
            return;
        }
        if (error) {
            acceptLater(retry_, stopping_, [this] { accept(); });
            return;
        }
        welcome(std::move(socket));
        // The rest of the backlog is taken now, up to a batch. One connection per
        // turn of the loop let thousands of starters fill the backlog; the system
        // then drops their connects, and each drop costs its starter a retry after
        // 1 s, 3 s or 7 s: the seconds-long tail under a crowd.
        for (std::size_t taken = 1; taken < kAcceptsPerTurn && !stopping_; ++taken) {
            tcp::socket next(io_);
            error_code acceptError;
            acceptor_.accept(next, acceptError);
            if (acceptError) {
                break;  // an empty backlog; anything else meets the wait above
            }
            welcome(std::move(next));
        }
        accept();
    });
}

void Server::welcome(tcp::socket socket)
{
    error_code ignored;
    const tcp::endpoint remote = socket.remote_endpoint(ignored);
    const std::string address = remote.address().to_string();
    const std::string peer = address + ":" + std::to_string(remote.port());
    if (!admit(address)) {
        metrics_.evicted();
        log_.line(peer + " - address-cap 0");
        protocol::closeQuietly(socket);
        return;
    }
    if (open_.size() >= settings_.maxConnections) {
        std::list<Connection*>& queue = !fresh_.empty() ? fresh_ : idle_;
        metrics_.evicted();
        if (queue.empty()) {
            // Every connection has a reply in hand: the newcomer is the one to go.
            protocol::closeQuietly(socket);
            return;
        }
        queue.front()->close();
    }
    metrics_.accepted();
    auto connection = std::make_shared<Connection>(*this, std::move(socket), address, peer);
    connection->openPlace = open_.insert(open_.end(), connection.get());
    ++perAddress_[address];
    waiting(connection.get(), false);
    connection->start();
}

void Server::waiting(Connection* connection, bool completedOne)
{
    std::list<Connection*>& queue = completedOne ? idle_ : fresh_;
    connection->queuePlace = queue.insert(queue.end(), connection);
    connection->queue = &queue;
}

void Server::busy(Connection* connection)
{
    if (connection->queue) {
        connection->queue->erase(connection->queuePlace);
        connection->queue = nullptr;
    }
}

void Server::forget(Connection* connection)
{
    busy(connection);
    open_.erase(connection->openPlace);
    const auto count = perAddress_.find(connection->address);
    if (count != perAddress_.end() && --count->second == 0) {
        perAddress_.erase(count);
    }
    if (stopping_ && open_.empty()) {
        error_code ignored;
        drain_.cancel(ignored);
    }
}

void Server::stop()
{
    if (stopping_) {
        return;
    }
    stopping_ = true;
    digesting_.stopping = true;
    starting_.reset();
    error_code ignored;
    acceptor_.close(ignored);
    retry_.cancel(ignored);
    summary_.cancel(ignored);
    if (metricsPort_) {
        metricsPort_->stop();
    }
    const std::vector<Connection*> all(open_.begin(), open_.end());
    for (Connection* connection : all) {
        connection->closeWhenIdle();
    }
    if (open_.empty()) {
        return;
    }
    drain_.expires_after(settings_.drainTime);
    drain_.async_wait([this](const error_code& error) {
        if (error) {
            return;
        }
        const std::vector<Connection*> left(open_.begin(), open_.end());
        for (Connection* connection : left) {
            connection->close();
        }
    });
}

}  // namespace versionserver
