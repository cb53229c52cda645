// The version server as players' starters and hostile clients meet it: the real
// program in a private network namespace, driven over plain sockets.

#include "support/FileDigest.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = boost::filesystem;
using Clock = std::chrono::steady_clock;

std::string readAll(const fs::path& path) {
    std::ifstream in(path.string(), std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeAll(const fs::path& path, const std::string& content) {
    std::ofstream out(path.string(), std::ios::binary | std::ios::trunc);
    out << content;
}

std::string bytes(std::size_t size, unsigned seed) {
    std::string out(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        seed = seed * 1103515245u + 12345u;
        out[i] = char(seed >> 16);
    }
    return out;
}

std::string sha1Of(const fs::path& path) { return computeFileSha1(path.wstring()); }

// Our server as a child process; its output goes to a file.
class Server {
public:
    Server(const fs::path& root, std::vector<std::string> options = {}) : log_(root.parent_path() / "server.log") {
        std::vector<std::string> args = {LAUNCHER_VERSION_SERVER, "--root", root.string(), "--listen", "127.0.0.1"};
        args.insert(args.end(), options.begin(), options.end());
        pid_ = ::fork();
        if (pid_ == 0) {
            const int out = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(out, 1);
            ::dup2(out, 2);
            std::vector<char*> argv;
            for (std::string& arg : args) {
                argv.push_back(&arg[0]);
            }
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        for (int i = 0; i < 500 && output().find("version-server: serving") == std::string::npos; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    ~Server() {
        if (pid_ > 0) {
            stop(SIGKILL);
        }
    }
    bool ready() const { return output().find("version-server: serving") != std::string::npos; }
    bool alive() const { return pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0; }
    void signal(int number) { ::kill(pid_, number); }
    // The exit status, or -1 after a signal.
    int stop(int number = SIGTERM) {
        ::kill(pid_, number);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string output() const { return readAll(log_); }

private:
    fs::path log_;
    pid_t pid_ = -1;
};

std::string be32(std::uint32_t value) {
    return std::string{char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
}

std::string request(const std::string& name, const std::string& digest) {
    const std::string text = name + ":" + digest;
    return "\x0a" + be32(std::uint32_t(text.size())) + text;
}

struct Reply {
    bool complete = false;
    int code = -1;
    std::string digest;
    std::string content;
};

// A blocking client; no read waits longer than 20 s, so a fault cannot hang the test.
class Client {
public:
    Client() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval wait{20, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(7455);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~Client() { close(); }
    bool connected() const { return connected_; }
    void close() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    // Closes with a reset rather than a goodbye.
    void reset() {
        linger hard{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        close();
    }
    bool send(const std::string& data) {
        return ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL) == ssize_t(data.size());
    }
    bool read(std::string& into, std::size_t size) {
        std::size_t old = into.size();
        into.resize(old + size);
        while (size > 0) {
            const ssize_t got = ::recv(fd_, &into[into.size() - size], size, 0);
            if (got <= 0) {
                into.resize(old);
                return false;
            }
            size -= std::size_t(got);
        }
        return true;
    }
    Reply fetch(const std::string& name, const std::string& digest = "unavailable") {
        Reply reply;
        std::string head;
        if (!send(request(name, digest)) || !read(head, 1)) {
            return reply;
        }
        reply.code = static_cast<unsigned char>(head[0]);
        if (reply.code != 10) {
            reply.complete = true;
            return reply;
        }
        std::string length;
        if (!read(length, 4) || !read(reply.digest, be(length)) || !read(length, 4) ||
            !read(reply.content, be(length.substr(4)))) {
            return reply;
        }
        reply.complete = true;
        return reply;
    }

private:
    static std::uint32_t be(const std::string& b) {
        return (std::uint32_t(std::uint8_t(b[0])) << 24) | (std::uint32_t(std::uint8_t(b[1])) << 16) |
               (std::uint32_t(std::uint8_t(b[2])) << 8) | std::uint32_t(std::uint8_t(b[3]));
    }
    int fd_ = -1;
    bool connected_ = false;
};

class VersionServerTest : public testing::Test {
protected:
    void SetUp() override {
        if (!std::getenv("LAUNCHER_NETNS")) {
            GTEST_SKIP() << "needs the private network namespace of tests/netns-run";
        }
        dir_ = fs::temp_directory_path() / fs::unique_path("version-server-%%%%-%%%%");
        root_ = dir_ / "root";
        fs::create_directories(root_);
    }
    void TearDown() override {
        boost::system::error_code ignored;
        if (!HasFailure()) {
            fs::remove_all(dir_, ignored);
        }
    }
    // A starter's whole exchange for one file, on a fresh connection.
    Reply check(const std::string& name, const std::string& digest = "unavailable") {
        Client client;
        if (!client.connected() || !client.send("quiv")) {
            return Reply();
        }
        return client.fetch(name, digest);
    }
    fs::path dir_;
    fs::path root_;
};

// --- clients that leave in the middle --------------------------------------------

struct HangUpCase {
    const char* name;
    std::size_t readBefore;  // bytes of the reply read before leaving
    bool reset;
};

class HangUp : public VersionServerTest, public testing::WithParamInterface<HangUpCase> {};

TEST_P(HangUp, ServerLivesAndServesTheNextClient) {
    const std::string big = bytes(8 * 1024 * 1024, 1);
    writeAll(root_ / "big.bin", big);
    Server server(root_);
    ASSERT_TRUE(server.ready()) << server.output();
    for (int round = 0; round < 5; ++round) {
        Client leaving;
        ASSERT_TRUE(leaving.send("quiv" + request("big.bin", "x")));
        std::string part;
        ASSERT_TRUE(GetParam().readBefore == 0 || leaving.read(part, GetParam().readBefore));
        GetParam().reset ? leaving.reset() : leaving.close();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_TRUE(server.alive()) << server.output();
    const Reply reply = check("big.bin");
    EXPECT_TRUE(reply.complete);
    EXPECT_TRUE(reply.content == big);
    EXPECT_EQ(0, server.stop());
}

INSTANTIATE_TEST_SUITE_P(Clients, HangUp,
                         testing::Values(HangUpCase{"BeforeTheReply", 0, false},
                                         HangUpCase{"InTheContent", 100000, false},
                                         HangUpCase{"WithResetInTheContent", 100000, true}),
                         [](const testing::TestParamInfo<HangUpCase>& info) { return std::string(info.param.name); });

// --- clients that stay silent --------------------------------------------------------

struct DeadlineCase {
    const char* name;
    std::string sent;  // before falling silent
};

class Deadline : public VersionServerTest, public testing::WithParamInterface<DeadlineCase> {};

TEST_P(Deadline, SilentConnectionIsClosed) {
    writeAll(root_ / "a.txt", "alpha");
    Server server(root_, {"--greeting-ms", "400", "--idle-ms", "800"});
    ASSERT_TRUE(server.ready()) << server.output();
    Client client;
    ASSERT_TRUE(client.send(GetParam().sent));
    std::string ignored;
    if (GetParam().sent.size() > 4) {
        ASSERT_TRUE(client.read(ignored, 1 + 4 + 40 + 4 + 5));  // the reply to the one request
    }
    const auto start = Clock::now();
    EXPECT_FALSE(client.read(ignored, 1));  // closed by the server, not by the 20 s guard
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    EXPECT_TRUE(check("a.txt").complete);
}

INSTANTIATE_TEST_SUITE_P(Clients, Deadline,
                         testing::Values(DeadlineCase{"NoGreeting", ""}, DeadlineCase{"GreetingOnly", "quiv"},
                                         DeadlineCase{"IdleAfterARequest", "quiv" + request("a.txt", "x")}),
                         [](const testing::TestParamInfo<DeadlineCase>& info) { return std::string(info.param.name); });

// --- a publisher replacing a file while it is being sent --------------------------

TEST_F(VersionServerTest, ReplacementByRenameSendsOneWholeVersion) {
    const std::vector<std::string> versions = {bytes(3 * 1024 * 1024, 2), bytes(2 * 1024 * 1024 + 7, 3)};
    std::vector<std::string> digests;
    for (std::size_t i = 0; i < versions.size(); ++i) {
        writeAll(dir_ / ("v" + std::to_string(i)), versions[i]);
        digests.push_back(sha1Of(dir_ / ("v" + std::to_string(i))));
    }
    writeAll(root_ / "Launcher.exe", versions[0]);
    Server server(root_);
    ASSERT_TRUE(server.ready()) << server.output();

    std::atomic<bool> done{false};
    std::thread publisher([&] {
        for (unsigned i = 1; !done; ++i) {
            const fs::path temporary = root_ / "Launcher.exe.part";
            writeAll(temporary, versions[i % 2]);
            fs::rename(temporary, root_ / "Launcher.exe");
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
    });
    std::atomic<int> whole{0}, wrong{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < 4; ++c) {
        clients.emplace_back([&] {
            Client client;
            client.send("quiv");
            for (int i = 0; i < 40; ++i) {
                const Reply reply = client.fetch("Launcher.exe");
                const bool ok = reply.complete && ((reply.content == versions[0] && reply.digest == digests[0]) ||
                                                   (reply.content == versions[1] && reply.digest == digests[1]));
                ++(ok ? whole : wrong);
            }
        });
    }
    for (std::thread& client : clients) {
        client.join();
    }
    done = true;
    publisher.join();
    EXPECT_EQ(0, wrong.load());
    EXPECT_EQ(160, whole.load());
}

TEST_F(VersionServerTest, RootLinkSwappedToTheNextReleaseIsFollowed) {
    for (const char* release : {"r1", "r2"}) {
        fs::create_directories(dir_ / release);
        writeAll(dir_ / release / "files.cfg", release);
    }
    fs::create_directory_symlink("r1", dir_ / "current");
    Server server(dir_ / "current");
    ASSERT_TRUE(server.ready()) << server.output();
    EXPECT_EQ("r1", check("files.cfg").content);
    fs::create_directory_symlink("r2", dir_ / "next");
    fs::rename(dir_ / "next", dir_ / "current");
    EXPECT_EQ("r2", check("files.cfg").content);
}

// --- more silent connections than the server has descriptors ---------------------

TEST_F(VersionServerTest, SilentConnectionsNeverLockOutARealClient) {
    const int kSilent = 3000;
    rlimit limit;
    ::getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_max < rlim_t(kSilent + 200)) {
        GTEST_SKIP() << "this test needs " << kSilent + 200 << " descriptors; hard limit " << limit.rlim_max;
    }
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    writeAll(root_ / "a.txt", "alpha");
    Server server(root_, {"--descriptor-limit", "1024"});
    ASSERT_TRUE(server.ready()) << server.output();

    std::vector<std::unique_ptr<Client>> silent;
    for (int i = 0; i < kSilent; ++i) {
        silent.emplace_back(new Client);
        silent.back()->send(i % 2 ? "quiv" : "qu");  // greeted or not, never a request
    }
    for (int round = 0; round < 2; ++round) {
        const auto start = Clock::now();
        const Reply reply = check("a.txt");
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(15));
        EXPECT_TRUE(reply.complete && reply.content == "alpha") << "round " << round;
        silent.clear();  // and once the silent ones have left
    }
    EXPECT_EQ(0, server.stop());
    const std::string output = server.output();
    EXPECT_NE(std::string::npos, output.find("descriptor limit 1024, at most 480 connections")) << output;
    EXPECT_EQ(std::string::npos, output.find(" evictions 0 ")) << output;
}

// --- names in the players' code page ---------------------------------------------

struct NameCase {
    const char* name;
    std::string encoding;
    std::string requested;  // bytes on the wire
    bool served;
};

class Names : public VersionServerTest, public testing::WithParamInterface<NameCase> {};

TEST_P(Names, AreDecodedStrictlyAndLookedUpAsUtf8) {
    writeAll(root_ / "\xe4\xb8\xad\xe6\x96\x87.txt", "chinese");  // 中文.txt
    writeAll(root_ / "\xe4\xb9\x97.txt", "trail byte");           // 乗.txt, GBK 81 5C: a "\" as its second byte
    Server server(root_, {"--name-encoding", GetParam().encoding});
    ASSERT_TRUE(server.ready()) << server.output();
    const Reply reply = check(GetParam().requested);
    ASSERT_TRUE(reply.complete);
    if (GetParam().served) {
        EXPECT_EQ(10, reply.code);
        EXPECT_FALSE(reply.content.empty());
        const fs::path copy = dir_ / "copy";
        writeAll(copy, reply.content);
        EXPECT_EQ(sha1Of(copy), reply.digest);
    } else {
        EXPECT_EQ(1, reply.code);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Encodings, Names,
    testing::Values(NameCase{"GbkName", "gbk", "\xd6\xd0\xce\xc4.txt", true},
                    NameCase{"GbkTrailByteIsNoSeparator", "gbk", "\x81\x5c.txt", true},
                    NameCase{"Utf8BytesUnderGbk", "gbk", "\xe4\xb8\xad\xe6\x96\x87.txt", false},
                    NameCase{"CutGbkCharacter", "gbk", "\xd6\xd0\xce.txt", false},
                    NameCase{"Utf8Name", "utf-8", "\xe4\xb8\xad\xe6\x96\x87.txt", true},
                    NameCase{"GbkBytesUnderUtf8", "utf-8", "\xd6\xd0\xce\xc4.txt", false},
                    NameCase{"OverlongUtf8Slash", "utf-8", "x\xc0\xaf..\xc0\xaf" "a.txt", false}),
    [](const testing::TestParamInfo<NameCase>& info) { return std::string(info.param.name); });

// --- a stop while a reply is on its way -------------------------------------------

TEST_F(VersionServerTest, SigtermLetsTheReplyInFlightFinish) {
    const std::string big = bytes(16 * 1024 * 1024, 4);
    writeAll(root_ / "big.bin", big);
    Server server(root_);
    ASSERT_TRUE(server.ready()) << server.output();
    Client client;
    ASSERT_TRUE(client.send("quiv" + request("big.bin", "x")));
    std::string reply;
    ASSERT_TRUE(client.read(reply, 64 * 1024));
    server.signal(SIGTERM);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(Client().connected());  // no longer accepting
    const std::size_t head = 1 + 4 + 40 + 4;
    ASSERT_TRUE(client.read(reply, head + big.size() - reply.size()));
    EXPECT_TRUE(reply.substr(head) == big);
    EXPECT_EQ(0, server.stop(SIGTERM));
    EXPECT_NE(std::string::npos, server.output().find("version-server: stopped"));
}

}  // namespace
