// The version server as players' starters and hostile clients meet it: the real
// program in a private network namespace, driven over plain sockets.

#include "tests/common/Directories.h"
#include "tests/common/Files.h"
#include "tests/common/Network.h"
#include "tests/common/Servers.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace fixtures;
using Clock = std::chrono::steady_clock;

std::string request(const std::string& name, const std::string& digest)
{
    return versionRequest(name + ":" + digest);
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
    explicit Client(unsigned short port = 7455)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval wait{20, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~Client() { close(); }
    bool connected() const { return connected_; }
    void close()
    {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    // Closes with a reset rather than a goodbye.
    void reset()
    {
        linger hard{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        close();
    }
    bool send(const std::string& data)
    {
        return ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL) == ssize_t(data.size());
    }
    bool read(std::string& into, std::size_t size)
    {
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
    // Everything until the server closes.
    std::string readAll()
    {
        std::string all;
        char piece[4096];
        ssize_t got;
        while ((got = ::recv(fd_, piece, sizeof piece, 0)) > 0) {
            all.append(piece, std::size_t(got));
        }
        return all;
    }
    Reply fetch(const std::string& name, const std::string& digest = "unavailable")
    {
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
    static std::uint32_t be(const std::string& b)
    {
        return (std::uint32_t(std::uint8_t(b[0])) << 24) | (std::uint32_t(std::uint8_t(b[1])) << 16) |
               (std::uint32_t(std::uint8_t(b[2])) << 8) | std::uint32_t(std::uint8_t(b[3]));
    }
    int fd_ = -1;
    bool connected_ = false;
};

class VersionServerTest : public testing::Test {
protected:
    void SetUp() override
    {
        if (!inPrivateNetwork()) {
            GTEST_SKIP() << kNoNamespace;
        }
        temp_.reset(new TempDirectory);
        dir_ = temp_->path();
        root_ = dir_ / "root";
        fs::create_directories(root_);
    }
    // A starter's whole exchange for one file, on a fresh connection.
    Reply check(const std::string& name, const std::string& digest = "unavailable")
    {
        Client client;
        if (!client.connected() || !client.send("quiv")) {
            return Reply();
        }
        return client.fetch(name, digest);
    }
    std::unique_ptr<TempDirectory> temp_;
    fs::path dir_;
    fs::path root_;
};

// --- the metrics port, as a scraper reads it -----------------------------------

const unsigned short kMetricsPort = 9455;

std::string metricsAnswer(const std::string& request)
{
    Client client(kMetricsPort);
    client.send(request);
    return client.readAll();
}

// The exposition text of a scrape, after it has passed promtool's lint.
std::string scrape(const fs::path& dir)
{
    const std::string answer = metricsAnswer("GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
    const std::size_t body = answer.find("\r\n\r\n");
    EXPECT_EQ(0u, answer.find("HTTP/1.1 200 OK\r\n")) << answer;
    EXPECT_NE(std::string::npos, answer.find("Content-Type: text/plain; version=0.0.4")) << answer;
    const std::string text = body == std::string::npos ? std::string() : answer.substr(body + 4);
    writeFile(dir / "metrics.txt", text);
    const std::string lint = "promtool check metrics < '" + (dir / "metrics.txt").string() + "' > '" +
                             (dir / "promtool.txt").string() + "' 2>&1";
    EXPECT_EQ(0, std::system(lint.c_str()))
        << "promtool (scripts/setup installs it): " << readFile(dir / "promtool.txt") << text;
    return text;
}

// The value of one sample, "-1" when it is not there.
std::string sample(const std::string& text, const std::string& series)
{
    const std::size_t at = text.find("\n" + series + " ");
    if (at == std::string::npos) {
        return "-1";
    }
    const std::size_t start = at + series.size() + 2;
    return text.substr(start, text.find('\n', start) - start);
}

std::string requests(const std::string& text, const char* result)
{
    return sample(text, std::string("version_server_requests_total{result=\"") + result + "\"}");
}

// --- clients that leave in the middle --------------------------------------------

struct HangUpCase {
    const char* name;
    std::size_t readBefore;  // bytes of the reply read before leaving
    bool reset;
};

class HangUp : public VersionServerTest, public testing::WithParamInterface<HangUpCase> {};

TEST_P(HangUp, ServerLivesAndServesTheNextClient)
{
    const std::string big = randomBytes(8 * 1024 * 1024, 1);
    writeFile(root_ / "big.bin", big);
    VersionServer server(root_, {"--metrics", "127.0.0.1:9455"});
    ASSERT_TRUE(server.ready()) << server.output();
    for (int round = 0; round < 5; ++round) {
        Client leaving;
        ASSERT_TRUE(leaving.send("quiv" + request("big.bin", "x")));
        std::string part;
        ASSERT_TRUE(GetParam().readBefore == 0 || leaving.read(part, GetParam().readBefore));
        GetParam().reset ? leaving.reset() : leaving.close();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_TRUE(server.running()) << server.output();
    const Reply reply = check("big.bin");
    EXPECT_TRUE(reply.complete);
    EXPECT_TRUE(reply.content == big);
    // Each reply cut off counts as an error, the whole one as sent.
    const std::string text = scrape(dir_);
    EXPECT_EQ("5", requests(text, "error")) << text;
    EXPECT_EQ("1", requests(text, "sent"));
    EXPECT_EQ(0, server.stop());
}

INSTANTIATE_TEST_SUITE_P(Clients, HangUp,
                         testing::Values(HangUpCase{"BeforeTheReply", 0, false},
                                         HangUpCase{"InTheContent", 100000, false},
                                         HangUpCase{"WithResetInTheContent", 100000, true}),
                         [](const testing::TestParamInfo<HangUpCase>& info) {
                             return std::string(info.param.name);
                         });

// --- clients that stay silent --------------------------------------------------------

struct DeadlineCase {
    const char* name;
    std::string sent;  // before falling silent
};

class Deadline : public VersionServerTest, public testing::WithParamInterface<DeadlineCase> {};

TEST_P(Deadline, SilentConnectionIsClosed)
{
    writeFile(root_ / "a.txt", "alpha");
    VersionServer server(root_, {"--greeting-ms", "400", "--idle-ms", "800"});
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
                         [](const testing::TestParamInfo<DeadlineCase>& info) {
                             return std::string(info.param.name);
                         });

// --- a publisher replacing a file while it is being sent --------------------------

TEST_F(VersionServerTest, ReplacementByRenameSendsOneWholeVersion)
{
    const std::vector<std::string> versions = {randomBytes(3 * 1024 * 1024, 2),
                                               randomBytes(2 * 1024 * 1024 + 7, 3)};
    std::vector<std::string> digests;
    for (std::size_t i = 0; i < versions.size(); ++i) {
        digests.push_back(sha1Of(versions[i]));
    }
    writeFile(root_ / "Launcher.exe", versions[0]);
    VersionServer server(root_);
    ASSERT_TRUE(server.ready()) << server.output();

    std::atomic<bool> done{false};
    std::thread publisher([&] {
        for (unsigned i = 1; !done; ++i) {
            const fs::path temporary = root_ / "Launcher.exe.part";
            writeFile(temporary, versions[i % 2]);
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
            // A rename comes every few milliseconds, during most fetches; 20 fetches
            // apiece keep the sanitizer runs short.
            for (int i = 0; i < 20; ++i) {
                const Reply reply = client.fetch("Launcher.exe");
                const bool ok =
                    reply.complete && ((reply.content == versions[0] && reply.digest == digests[0]) ||
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
    EXPECT_EQ(80, whole.load());
}

// --- a publisher switching the root's link to the next release --------------------

// Waits, at most 10 s, until the server has printed `text`.
bool printed(const VersionServer& server, const std::string& text)
{
    const auto end = Clock::now() + std::chrono::seconds(10);
    while (server.output().find(text) == std::string::npos) {
        if (Clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

struct SwitchCase {
    const char* name;
    bool held;  // the next release's digests take longer than a starter waits for a reply
};

class ReleaseSwitch : public VersionServerTest, public testing::WithParamInterface<SwitchCase> {};

TEST_P(ReleaseSwitch, NextReleaseIsServedOnceDigestedThePreviousUntilThen)
{
    const std::string big[2] = {randomBytes(3 * 1024 * 1024, 5), randomBytes(3 * 1024 * 1024, 6)};
    const char* releases[2] = {"r1", "r2"};
    for (int i = 0; i < 2; ++i) {
        fs::create_directories(dir_ / releases[i]);
        writeFile(dir_ / releases[i] / "files.cfg", releases[i]);
        writeFile(dir_ / releases[i] / "big.bin", big[i]);
    }
    writeFile(dir_ / "r2" / "new.txt", "new");
    fs::create_directory_symlink("r1", dir_ / "current");
    const fs::path hold = dir_ / "hold";
    VersionServer server(dir_ / "current", {"--digest-hold", hold.string(), "--watch-ms", "50"});
    ASSERT_TRUE(server.ready()) << server.output();
    EXPECT_EQ("r1", check("files.cfg").content);
    if (GetParam().held) {
        writeFile(hold, "");
    }
    fs::create_directory_symlink("r2", dir_ / "next");
    fs::rename(dir_ / "next", dir_ / "current");

    if (GetParam().held) {
        ASSERT_TRUE(printed(server, "digesting the release behind")) << server.output();
        // Every answer comes from the previous release, whole and consistent; none
        // can have waited for a digest, which the hold keeps from ending.
        EXPECT_EQ("r1", check("files.cfg").content);
        const Reply content = check("big.bin");
        EXPECT_TRUE(content.complete && content.content == big[0] && content.digest == sha1Of(big[0]));
        const Reply current = check("big.bin", sha1Of(big[0]));
        EXPECT_TRUE(current.complete && current.code == 10 && current.content.empty());
        EXPECT_EQ(1, check("new.txt").code);
        EXPECT_EQ(std::string::npos, server.output().find("/r2 ready")) << server.output();
        fs::remove(hold);
    }
    ASSERT_TRUE(printed(server, "/r2 ready: 3 files, 3 digested")) << server.output();
    EXPECT_EQ("r2", check("files.cfg").content);
    const Reply next = check("big.bin", sha1Of(big[0]));
    EXPECT_TRUE(next.complete && next.content == big[1] && next.digest == sha1Of(big[1]));
    EXPECT_EQ("new", check("new.txt").content);
}

INSTANTIATE_TEST_SUITE_P(Publisher, ReleaseSwitch,
                         testing::Values(SwitchCase{"Quick", false},
                                         SwitchCase{"DigestSlowerThanAStarterWaits", true}),
                         [](const testing::TestParamInfo<SwitchCase>& info) {
                             return std::string(info.param.name);
                         });

// --- more silent connections than the server has descriptors ---------------------

TEST_F(VersionServerTest, SilentConnectionsNeverLockOutARealClient)
{
    const int kSilent = 3000;
    rlimit limit;
    ::getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_max < rlim_t(kSilent + 200)) {
        GTEST_SKIP() << "this test needs " << kSilent + 200 << " descriptors; hard limit " << limit.rlim_max;
    }
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    writeFile(root_ / "a.txt", "alpha");
    VersionServer server(root_, {"--descriptor-limit", "1024"});
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

TEST_P(Names, AreDecodedStrictlyAndLookedUpAsUtf8)
{
    writeFile(root_ / "\xe4\xb8\xad\xe6\x96\x87.txt", "chinese");  // 中文.txt
    writeFile(root_ / "\xe4\xb9\x97.txt", "trail byte");  // 乗.txt, GBK 81 5C: a "\" as its second byte
    VersionServer server(root_, {"--name-encoding", GetParam().encoding});
    ASSERT_TRUE(server.ready()) << server.output();
    const Reply reply = check(GetParam().requested);
    ASSERT_TRUE(reply.complete);
    if (GetParam().served) {
        EXPECT_EQ(10, reply.code);
        EXPECT_FALSE(reply.content.empty());
        EXPECT_EQ(sha1Of(reply.content), reply.digest);
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
                    NameCase{"OverlongUtf8Slash", "utf-8",
                             "x\xc0\xaf..\xc0\xaf"
                             "a.txt",
                             false}),
    [](const testing::TestParamInfo<NameCase>& info) { return std::string(info.param.name); });

// --- a stop while a reply is on its way -------------------------------------------

TEST_F(VersionServerTest, SigtermLetsTheReplyInFlightFinish)
{
    const std::string big = randomBytes(16 * 1024 * 1024, 4);
    writeFile(root_ / "big.bin", big);
    VersionServer server(root_);
    ASSERT_TRUE(server.ready()) << server.output();
    Client client;
    ASSERT_TRUE(client.send("quiv" + request("big.bin", "x")));
    std::string reply;
    ASSERT_TRUE(client.read(reply, 64 * 1024));
    server.terminate();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(Client().connected());  // no longer accepting
    const std::size_t head = 1 + 4 + 40 + 4;
    ASSERT_TRUE(client.read(reply, head + big.size() - reply.size()));
    EXPECT_TRUE(reply.substr(head) == big);
    EXPECT_EQ(0, server.stop());
    EXPECT_NE(std::string::npos, server.output().find("version-server: stopped"));
}

// Asked again while it ends (a second Ctrl-C, a service manager that repeats
// itself), it still ends as cleanly as when asked once.
TEST_F(VersionServerTest, RepeatedStopSignalsLeaveTheCleanExit)
{
    VersionServer server(root_);
    ASSERT_TRUE(server.ready()) << server.output();
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (std::chrono::steady_clock::now() < end) {
        server.terminate();
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    EXPECT_EQ(0, server.stop());
    EXPECT_NE(std::string::npos, server.output().find("version-server: stopped"));
}

// --- metrics for the operators' monitoring ----------------------------------------

TEST_F(VersionServerTest, MetricsFollowTheRequestsAndPassPromtool)
{
    writeFile(root_ / "a.txt", "alpha");
    // The server reads the number and expiry; checking the signature is the starter's job.
    writeFile(root_ / "release.sig",
              "release 42\nexpires 2027-01-08T13:30:00Z\nsignature " + std::string(128, '0') + "\n");
    VersionServer server(root_, {"--metrics", "127.0.0.1:9455"});
    ASSERT_TRUE(server.ready()) << server.output();
    const std::string before = scrape(dir_);
    EXPECT_EQ("0", requests(before, "sent"));
    EXPECT_EQ("1", sample(before, "version_server_release_info{release=\"42\",directory=\"" +
                                      fs::canonical(root_).string() + "\"}"))
        << before;
    EXPECT_EQ("1799415000", sample(before, "version_server_release_expiry_timestamp_seconds"));
    EXPECT_NE("-1", sample(before, "version_server_last_digest_duration_seconds"));

    EXPECT_EQ("alpha", check("a.txt").content);
    EXPECT_TRUE(check("a.txt", sha1Of("alpha")).complete);
    EXPECT_EQ(1, check("missing.txt").code);
    Client garbage;
    garbage.send("quix");
    EXPECT_EQ("", garbage.readAll());
    const std::string after = scrape(dir_);
    EXPECT_EQ("1", requests(after, "sent")) << after;
    EXPECT_EQ("1", requests(after, "current"));
    EXPECT_EQ("1", requests(after, "refused"));
    EXPECT_EQ("1", requests(after, "malformed"));
    EXPECT_EQ("0", requests(after, "error"));
    // Bytes on the wire: a head of 49 and the content, an empty reply's head, one refusal byte.
    EXPECT_EQ(std::to_string(49 + 5 + 9 + 1), sample(after, "version_server_sent_bytes_total"));
    EXPECT_EQ("3", sample(after, "version_server_request_duration_seconds_count"));
    EXPECT_EQ("4", sample(after, "version_server_connections_accepted_total"));
    EXPECT_EQ(std::string::npos, after.find("127.0.0.1:")) << "a client's address in the metrics";
}

struct MetricsRequestCase {
    const char* name;
    std::string request;
    const char* status;
};

class MetricsPortRequests : public VersionServerTest,
                            public testing::WithParamInterface<MetricsRequestCase> {};

TEST_P(MetricsPortRequests, AreAnsweredClosedAndLeaveTheProtocolPortAlone)
{
    writeFile(root_ / "a.txt", "alpha");
    VersionServer server(root_, {"--metrics", "127.0.0.1:9455"});
    ASSERT_TRUE(server.ready()) << server.output();
    const auto start = Clock::now();
    // readAll() returns once the server has closed: well before the 5 s deadline.
    const std::string answer = metricsAnswer(GetParam().request);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(0u, answer.find(std::string("HTTP/1.1 ") + GetParam().status)) << answer;
    EXPECT_EQ("alpha", check("a.txt").content);
    const std::string text = scrape(dir_);
    EXPECT_EQ("1", sample(text, "version_server_connections_accepted_total")) << text;
    EXPECT_EQ("0", requests(text, "malformed"));
}

INSTANTIATE_TEST_SUITE_P(
    Clients, MetricsPortRequests,
    testing::Values(
        MetricsRequestCase{"Head", "HEAD /metrics HTTP/1.0\r\n\r\n", "200"},
        MetricsRequestCase{"OtherPath", "GET /metrics/../x HTTP/1.1\r\n\r\n", "404"},
        MetricsRequestCase{"OtherMethod", "POST /metrics HTTP/1.1\r\nContent-Length: 0\r\n\r\n", "405"},
        MetricsRequestCase{"Garbage", std::string("\x16\x03\x01\x02\x00\x01", 6), "400"},
        MetricsRequestCase{"VersionProtocol", "quiv" + request("a.txt", "x"), "400"},
        MetricsRequestCase{"OverlongHead",
                           "GET /metrics HTTP/1.1\r\nX: " + std::string(8000, 'x') + "\r\n\r\n", "400"},
        MetricsRequestCase{"NoHttpVersion", "GET /metrics\r\n\r\n", "400"}),
    [](const testing::TestParamInfo<MetricsRequestCase>& info) { return std::string(info.param.name); });

}  // namespace
