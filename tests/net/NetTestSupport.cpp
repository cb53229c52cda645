#include "NetTestSupport.h"

#include "support/Log.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/filesystem/fstream.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/system/system_error.hpp>

#include <chrono>
#include <cstdlib>
#include <random>
#include <sstream>

namespace nettest {

using boost::asio::ip::tcp;
using boost::system::error_code;

std::string errorText(const error_code& error, const char* operation) {
    return boost::system::system_error(error, operation).what();
}

std::string errorMessage(const error_code& error) { return error.message(); }

bool inPrivateNetwork() {
    const char* value = std::getenv("LAUNCHER_NETNS");
    return value && std::string(value) == "1";
}

bool hasMultiAddressName() {
    const char* value = std::getenv("LAUNCHER_NETNS_HOSTS");
    return value && std::string(value) == "1";
}

fs::path freshDirectory(const std::string& stem) {
    static int counter = 0;
    const fs::path dir = stem + "-" + std::to_string(++counter);
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

testing::AssertionResult hasContent(const fs::path& file, const std::string& expected) {
    error_code error;
    if (!fs::is_regular_file(file, error)) {
        return testing::AssertionFailure() << file.string() << " is not a file";
    }
    const std::string actual = readFile(file);
    if (actual == expected) {
        return testing::AssertionSuccess();
    }
    std::size_t offset = 0;
    while (offset < actual.size() && offset < expected.size() && actual[offset] == expected[offset]) {
        ++offset;
    }
    return testing::AssertionFailure() << file.string() << " holds " << actual.size() << " bytes, expected "
                                       << expected.size() << "; first difference at offset " << offset;
}

std::string readFile(const fs::path& path) {
    fs::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeFile(const fs::path& path, const std::string& content) {
    fs::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), std::streamsize(content.size()));
}

std::string randomBytes(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) {
        c = static_cast<char>(generator() & 0xff);
    }
    return bytes;
}

LogWatch::LogWatch() : path_(Log::instance().filePath()), start_(0) {
    error_code error;
    if (!path_.empty()) {
        const std::uintmax_t size = fs::file_size(path_, error);
        start_ = error ? 0 : size;
    }
}

std::vector<std::string> LogWatch::lines() const {
    std::vector<std::string> result;
    const std::string text = readFile(path_);
    if (text.size() <= start_) {
        return result;
    }
    std::istringstream in(text.substr(start_));
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        result.push_back(line);
    }
    return result;
}

Peer::Peer(tcp::socket& socket, std::string& received, std::mutex& mutex)
    : socket_(socket), received_(received), mutex_(mutex) {}

std::string Peer::read(std::size_t size) {
    std::string data(size, '\0');
    error_code error;
    const std::size_t got = size ? boost::asio::read(socket_, boost::asio::buffer(&data[0], size), error) : 0;
    data.resize(got);
    std::lock_guard<std::mutex> lock(mutex_);
    received_ += data;
    return data;
}

std::string Peer::readUntil(const std::string& mark) {
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

bool Peer::write(const std::string& bytes) {
    error_code error;
    boost::asio::write(socket_, boost::asio::buffer(bytes), error);
    return !error;
}

void Peer::waitForClose() {
    char buffer[4096];
    error_code error;
    while (!error) {
        socket_.read_some(boost::asio::buffer(buffer), error);
    }
}

void Peer::close() {
    error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
}

ScriptedServer::ScriptedServer(const std::string& address, unsigned short port, Script script,
                               int connections)
    : acceptor_(io_), endpoint_(boost::asio::ip::make_address(address), port), script_(std::move(script)) {
    acceptor_.open(endpoint_.protocol());
    acceptor_.set_option(tcp::acceptor::reuse_address(true));
    acceptor_.bind(endpoint_);
    acceptor_.listen();
    thread_ = std::thread([this, connections]() { serve(connections); });
}

void ScriptedServer::serve(int connections) {
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

ScriptedServer::~ScriptedServer() {
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

std::string ScriptedServer::received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

void ScriptedServer::join() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

FullBacklog::FullBacklog(const std::string& address, unsigned short port) : acceptor_(io_) {
    const tcp::endpoint endpoint(boost::asio::ip::make_address(address), port);
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(tcp::acceptor::reuse_address(true));
    acceptor_.bind(endpoint);
    // A backlog of 0 leaves room for one connection; the filler takes it.
    acceptor_.listen(0);
    fillers_.push_back(std::make_unique<tcp::socket>(io_));
    fillers_.back()->connect(endpoint);
}

bool waitForListener(const std::string& address, unsigned short port, int seconds) {
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

std::string versionServerProgram() { return LAUNCHER_VERSION_SERVER; }
std::string nginxProgram() { return LAUNCHER_NGINX; }

VersionServer::VersionServer(const fs::path& root, const std::string& address) {
    log_ = root.parent_path() / (root.filename().string() + "-server.txt");
    process_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{versionServerProgram(), "--root", nativePath(root), "--listen",
                                 address},
        log_);
    // The server prints its first line once it listens.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < end && process_->running()) {
        if (readFile(log_).find("version-server: serving") != std::string::npos) {
            ready_ = true;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

NginxServer::NginxServer(const fs::path& root) {
    dir_ = root.parent_path() / (root.filename().string() + "-nginx");
    fs::create_directories(dir_);
    const std::string d = nativePath(dir_);
    // Inside the namespace we are root only in name: stay that user, one process.
    writeFile(dir_ / "nginx.conf",
              "user root root;\n"
              "pid " + d + "/nginx.pid;\n"
              "error_log " + d + "/error.log;\n"
              "events { worker_connections 64; }\n"
              "http {\n"
              "  access_log " + d + "/access.log;\n"
              "  client_body_temp_path " + d + "/body;\n"
              "  proxy_temp_path " + d + "/proxy;\n"
              "  fastcgi_temp_path " + d + "/fastcgi;\n"
              "  uwsgi_temp_path " + d + "/uwsgi;\n"
              "  scgi_temp_path " + d + "/scgi;\n"
              "  sendfile on;\n"
              "  server { listen 127.0.0.1:80; root " + nativePath(root) + "; }\n"
              "}\n");
    process_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{nginxProgram(), "-e", d + "/error.log", "-c", d + "/nginx.conf", "-p",
                                 d, "-g", "daemon off; master_process off;"},
        dir_ / "output.txt");
    ready_ = process_->running() && waitForListener("127.0.0.1", 80, 10);
}

std::string NginxServer::errorLog() const {
    return readFile(dir_ / "error.log") + readFile(dir_ / "output.txt");
}

}  // namespace nettest
