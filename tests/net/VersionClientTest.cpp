#include "tests/common/Directories.h"
#include "tests/common/Files.h"
#include "tests/common/Network.h"
#include "tests/common/Servers.h"

#include "net/VersionClient.h"
#include "support/FileDigest.h"
#include "support/StagedFile.h"

#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <thread>

namespace {

using namespace fixtures;

const unsigned short kVersionPort = 7455;

std::string fileReply(const std::string& skipped, const std::string& content)
{
    return "\x0a" + be32(std::uint32_t(skipped.size())) + skipped + be32(std::uint32_t(content.size())) +
           content;
}

std::string fetchedLine(const std::string& name, const std::string& digest)
{
    return name + "  文件下载完成 原始sha1: " + digest;
}

class VersionClientTest : public testing::Test {
protected:
    void SetUp() override
    {
        if (!inPrivateNetwork()) {
            GTEST_SKIP() << kNoNamespace;
        }
        dir_ = freshDirectory("client");
    }
    fs::path dir_;
};

class VersionServerTest : public VersionClientTest {
protected:
    void SetUp() override
    {
        VersionClientTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        if (!ChildProcess::supported() || versionServerProgram().empty()) {
            GTEST_SKIP() << "our version server is a native program; this build cannot start it";
        }
        root_ = dir_ / "root";
        fs::create_directories(root_ / "data");
    }
    fs::path root_;
};

// --- against our version server --------------------------------------------------

TEST_F(VersionServerTest, ServesManyRequestsOnOneConnection)
{
    const std::string manifest = "files\n{\n}\n";
    const std::string big = randomBytes(3 * 1024 * 1024 + 17, 1);  // several read pieces
    writeFile(root_ / "files.cfg", manifest);
    writeFile(root_ / "data" / "big.bin", big);
    VersionServer server(root_);
    ASSERT_TRUE(server.ready()) << server.output();

    const fs::path local = dir_ / "files.cfg";
    const fs::path localBig = dir_ / "big.bin";
    writeFile(localBig, std::string(5 * 1024 * 1024, 'x'));  // longer than the new content
    LogWatch log;
    VersionClient client;
    ASSERT_TRUE(client.connect("127.0.0.1"));

    EXPECT_EQ(FetchResult::Fetched, client.fetchFile("files.cfg", "unavailable", local.wstring()));
    EXPECT_TRUE(hasContent(local, manifest));
    const std::string digest = computeFileSha1(local.wstring());
    EXPECT_EQ(FetchResult::NoContent, client.fetchFile("files.cfg", digest, local.wstring()));
    EXPECT_EQ(FetchResult::Fetched, client.fetchFile("data\\big.bin", "0123", localBig.wstring()));
    EXPECT_TRUE(hasContent(localBig, big));
    EXPECT_FALSE(fs::exists(localBig.string() + ".part"));
    EXPECT_EQ(FetchResult::Failed, client.fetchFile("missing.txt", "unavailable", (dir_ / "m").wstring()));
    EXPECT_EQ(FetchResult::Failed,
              client.fetchFile("../client-1/escape", "unavailable", (dir_ / "e").wstring()));
    EXPECT_EQ(FetchResult::Fetched, client.fetchFile("data/big.bin", "", (dir_ / "again").wstring()));
    EXPECT_TRUE(hasContent(dir_ / "again", big));

    EXPECT_EQ((std::vector<std::string>{fetchedLine("files.cfg", "unavailable"),
                                        fetchedLine("data\\big.bin", "0123"), "服务器返回错误文件下载信息",
                                        "服务器返回错误文件下载信息", fetchedLine("data/big.bin", "")}),
              log.lines());
    EXPECT_EQ(0, server.stop());
    const std::string report = server.output();
    EXPECT_NE(std::string::npos, report.find(" files.cfg sent " + std::to_string(manifest.size())));
    EXPECT_NE(std::string::npos, report.find(" files.cfg current 0"));
    EXPECT_NE(std::string::npos, report.find(" missing.txt missing 0"));
    EXPECT_NE(std::string::npos, report.find(" ../client-1/escape refused 0"));
}

TEST_F(VersionServerTest, AnswersRequestsAskedAheadInTheirOrder)
{
    writeFile(root_ / "a.txt", "alpha");
    VersionServer server(root_);
    ASSERT_TRUE(server.ready()) << server.output();
    VersionClient client;
    ASSERT_TRUE(client.connect("127.0.0.1"));
    // Every third asks for the file served; long names not served fill the window between.
    const auto nameOf = [](int i) { return i % 3 ? std::string(3000, 'x') + std::to_string(i) : "a.txt"; };
    int asked = 0;
    int mostDue = 0;
    for (int taken = 0; taken < 60; ++taken) {
        while (asked < 60 && client.mayAsk(nameOf(asked).size() + 1))
            client.ask(nameOf(asked++), "");
        mostDue = std::max(mostDue, asked - taken);
        StagedFile into((dir_ / "a.txt").wstring());
        ASSERT_EQ(taken % 3 ? FetchResult::Failed : FetchResult::Fetched, client.receive(into)) << taken;
    }
    EXPECT_GT(mostDue, 10);
    EXPECT_LT(mostDue, 40);  // 64 KiB of requests holds about 32 of these
}

TEST_F(VersionServerTest, ConnectAfterFailedConnectOnSameClient)
{
    writeFile(root_ / "a.txt", "alpha");
    VersionServer server(root_);
    ASSERT_TRUE(server.ready()) << server.output();
    LogWatch log;
    VersionClient client;
    EXPECT_FALSE(client.connect("127.0.0.9"));  // nothing listens there
    EXPECT_FALSE(client.connect("host.that.does.not.resolve.invalid"));
    ASSERT_TRUE(client.connect("127.0.0.1"));
    EXPECT_EQ(FetchResult::Fetched, client.fetchFile("a.txt", "unavailable", (dir_ / "a.txt").wstring()));
    EXPECT_TRUE(hasContent(dir_ / "a.txt", "alpha"));
    const std::vector<std::string> lines = log.lines();
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ("连接服务器失败: 127.0.0.9", lines[0]);
    EXPECT_EQ(0u, lines[1].find("resolve: ")) << lines[1];
}

TEST_F(VersionServerTest, HostWithSeveralAddressesTriesEachInTurn)
{
    if (!hasMultiAddressName()) {
        GTEST_SKIP() << "netns-run could not give /etc/hosts the name with several addresses";
    }
    writeFile(root_ / "a.txt", "alpha");
    VersionServer server(root_, {}, "127.0.0.2");  // the name's second address; the first refuses
    ASSERT_TRUE(server.ready()) << server.output();
    VersionClient client;
    ASSERT_TRUE(client.connect("multi.netns.invalid"));
    EXPECT_EQ(FetchResult::Fetched, client.fetchFile("a.txt", "unavailable", (dir_ / "a.txt").wstring()));
}

TEST_F(VersionServerTest, ServesSeveralConnectionsAtOnce)
{
    writeFile(root_ / "a.txt", "alpha");
    VersionServer server(root_);
    ASSERT_TRUE(server.ready()) << server.output();
    VersionClient first, second;
    ASSERT_TRUE(first.connect("127.0.0.1"));
    ASSERT_TRUE(second.connect("127.0.0.1"));
    EXPECT_EQ(FetchResult::Fetched, second.fetchFile("a.txt", "", (dir_ / "2").wstring()));
    EXPECT_EQ(FetchResult::Fetched, first.fetchFile("a.txt", "", (dir_ / "1").wstring()));
    EXPECT_TRUE(hasContent(dir_ / "1", "alpha"));
}

struct BadClientCase {
    const char* name;
    std::string bytes;
};

class BadClientTest : public VersionServerTest, public testing::WithParamInterface<BadClientCase> {};

// Bytes that are not the protocol end the connection instead of being answered.
TEST_P(BadClientTest, ConnectionIsClosed)
{
    VersionServer server(root_);
    ASSERT_TRUE(server.ready()) << server.output();
    boost::asio::io_context io;
    boost::asio::ip::tcp::socket socket(io);
    socket.connect({boost::asio::ip::make_address("127.0.0.1"), kVersionPort});
    boost::asio::write(socket, boost::asio::buffer(GetParam().bytes));
    char byte = 0;
    boost::system::error_code error;
    EXPECT_EQ(0u, boost::asio::read(socket, boost::asio::buffer(&byte, 1), error));
    // Unread bytes make the close a reset.
    EXPECT_TRUE(error == boost::asio::error::eof || error == boost::asio::error::connection_reset)
        << error.message();
}

INSTANTIATE_TEST_SUITE_P(
    Protocol, BadClientTest,
    testing::Values(BadClientCase{"WrongGreeting", "QUIV" + versionRequest("a.txt:")},
                    BadClientCase{"UnknownRequestType", "quiv\x0b" + be32(6) + "a.txt:"},
                    BadClientCase{"RequestTextTooLong", "quiv\x0a" + be32(64 * 1024 + 1)}),
    [](const testing::TestParamInfo<BadClientCase>& info) { return std::string(info.param.name); });

// --- against a server that writes chosen bytes ------------------------------------

TEST_F(VersionClientTest, SendsGreetingAndRequestFramesByteForByte)
{
    ScriptedServer server("127.0.0.1", kVersionPort, [](Peer& peer) {
        peer.read(4);
        peer.read(5 + 21);
        peer.write(fileReply("", "one"));
        peer.read(5 + 5);
        peer.write(fileReply("", ""));
        peer.waitForClose();
    });
    {
        VersionClient client;
        ASSERT_TRUE(client.connect("127.0.0.1"));
        EXPECT_EQ(FetchResult::Fetched, client.fetchFile("files.cfg", "unavailable", (dir_ / "f").wstring()));
        EXPECT_EQ(FetchResult::NoContent, client.fetchFile("name", "", (dir_ / "g").wstring()));
    }
    server.join();
    EXPECT_EQ(std::string("quiv") + "\x0a" + std::string("\0\0\0\x15", 4) + "files.cfg:unavailable" +
                  versionRequest("name:"),
              server.received());
    EXPECT_TRUE(hasContent(dir_ / "f", "one"));
    EXPECT_FALSE(fs::exists(dir_ / "g"));
}

struct ReplyCase {
    const char* name;
    std::string reply;  // what the server writes before closing
    FetchResult result;
    std::string localAfter;  // content of the local file afterwards
    std::vector<std::string> log;
    ReplyBound bound = ReplyBound();
};

class ReplyTest : public VersionClientTest, public testing::WithParamInterface<ReplyCase> {};

TEST_P(ReplyTest, ReplyDecidesResultAndLocalFile)
{
    const ReplyCase& c = GetParam();
    const std::string reply = c.reply;
    ScriptedServer server("127.0.0.1", kVersionPort, [reply](Peer& peer) {
        peer.read(4 + 5 + 10);
        peer.write(reply);
    });
    const fs::path local = dir_ / "local.bin";
    writeFile(local, "old content");
    LogWatch log;
    VersionClient client;
    ASSERT_TRUE(client.connect("127.0.0.1"));
    EXPECT_EQ(c.result, client.fetchFile("f.bin", "abcd", local.wstring(), c.bound));
    EXPECT_TRUE(hasContent(local, c.localAfter));
    EXPECT_FALSE(fs::exists(local.string() + ".part"));
    EXPECT_EQ(c.log, log.lines());
}

const std::string kFetched = fetchedLine("f.bin", "abcd");
const std::string kReadEndOfFile = errorText(boost::asio::error::eof, "read");
const std::string kReadCancelled = errorText(boost::asio::error::operation_aborted, "read");

INSTANTIATE_TEST_SUITE_P(
    Replies, ReplyTest,
    testing::Values(
        ReplyCase{"Content", fileReply("digest-text", "new"), FetchResult::Fetched, "new", {kFetched}},
        ReplyCase{"NoSkippedText", fileReply("", "new"), FetchResult::Fetched, "new", {kFetched}},
        ReplyCase{"EmptyContentKeepsFile", fileReply("skip", ""), FetchResult::NoContent, "old content", {}},
        ReplyCase{"ErrorCode", "\x0b", FetchResult::Failed, "old content", {"服务器返回错误文件下载信息"}},
        ReplyCase{"ClosedAfterCode", "\x0a", FetchResult::Failed, "old content", {kReadEndOfFile}},
        ReplyCase{"ClosedInSkippedText",
                  "\x0a" + be32(100) + "abc",
                  FetchResult::Failed,
                  "old content",
                  {kReadEndOfFile}},
        ReplyCase{"ClosedInContent",
                  "\x0a" + be32(0) + be32(10) + "12345",
                  FetchResult::Failed,
                  "old content",
                  {kFetched, kReadEndOfFile}},
        // Lengths far beyond memory are read piece by piece, so the short stream ends it.
        ReplyCase{"HugeSkippedText",
                  "\x0a" + be32(0xFFFFFFFF) + "ab",
                  FetchResult::Failed,
                  "old content",
                  {kReadEndOfFile}},
        // Longer than the build takes: refused before a byte of it is read.
        ReplyCase{"HugeContent",
                  "\x0a" + be32(0) + be32(0xFFFFFFFF) + "ab",
                  FetchResult::Oversized,
                  "old content",
                  {"服务器返回的文件长度不符: f.bin 4294967295 " + std::to_string(kMaxReplyBytes)}},
        ReplyCase{"LongerThanAllowed",
                  fileReply("", "abc"),
                  FetchResult::Oversized,
                  "old content",
                  {"服务器返回的文件长度不符: f.bin 3 2"},
                  ReplyBound{2, false}},
        ReplyCase{"OtherThanItsExactSize",
                  fileReply("", "abc"),
                  FetchResult::Oversized,
                  "old content",
                  {"服务器返回的文件长度不符: f.bin 3 4"},
                  ReplyBound{4, true}},
        ReplyCase{"ItsExactSize",
                  fileReply("", "abc"),
                  FetchResult::Fetched,
                  "abc",
                  {kFetched},
                  ReplyBound{3, true}}),
    [](const testing::TestParamInfo<ReplyCase>& info) { return std::string(info.param.name); });

// A server that keeps every step inside its deadline but sends too slowly is cut
// off by the average rate, whatever part of the reply it trickles and whatever
// size it announced.
struct TrickleCase {
    const char* name;
    std::string head;      // sent at once
    std::size_t trickled;  // bytes then sent one at a time
    std::vector<std::string> log;
    ReplyBound bound = ReplyBound();
};

class TrickleTest : public VersionClientTest, public testing::WithParamInterface<TrickleCase> {};

TEST_P(TrickleTest, TrickleIsCutOffByTheAverageRate)
{
    const TrickleCase& c = GetParam();
    ScriptedServer server("127.0.0.1", kVersionPort, [&c](Peer& peer) {
        peer.read(4 + 5 + 10);
        peer.write(c.head);
        for (std::size_t i = 0; i < c.trickled && peer.write("x"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    });
    writeFile(dir_ / "local.bin", "old content");
    LogWatch log;
    VersionClient::Deadlines deadlines;
    deadlines.limits.grace = std::chrono::milliseconds(300);
    deadlines.limits.minimumRate = 10000;
    VersionClient client(deadlines);
    ASSERT_TRUE(client.connect("127.0.0.1"));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(FetchResult::Failed,
              client.fetchFile("f.bin", "abcd", (dir_ / "local.bin").wstring(), c.bound));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_TRUE(hasContent(dir_ / "local.bin", "old content"));
    EXPECT_FALSE(fs::exists(dir_ / "local.bin.part"));
    EXPECT_EQ(c.log, log.lines());
}

INSTANTIATE_TEST_SUITE_P(
    Deadline, TrickleTest,
    testing::Values(TrickleCase{"InContent",
                                "\x0a" + be32(0) + be32(1000),
                                1000,
                                {fetchedLine("f.bin", "abcd"), "传输过慢，已中断: f.bin"}},
                    // The head's text is as long as the server says: it is under the same rule.
                    TrickleCase{"InHead", "\x0a" + be32(1000), 1000, {"传输过慢，已中断: f.bin"}},
                    // A size announced within what the release allows earns no more time.
                    TrickleCase{"AnnouncedLarge",
                                "\x0a" + be32(0) + be32(8 * 1024 * 1024),
                                1000,
                                {fetchedLine("f.bin", "abcd"), "传输过慢，已中断: f.bin"},
                                ReplyBound{8 * 1024 * 1024, true}}),
    [](const testing::TestParamInfo<TrickleCase>& info) { return std::string(info.param.name); });

// A request goes out when it is asked, not when its reply is first waited for:
// the caller may take long to prepare the next one, and an idle connection is closed.
TEST_F(VersionClientTest, RequestLeavesWhenAsked)
{
    auto arrived = std::make_shared<std::promise<void>>();
    std::future<void> request = arrived->get_future();
    ScriptedServer server("127.0.0.1", kVersionPort, [arrived](Peer& peer) {
        peer.read(4 + 5 + 6);
        arrived->set_value();
        peer.write(fileReply("", "data"));
        peer.waitForClose();
    });
    VersionClient client;
    ASSERT_TRUE(client.connect("127.0.0.1"));
    client.ask("a.txt", "");
    EXPECT_EQ(std::future_status::ready, request.wait_for(std::chrono::seconds(10)));
    StagedFile into((dir_ / "a.txt").wstring());
    EXPECT_EQ(FetchResult::Fetched, client.receive(into));
}

TEST_F(VersionClientTest, UnopenableLocalFileIsNotWrittenAndKeepsConnectionInStep)
{
    ScriptedServer server("127.0.0.1", kVersionPort, [](Peer& peer) {
        peer.read(4);
        peer.read(5 + 7);
        peer.write(fileReply("x", "lost"));
        peer.read(5 + 7);
        peer.write(fileReply("", "kept"));
        peer.waitForClose();
    });
    LogWatch log;
    VersionClient client;
    ASSERT_TRUE(client.connect("127.0.0.1"));
    EXPECT_EQ(FetchResult::NotWritten,
              client.fetchFile("a.txt", "1", (dir_ / "no" / "such" / "dir").wstring()));
    EXPECT_EQ(FetchResult::Fetched, client.fetchFile("b.txt", "2", (dir_ / "b.txt").wstring()));
    EXPECT_TRUE(hasContent(dir_ / "b.txt", "kept"));
    EXPECT_EQ((std::vector<std::string>{fetchedLine("a.txt", "1"), "打开文件失败: a.txt",
                                        fetchedLine("b.txt", "2")}),
              log.lines());
}

TEST_F(VersionClientTest, LocalPathThatIsADirectoryIsNotReplaced)
{
    ScriptedServer server("127.0.0.1", kVersionPort, [](Peer& peer) {
        peer.read(4 + 5 + 6);
        peer.write(fileReply("", "data"));
        peer.waitForClose();
    });
    fs::create_directories(dir_ / "target");
    LogWatch log;
    VersionClient client;
    ASSERT_TRUE(client.connect("127.0.0.1"));
    EXPECT_EQ(FetchResult::NotWritten, client.fetchFile("a.txt", "", (dir_ / "target").wstring()));
    EXPECT_TRUE(fs::is_directory(dir_ / "target"));
    EXPECT_FALSE(fs::exists(dir_ / "target.part"));
    // The system's reason follows the name; its text is the system's own.
    const std::vector<std::string> lines = log.lines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(fetchedLine("a.txt", ""), lines[0]);
    EXPECT_EQ(0u, lines[1].find("打开文件失败: a.txt ")) << lines[1];
    EXPECT_GT(lines[1].size(), std::string("打开文件失败: a.txt ").size());
}

TEST_F(VersionClientTest, FetchWithoutConnectionFails)
{
    LogWatch log;
    VersionClient client;
    EXPECT_EQ(FetchResult::Failed, client.fetchFile("a.txt", "", (dir_ / "a.txt").wstring()));
    const std::vector<std::string> lines = log.lines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(0u, lines[0].find("write: ")) << lines[0];
}

// --- deadlines (one case of each keeps the program's value, the rest a short one) ---

TEST_F(VersionClientTest, ServerThatAcceptsTooLateIsUnreachable)
{
    FullBacklog server("127.0.0.1", kVersionPort);
    LogWatch log;
    VersionClient client;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client.connect("127.0.0.1"));
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(2900));
    EXPECT_LT(waited, std::chrono::seconds(6));
    EXPECT_EQ((std::vector<std::string>{"连接服务器失败: 127.0.0.1"}), log.lines());
}

struct VersionStallCase {
    const char* name;
    std::string sentBeforeStall;
    std::vector<std::string> log;
    std::chrono::milliseconds deadline;
};

class StallTest : public VersionClientTest, public testing::WithParamInterface<VersionStallCase> {};

TEST_P(StallTest, SilentServerIsCutOffAndOldFileKept)
{
    const std::string sent = GetParam().sentBeforeStall;
    ScriptedServer server("127.0.0.1", kVersionPort, [sent](Peer& peer) {
        peer.read(4 + 5 + 7);
        peer.write(sent);
        peer.waitForClose();
    });
    const fs::path local = dir_ / "a.txt";
    writeFile(local, "old");
    LogWatch log;
    VersionClient::Deadlines deadlines;
    deadlines.limits.step = GetParam().deadline;
    VersionClient client(deadlines);
    ASSERT_TRUE(client.connect("127.0.0.1"));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(FetchResult::Failed, client.fetchFile("a.txt", "1", local.wstring()));
    EXPECT_GE(std::chrono::steady_clock::now() - start,
              deadlines.limits.step - std::chrono::milliseconds(100));
    EXPECT_TRUE(hasContent(local, "old"));
    EXPECT_FALSE(fs::exists(local.string() + ".part"));
    EXPECT_EQ(GetParam().log, log.lines());
    // The connection is closed: a further fetch fails at once.
    EXPECT_EQ(FetchResult::Failed, client.fetchFile("a.txt", "1", local.wstring()));
}

INSTANTIATE_TEST_SUITE_P(
    Deadline, StallTest,
    testing::Values(
        VersionStallCase{"BeforeReply", "", {kReadCancelled}, VersionClient::Deadlines().limits.step},
        VersionStallCase{"InContent",
                         "\x0a" + be32(0) + be32(100) + "0123456789",
                         {fetchedLine("a.txt", "1"), kReadCancelled},
                         std::chrono::milliseconds(300)}),
    [](const testing::TestParamInfo<VersionStallCase>& info) { return std::string(info.param.name); });

}  // namespace
