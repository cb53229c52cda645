#pragma once
// Serves the files of one directory over the version protocol: greeting "quiv",
// then any number of requests "name:digest" per connection, each answered with
// the file's content, with an empty content when the digest is current, or with
// a single refusal byte when the name is not served.

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/filesystem/path.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <set>
#include <string>

namespace versionserver {

// Longest request text accepted; a longer one closes the connection.
const std::uint32_t kMaxRequestText = 64 * 1024;
const int kIdleSeconds = 60;

// SHA-1 digests of served files, kept while size and modification time stay the same.
class DigestCache {
public:
    std::string digest(const boost::filesystem::path& file, std::uint64_t size,
                       std::int64_t modified);

private:
    struct Entry {
        std::uint64_t size;
        std::int64_t modified;
        std::string digest;
    };
    std::mutex mutex_;
    std::map<std::string, Entry> entries_;
};

// What a request names, decided away from the network thread (digests take time).
struct Lookup {
    enum Kind { Refused, Missing, TooLarge, Current, Content };
    Kind kind = Missing;
    boost::filesystem::path file;
    std::string digest;
    std::uint64_t size = 0;
};

class Connection;

class Server {
public:
    Server(boost::asio::io_context& io, const boost::filesystem::path& root,
           const boost::asio::ip::tcp::endpoint& endpoint, std::ostream& out);
    ~Server();

    // Stops accepting and closes every connection; run() then returns.
    void stop();

    Lookup lookup(const std::string& requestText);
    void report(const std::string& line);

    boost::asio::io_context& io() { return io_; }
    boost::asio::thread_pool& pool() { return pool_; }
    void forget(Connection* connection);

private:
    void accept();

    boost::asio::io_context& io_;
    boost::filesystem::path root_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer retry_;
    boost::asio::thread_pool pool_;
    DigestCache digests_;
    std::ostream& out_;
    std::set<Connection*> connections_;
    bool stopping_ = false;
};

}  // namespace versionserver
