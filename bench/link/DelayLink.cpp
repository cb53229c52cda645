// delay-link: a slow network link in one process, for benchmarks. It listens on
// local addresses and forwards every connection to a server, as a link with a
// round-trip time and one downstream rate shared by every connection would:
//   - a connection opens one round trip after it was accepted (its client's bytes
//     wait until then), as the client's handshake would take;
//   - every byte reaches the other side half a round trip after it reached the link;
//   - server-to-client bytes of all connections leave one queue at the rate, in the
//     order they arrived; client-to-server bytes are not limited;
//   - an end of stream or a reset travels as a half-close after the same delay.
// The link itself never throttles a connection below the rate: each direction
// reads again while less than its window is queued, and the window is at least
// twice the bandwidth-delay product.
//
//   delay-link --forward LISTEN-ADDR:PORT=TARGET-ADDR:PORT [--forward ...]
//              [--rtt-ms 50] [--rate-mbit 100]
//
// Single-threaded: bytes travel in chunks of one read each, released by one timer
// per direction, so a 100 Mbit/s stream costs a few hundred wake-ups a second.

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace {

using boost::asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using Duration = Clock::duration;

const std::size_t kReadSize = 64 * 1024;

struct Settings {
    Duration rtt = std::chrono::milliseconds(50);
    double bytesPerSecond = 100e6 / 8;
    std::size_t window = 0;
};

// The one queue that every server-to-client byte passes at the link's rate.
class Bottleneck {
public:
    explicit Bottleneck(double bytesPerSecond) : bytesPerSecond_(bytesPerSecond) {}

    // When `bytes` that arrived now have left the queue.
    Clock::time_point pass(std::size_t bytes)
    {
        const Clock::time_point now = Clock::now();
        if (free_ < now)
            free_ = now;
        free_ += std::chrono::duration_cast<Duration>(
            std::chrono::duration<double>(double(bytes) / bytesPerSecond_));
        return free_;
    }

private:
    double bytesPerSecond_;
    Clock::time_point free_;
};

class Connection;

// One direction of a connection: reads from `from`, holds each piece until its
// release time, writes it to `to`. An empty piece is the end of the stream.
class Direction {
public:
    Direction(Connection& owner, tcp::socket& from, tcp::socket& to, bool downstream)
        : owner_(owner), from_(from), to_(to), downstream_(downstream), timer_(from.get_executor())
    {
    }

    void startReading();
    bool finished() const { return finished_; }
    void stop() { timer_.cancel(); }

private:
    struct Piece {
        std::vector<char> bytes;
        Clock::time_point release;
    };

    Clock::time_point releaseTime(std::size_t bytes);
    void queue(std::vector<char> bytes);
    void schedule();
    void deliver();

    Connection& owner_;
    tcp::socket& from_;
    tcp::socket& to_;
    bool downstream_;
    boost::asio::steady_timer timer_;
    std::deque<Piece> pieces_;
    std::size_t queued_ = 0;
    bool reading_ = false;
    bool ended_ = false;
    bool writing_ = false;
    bool finished_ = false;
    Clock::time_point last_;
};

class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(tcp::socket client, const tcp::endpoint& target, const Settings& settings,
               Bottleneck& bottleneck)
        : client_(std::move(client)),
          server_(client_.get_executor()),
          target_(target),
          settings_(settings),
          bottleneck_(bottleneck),
          accepted_(Clock::now()),
          upstream_(*this, client_, server_, false),
          downstream_(*this, server_, client_, true)
    {
    }

    void start()
    {
        auto self = shared_from_this();
        server_.async_connect(target_, [self](const boost::system::error_code& error) {
            if (error) {
                self->close();
                return;
            }
            boost::system::error_code ignored;
            self->server_.set_option(tcp::no_delay(true), ignored);
            self->upstream_.startReading();
            self->downstream_.startReading();
        });
        boost::system::error_code ignored;
        client_.set_option(tcp::no_delay(true), ignored);
    }

    // Both directions delivered their end, or a side failed: nothing more can pass.
    void close()
    {
        upstream_.stop();
        downstream_.stop();
        boost::system::error_code ignored;
        client_.close(ignored);
        server_.close(ignored);
    }

    void directionFinished()
    {
        if (upstream_.finished() && downstream_.finished())
            close();
    }

    const Settings& settings() const { return settings_; }
    Bottleneck& bottleneck() { return bottleneck_; }
    Clock::time_point accepted() const { return accepted_; }

private:
    tcp::socket client_;
    tcp::socket server_;
    tcp::endpoint target_;
    const Settings& settings_;
    Bottleneck& bottleneck_;
    Clock::time_point accepted_;
    Direction upstream_;
    Direction downstream_;
};

