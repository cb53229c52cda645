#include "tests/common/Network.h"

#include "tests/common/Files.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/system/system_error.hpp>

#include <chrono>
#include <cstdlib>

namespace fixtures {

using boost::asio::ip::tcp;
using boost::system::error_code;

bool inPrivateNetwork()
{
    const char* value = std::getenv("LAUNCHER_NETNS");
    return value && std::string(value) == "1";
}

bool hasMultiAddressName()
{
    const char* value = std::getenv("LAUNCHER_NETNS_HOSTS");
    return value && std::string(value) == "1";
}

std::string errorText(const error_code& error, const char* operation)
{
    return boost::system::system_error(error, operation).what();
}

std::string errorMessage(const error_code& error)
{
    return error.message();
}

std::string versionRequest(const std::string& text)
{
    return "\x0a" + be32(std::uint32_t(text.size())) + text;
}

std::string versionReply(const std::string& content)
{
    return "\x0a" + be32(0) + be32(std::uint32_t(content.size())) + content;
}

std::string readVersionRequest(Peer& peer)
{
    const std::string head = peer.read(5);
    if (head.size() < 5)
        return std::string();
    const unsigned char* length = reinterpret_cast<const unsigned char*>(head.data()) + 1;
    return peer.read((std::size_t(length[0]) << 24) | (std::size_t(length[1]) << 16) |
                     (std::size_t(length[2]) << 8) | length[3]);
}

Peer::Peer(tcp::socket& socket, std::string& received, std::mutex& mutex)
    : socket_(socket), received_(received), mutex_(mutex)
{
}

std::string Peer::read(std::size_t size)
{
    std::string data(size, '\0');
    error_code error;
    const std::size_t got = size ? boost::asio::read(socket_, boost::asio::buffer(&data[0], size), error) : 0;
    data.resize(got);
    std::lock_guard<std::mutex> lock(mutex_);
    received_ += data;
    return data;
}

std::string Peer::readUntil(const std::string& mark)
{
    std::string data;
    char c = 0;
    error_code error;
    while (data.size() < mark.size() || data.compare(data.size() - mark.size(), mark.size(), mark) != 0) {
        if (boost::asio::read(socket_, boost::asio::buffer(&c, 1), error) != 1) {
            break;
        }
        data.push_back(c);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    received_ += data;
    return data;
}

bool Peer::write(const std::string& bytes)
{
    error_code error;
    boost::asio::write(socket_, boost::asio::buffer(bytes), error);
    return !error;
}

void Peer::waitForClose()
{
    char buffer[4096];
    error_code error;
    while (!error) {
        socket_.read_some(boost::asio::buffer(buffer), error);
    }
}

void Peer::close()
{
    error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
}

void Peer::reset()
{
    error_code ignored;
    // A zero linger makes the close send a reset instead of an orderly end.
    socket_.set_option(boost::asio::socket_base::linger(true, 0), ignored);
    socket_.close(ignored);
}

ScriptedServer::ScriptedServer(const std::string& address, unsigned short port, Script script,
                               int connections)
    : acceptor_(io_), endpoint_(boost::asio::ip::make_address(address), port), script_(std::move(script))
{
    acceptor_.open(endpoint_.protocol());
    acceptor_.set_option(tcp::acceptor::reuse_address(true));
    acceptor_.bind(endpoint_);
    acceptor_.listen();
    thread_ = std::thread([this, connections]() { serve(connections); });
}

void ScriptedServer::limitReceiveBuffer(int bytes)
{
    acceptor_.set_option(boost::asio::socket_base::receive_buffer_size(bytes));
}

void ScriptedServer::serve(int connections)
{
    for (int i = 0; i < connections && !stopping_; ++i) {
        auto socket = std::make_unique<tcp::socket>(io_);
        error_code error;
        accepting_ = true;
        acceptor_.accept(*socket, error);
        accepting_ = false;
        if (error || stopping_) {
            break;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            current_ = std::move(socket);
        }
        Peer peer(*current_, received_, mutex_);
        script_(peer);
        // Under the lock: the destructor may be shutting the same socket down.
        std::lock_guard<std::mutex> lock(mutex_);
        peer.close();
        current_.reset();
    }
}

ScriptedServer::~ScriptedServer()
{
    stopping_ = true;
    if (thread_.joinable()) {
        if (accepting_) {
            // Wakes the blocking accept; the loop sees stopping_ and ends.
            boost::asio::io_context io;
            tcp::socket wake(io);
            error_code ignored;
            wake.connect(endpoint_, ignored);
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (current_) {
                error_code ignored;
                current_->shutdown(tcp::socket::shutdown_both, ignored);
            }
        }
        thread_.join();
    }
}

std::string ScriptedServer::received() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

void ScriptedServer::join()
{
    if (thread_.joinable()) {
        thread_.join();
    }
}

FullBacklog::FullBacklog(const std::string& address, unsigned short port) : acceptor_(io_)
{
    const tcp::endpoint endpoint(boost::asio::ip::make_address(address), port);
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(tcp::acceptor::reuse_address(true));
    acceptor_.bind(endpoint);
    // A backlog of 0 leaves room for one connection; the filler takes it.
    acceptor_.listen(0);
    fillers_.push_back(std::make_unique<tcp::socket>(io_));
    fillers_.back()->connect(endpoint);
}

bool waitForListener(const std::string& address, unsigned short port, int seconds)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    const tcp::endpoint endpoint(boost::asio::ip::make_address(address), port);
    while (std::chrono::steady_clock::now() < end) {
        boost::asio::io_context io;
        tcp::socket probe(io);
        error_code error;
        probe.connect(endpoint, error);
        if (!error) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

}  // namespace fixtures