// Client bytes wait for the opening; server bytes cannot reach the client before
// the handshake would have. Release times never go backwards, so nothing is reordered.
Clock::time_point Direction::releaseTime(std::size_t bytes)
{
    const Settings& settings = owner_.settings();
    const Duration half = settings.rtt / 2;
    Clock::time_point release;
    if (downstream_)
        release = std::max(owner_.bottleneck().pass(bytes) + half, owner_.accepted() + settings.rtt);
    else
        release = std::max(Clock::now(), owner_.accepted() + settings.rtt) + half;
    last_ = std::max(last_, release);
    return last_;
}

void Direction::startReading()
{
    if (reading_ || ended_ || queued_ >= owner_.settings().window)
        return;
    reading_ = true;
    auto buffer = std::make_shared<std::vector<char>>(kReadSize);
    auto self = owner_.shared_from_this();
    from_.async_read_some(boost::asio::buffer(*buffer),
                          [this, self, buffer](const boost::system::error_code& error, std::size_t got) {
                              reading_ = false;
                              if (error == boost::asio::error::operation_aborted && !from_.is_open())
                                  return;
                              if (error || got == 0) {
                                  ended_ = true;
                                  queue(std::vector<char>());
                                  return;
                              }
                              buffer->resize(got);
                              queue(std::move(*buffer));
                              startReading();
                          });
}

void Direction::queue(std::vector<char> bytes)
{
    const std::size_t size = bytes.size();
    pieces_.push_back(Piece{std::move(bytes), releaseTime(size)});
    queued_ += size;
    if (pieces_.size() == 1 && !writing_)
        schedule();
}

void Direction::schedule()
{
    if (pieces_.empty() || writing_)
        return;
    timer_.expires_at(pieces_.front().release);
    auto self = owner_.shared_from_this();
    timer_.async_wait([this, self](const boost::system::error_code& error) {
        if (!error)
            deliver();
    });
}

// Writes every piece that is due in one gathered write; an end of stream that is
// due after them shuts the sending side of `to_`.
void Direction::deliver()
{
    const Clock::time_point now = Clock::now();
    std::vector<boost::asio::const_buffer> buffers;
    std::size_t count = 0;
    std::size_t bytes = 0;
    for (const Piece& piece : pieces_) {
        if (piece.release > now || piece.bytes.empty())
            break;
        buffers.push_back(boost::asio::buffer(piece.bytes));
        bytes += piece.bytes.size();
        ++count;
    }
    if (count == 0) {
        if (!pieces_.empty() && pieces_.front().bytes.empty() && pieces_.front().release <= now) {
            pieces_.pop_front();
            boost::system::error_code ignored;
            to_.shutdown(tcp::socket::shutdown_send, ignored);
            finished_ = true;
            owner_.directionFinished();
        } else {
            schedule();
        }
        return;
    }
    writing_ = true;
    auto self = owner_.shared_from_this();
    boost::asio::async_write(to_, buffers,
                             [this, self, count, bytes](const boost::system::error_code& error, std::size_t) {
                                 writing_ = false;
                                 if (error) {
                                     owner_.close();
                                     return;
                                 }
                                 pieces_.erase(pieces_.begin(), pieces_.begin() + std::ptrdiff_t(count));
                                 queued_ -= bytes;
                                 startReading();
                                 deliver();
                             });
}

class Forward {
public:
    Forward(boost::asio::io_context& io, const tcp::endpoint& listen, const tcp::endpoint& target,
            const Settings& settings, Bottleneck& bottleneck)
        : acceptor_(io), retry_(io), target_(target), settings_(settings), bottleneck_(bottleneck)
    {
        acceptor_.open(listen.protocol());
        acceptor_.set_option(tcp::acceptor::reuse_address(true));
        acceptor_.bind(listen);
        acceptor_.listen(4096);
    }

    void accept()
    {
        acceptor_.async_accept([this](const boost::system::error_code& error, tcp::socket client) {
            if (!error) {
                std::make_shared<Connection>(std::move(client), target_, settings_, bottleneck_)->start();
                accept();
            } else if (error != boost::asio::error::operation_aborted) {
                // Out of descriptors, most likely: accepting again at once would spin.
                retry_.expires_after(std::chrono::milliseconds(100));
                retry_.async_wait([this](const boost::system::error_code& waited) {
                    if (!waited)
                        accept();
                });
            }
        });
    }

private:
    tcp::acceptor acceptor_;
    boost::asio::steady_timer retry_;
    tcp::endpoint target_;
    const Settings& settings_;
    Bottleneck& bottleneck_;
};

bool parseEndpoint(const std::string& text, tcp::endpoint& endpoint)
{
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 >= text.size() || text.size() - colon > 6)
        return false;
    boost::system::error_code error;
    const auto address = boost::asio::ip::make_address(text.substr(0, colon), error);
    char* end = nullptr;
    const unsigned long port = std::strtoul(text.c_str() + colon + 1, &end, 10);
    if (error || *end != '\0' || port == 0 || port > 65535)
        return false;
    endpoint = tcp::endpoint(address, static_cast<unsigned short>(port));
    return true;
}

int usage(const std::string& problem)
{
    std::cerr << "delay-link: " << problem << "\n"
              << "usage: delay-link --forward LISTEN-ADDR:PORT=TARGET-ADDR:PORT [--forward ...]\n"
              << "                  [--rtt-ms 50] [--rate-mbit 100]\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    Settings settings;
    std::vector<std::pair<tcp::endpoint, tcp::endpoint>> forwards;
    for (int i = 1; i < argc; i += 2) {
        const std::string option = argv[i];
        if (i + 1 >= argc)
            return usage(option + " needs a value");
        const std::string value = argv[i + 1];
        if (option == "--forward") {
            const std::size_t equals = value.find('=');
            std::pair<tcp::endpoint, tcp::endpoint> forward;
            if (equals == std::string::npos || !parseEndpoint(value.substr(0, equals), forward.first) ||
                !parseEndpoint(value.substr(equals + 1), forward.second))
                return usage("bad --forward " + value);
            forwards.push_back(forward);
        } else if (option == "--rtt-ms") {
            const double ms = std::atof(value.c_str());
            if (!(ms >= 0 && ms <= 10000))
                return usage("bad --rtt-ms " + value);
            settings.rtt =
                std::chrono::duration_cast<Duration>(std::chrono::duration<double, std::milli>(ms));
        } else if (option == "--rate-mbit") {
            const double mbit = std::atof(value.c_str());
            if (!(mbit > 0 && mbit <= 100000))
                return usage("bad --rate-mbit " + value);
            settings.bytesPerSecond = mbit * 1e6 / 8;
        } else {
            return usage("unknown option " + option);
        }
    }
    if (forwards.empty())
        return usage("no --forward given");
    const double bdp = settings.bytesPerSecond * std::chrono::duration<double>(settings.rtt).count();
    settings.window = std::max<std::size_t>(std::size_t(2 * bdp), 4 * kReadSize);

    try {
        boost::asio::io_context io;
        Bottleneck bottleneck(settings.bytesPerSecond);
        std::vector<std::unique_ptr<Forward>> listeners;
        for (const auto& forward : forwards) {
            listeners.push_back(
                std::make_unique<Forward>(io, forward.first, forward.second, settings, bottleneck));
            listeners.back()->accept();
        }
        boost::asio::signal_set stop(io, SIGINT, SIGTERM);
        stop.async_wait([&io](const boost::system::error_code&, int) { io.stop(); });
        io.run();
    } catch (const std::exception& error) {
        std::cerr << "delay-link: " << error.what() << "\n";
        return 1;
    }
    return 0;
}
