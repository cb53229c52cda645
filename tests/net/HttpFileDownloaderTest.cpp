#include "tests/common/Directories.h"
#include "tests/common/Files.h"
#include "tests/common/Network.h"
#include "tests/common/Servers.h"

#include "net/HttpFileDownloader.h"
#include "net/VersionClient.h"
#include "support/FileDigest.h"
#include "support/StagedFile.h"

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <future>

namespace {

using namespace fixtures;
using gametool::HttpConnection;
using gametool::HttpFileDownloader;

const unsigned short kPort = 80;
const std::string kHeaderEnd = "\r\n\r\n";

// Counts what a downloader reports.
class CountingListener : public gametool::FileDownloadListener {
public:
    void onBytesReceived(std::uint64_t count) override
    {
        total += count;
        ++reports;
    }
    std::uint64_t total = 0;
    int reports = 0;
};

std::string rangeReply(const std::string& range, const std::string& body)
{
    return "HTTP/1.1 206 Partial Content\r\nContent-Range: " + range +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// What every line of a download ends with.
std::string place(const std::string& path, const std::string& host = "127.0.0.1")
{
    return " 文件:" + path + " 服务器:" + host;
}

std::string prepareLine(const std::string& path)
{
    return "准备下载：" + place(path);
}

const std::string kCancelled = errorMessage(boost::asio::error::operation_aborted);
const std::string kEndOfFile = errorMessage(boost::asio::error::eof);

class HttpTest : public testing::Test {
protected:
    void SetUp() override
    {
        if (!inPrivateNetwork()) {
            GTEST_SKIP() << kNoNamespace;
        }
        dir_ = freshDirectory("http");
    }

    // The local file is never touched: the content is in "<local>.tmp", and the
    // digest streamed while writing must be that of the whole temporary file.
    bool download(const std::string& host, const std::string& path, const fs::path& local, bool resume,
                  gametool::FileDownloadListener* listener = nullptr, std::uint64_t expectedSize = 0)
    {
        StagedFile staged(local.wstring(), StagedFile::Kind::Download);
        staged.keep();
        HttpFileDownloader downloader(host, path, "name", staged);
        if (listener) {
            downloader.setListener(listener);
        }
        if (expectedSize > 0) {
            downloader.setExpectedSize(expectedSize);
        }
        const bool done = downloader.download(resume);
        EXPECT_EQ(staged.path(), local.wstring() + L".tmp");
        if (done) {
            EXPECT_EQ(computeFileSha1(staged.path()), downloader.digest());
        } else {
            EXPECT_EQ(host, downloader.failure().host);
            EXPECT_EQ(path, downloader.failure().file);
        }
        return done;
    }

    static std::string temp(const fs::path& local) { return local.string() + ".tmp"; }

    fs::path dir_;
};

// --- against nginx ----------------------------------------------------------------

class NginxTest : public HttpTest {
protected:
    void SetUp() override
    {
        HttpTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        if (!ChildProcess::supported() || nginxProgram().empty()) {
            GTEST_SKIP() << "nginx is a native program; this build cannot start it";
        }
        root_ = dir_ / "www";
        fs::create_directories(root_ / "pub");
        content_ = randomBytes(300 * 1024 + 7, 7);
        writeFile(root_ / "pub" / "data.bin", content_);
        nginx_ = std::make_unique<NginxServer>(root_);
        ASSERT_TRUE(nginx_->ready()) << nginx_->errorLog();
    }

    fs::path root_;
    std::string content_;
    std::unique_ptr<NginxServer> nginx_;
};

TEST_F(NginxTest, FreshDownloadCreatesDirectoriesAndReportsEveryByte)
{
    const fs::path local = dir_ / "out" / "sub" / "data.bin";
    CountingListener listener;
    LogWatch log;
    EXPECT_TRUE(download("127.0.0.1", "pub/data.bin", local, false, &listener));
    EXPECT_TRUE(hasContent(temp(local), content_));
    EXPECT_FALSE(fs::exists(local));
    EXPECT_EQ(content_.size(), listener.total);
    EXPECT_GT(listener.reports, 1);
    EXPECT_EQ((std::vector<std::string>{prepareLine("pub/data.bin")}), log.lines());
}

TEST_F(NginxTest, ResumeContinuesAfterPartialTemporaryFile)
{
    const fs::path local = dir_ / "data.bin";
    writeFile(local.string() + ".tmp", content_.substr(0, 1000));
    CountingListener listener;
    EXPECT_TRUE(download("127.0.0.1", "pub/data.bin", local, true, &listener));
    EXPECT_TRUE(hasContent(temp(local), content_));
    EXPECT_EQ(content_.size() - 1000, listener.total);
}

TEST_F(NginxTest, TemporaryFileOfTheExpectedSizeIsTakenWithoutARequest)
{
    const fs::path local = dir_ / "data.bin";
    writeFile(temp(local), content_);
    CountingListener listener;
    // Nothing listens at that address: a request would fail.
    EXPECT_TRUE(download("127.0.0.7", "pub/data.bin", local, true, &listener, content_.size()));
    EXPECT_TRUE(hasContent(temp(local), content_));
    EXPECT_EQ(0u, listener.total);
}

TEST_F(NginxTest, LocalFileIsNeverTouched)
{
    const fs::path local = dir_ / "data.bin";
    fs::create_directories(local / "inside");
    EXPECT_TRUE(download("127.0.0.1", "pub/data.bin", local, false));
    EXPECT_TRUE(fs::is_directory(local / "inside"));
    EXPECT_TRUE(hasContent(temp(local), content_));
}

TEST_F(NginxTest, WithoutResumeTemporaryFileStartsOver)
{
    const fs::path local = dir_ / "data.bin";
    writeFile(local.string() + ".tmp", "garbage that must not stay");
    EXPECT_TRUE(download("127.0.0.1", "pub/data.bin", local, false));  // no listener at all
    EXPECT_TRUE(hasContent(temp(local), content_));
}

TEST_F(NginxTest, CompleteTemporaryFileIsRefusedAndDeleted)
{
    const fs::path local = dir_ / "data.bin";
    writeFile(local.string() + ".tmp", content_);
    LogWatch log;
    EXPECT_FALSE(download("127.0.0.1", "pub/data.bin", local, true));  // nginx answers 416
    EXPECT_FALSE(fs::exists(local.string() + ".tmp"));
    EXPECT_FALSE(fs::exists(local));
    EXPECT_EQ(
        (std::vector<std::string>{prepareLine("pub/data.bin"), "解析头部信息失败" + place("pub/data.bin")}),
        log.lines());
    EXPECT_TRUE(download("127.0.0.1", "pub/data.bin", local, true));  // the next attempt starts at 0
    EXPECT_TRUE(hasContent(temp(local), content_));
}

TEST_F(NginxTest, MissingRemoteFileFails)
{
    LogWatch log;
    EXPECT_FALSE(download("127.0.0.1", "pub/none.bin", dir_ / "none.bin", false));
    EXPECT_FALSE(fs::exists(dir_ / "none.bin"));
    EXPECT_EQ(
        (std::vector<std::string>{prepareLine("pub/none.bin"), "解析头部信息失败" + place("pub/none.bin")}),
        log.lines());
}

// One context for several downloads: what a failed response or a long file left
// in the shared buffer must not reach the next file.
TEST_F(NginxTest, SharedContextCarriesNothingIntoTheNextFile)
{
    const std::string shortContent = "short";
    writeFile(root_ / "pub" / "short.bin", shortContent);
    const auto context = std::make_shared<HttpConnection>();
    const auto fetch = [&](const std::string& path, const fs::path& local) {
        StagedFile staged(local.wstring(), StagedFile::Kind::Download);
        staged.keep();
        HttpFileDownloader downloader("127.0.0.1", path, "name", staged, context);
        return downloader.download(false);
    };
    EXPECT_FALSE(fetch("pub/none.bin", dir_ / "none.bin"));  // the error page's body stays unread
    EXPECT_TRUE(fetch("pub/short.bin", dir_ / "short1.bin"));
    EXPECT_TRUE(hasContent(dir_ / "short1.bin.tmp", shortContent));
    EXPECT_TRUE(fetch("pub/data.bin", dir_ / "data.bin"));
    EXPECT_TRUE(hasContent(dir_ / "data.bin.tmp", content_));
    EXPECT_TRUE(fetch("pub/short.bin", dir_ / "short2.bin"));
    EXPECT_TRUE(hasContent(dir_ / "short2.bin.tmp", shortContent));
}

// --- failures before any server answers -----------------------------------------

TEST_F(HttpTest, LocalAndConnectFailuresEachLogTheirLine)
{
    LogWatch log;
    EXPECT_FALSE(download("no.such.host.invalid", "a", dir_ / "a", false));
    EXPECT_FALSE(download("127.0.0.7", "b", dir_ / "b", false));  // nothing listens there
    writeFile(dir_ / "file", "x");
    EXPECT_FALSE(download("127.0.0.1", "c", dir_ / "file" / "c", false));
    fs::create_directories(dir_ / "d.tmp");
    EXPECT_FALSE(download("127.0.0.1", "d", dir_ / "d", false));
    const std::vector<std::string> lines = log.lines();
    ASSERT_EQ(8u, lines.size());
    EXPECT_EQ(0u, lines[1].find("主机解析错误： ")) << lines[1];
    EXPECT_NE(std::string::npos, lines[1].find(place("a", "no.such.host.invalid"))) << lines[1];
    EXPECT_EQ("连接到服务器失败： " + errorMessage(boost::asio::error::connection_refused) +
                  place("b", "127.0.0.7"),
              lines[3]);
    EXPECT_EQ("创建存储目录失败: " + (dir_ / "file").string() + place("c"), lines[5]);
    EXPECT_EQ("打开输出文件失败: " + (dir_ / "d.tmp").string() + place("d"), lines[7]);
    EXPECT_FALSE(fs::exists(dir_ / "a.tmp"));
    EXPECT_FALSE(fs::exists(dir_ / "b.tmp"));
}

// --- against a server that answers what the test says ------------------------------

class ScriptedHttpTest : public HttpTest, public testing::WithParamInterface<int> {};

TEST_P(ScriptedHttpTest, RequestTextIsExact)
{
    const int resumeFrom = GetParam();
    const std::string body = "0123456789";
    ScriptedServer server("127.0.0.1", kPort, [&](Peer& peer) {
        peer.readUntil(kHeaderEnd);
        peer.write(rangeReply("bytes " + std::to_string(resumeFrom) + "-9/10", body.substr(resumeFrom)));
    });
    const fs::path local = dir_ / "file name.bin";
    if (resumeFrom > 0) {
        writeFile(local.string() + ".tmp", body.substr(0, resumeFrom));
    }
    CountingListener listener;
    EXPECT_TRUE(download("127.0.0.1", "dir/file name.bin", local, resumeFrom > 0, &listener));
    server.join();
    EXPECT_EQ(
        "GET /dir/file name.bin HTTP/1.0\r\nHost: 127.0.0.1\r\nAccept: */*\r\nConnection: keep-alive\r\n"
        "Range: bytes=" +
            std::to_string(resumeFrom) + "-\r\n\r\n",
        server.received());
    EXPECT_TRUE(hasContent(temp(local), body));
    EXPECT_EQ(body.size() - resumeFrom, listener.total);
}

INSTANTIATE_TEST_SUITE_P(FreshAndResumed, ScriptedHttpTest, testing::Values(0, 4));

// A staged file the attempt made and wrote nothing to is not left behind.
enum class Temp { Absent, Kept };

struct ResponseCase {
    const char* name;
    std::string response;  // written in one piece, then the connection is closed
    bool result;
    std::vector<std::string> log;  // after the first line
    Temp temp;
    std::string tempContent;
};

class ResponseTest : public HttpTest, public testing::WithParamInterface<ResponseCase> {};

TEST_P(ResponseTest, ResponseDecidesResult)
{
    const ResponseCase& c = GetParam();
    const std::string response = c.response;
    ScriptedServer server("127.0.0.1", kPort, [response](Peer& peer) {
        peer.readUntil(kHeaderEnd);
        peer.write(response);
    });
    const fs::path local = dir_ / "f.bin";
    LogWatch log;
    EXPECT_EQ(c.result, download("127.0.0.1", "f.bin", local, false));
    std::vector<std::string> expected{prepareLine("f.bin")};
    for (const std::string& line : c.log)
        expected.push_back(line + place("f.bin"));
    EXPECT_EQ(expected, log.lines());
    const std::string temp = local.string() + ".tmp";
    EXPECT_EQ(c.temp == Temp::Kept, fs::exists(temp));
    if (c.temp == Temp::Kept) {
        EXPECT_EQ(c.tempContent, readFile(temp));
    }
    EXPECT_FALSE(fs::exists(local));
}

const std::string kBeyondTotal = "服务器返回的数据超出文件尺寸";
std::string noRange(int status)
{
    return "服务器没有返回请求的文件范围: " + std::to_string(status);
}
const std::string kBadHeader = "解析头部信息失败";

std::string endlessHeader()
{
    std::string header = "HTTP/1.1 206 Partial Content\r\n";
    while (header.size() < 100 * 1024) {
        header += "X-Filler: aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\r\n";
    }
    return header;
}

INSTANTIATE_TEST_SUITE_P(
    Responses, ResponseTest,
    testing::Values(
        ResponseCase{
            "Complete", rangeReply("bytes 0-9/10", "0123456789"), true, {}, Temp::Kept, "0123456789"},
        // A whole body is refused before any of it is written.
        ResponseCase{"Status200WithoutRange",
                     "HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\n0123456789",
                     false,
                     {noRange(200)},
                     Temp::Absent,
                     ""},
        ResponseCase{"Status200Empty", "HTTP/1.0 200 OK\r\n\r\n", false, {noRange(200)}, Temp::Absent, ""},
        ResponseCase{"LowerCaseContentRange",
                     "HTTP/1.1 206 Partial Content\r\ncontent-range: bytes 0-9/10\r\n\r\n0123456789",
                     false,
                     {noRange(206)},
                     Temp::Absent,
                     ""},
        ResponseCase{"TwoPartContentRange",
                     rangeReply("bytes 0-9", "0123456789"),
                     false,
                     {noRange(206)},
                     Temp::Absent,
                     ""},
        ResponseCase{"NonNumericContentRange",
                     rangeReply("bytes 0-x/10", "0123456789"),
                     false,
                     {noRange(206)},
                     Temp::Absent,
                     ""},
        ResponseCase{"HugeContentRange",
                     rangeReply("bytes 0-9/99999999999999999999999", "0123456789"),
                     false,
                     {noRange(206)},
                     Temp::Absent,
                     ""},
        // Not where it was asked for: what is there cannot be continued with it.
        ResponseCase{"RangeStartsElsewhere",
                     rangeReply("bytes 5-9/10", "56789"),
                     false,
                     {"服务器返回的文件范围起点不符: 5"},
                     Temp::Absent,
                     ""},
        ResponseCase{"BodyBeyondTotal",
                     rangeReply("bytes 0-4/5", "0123456789"),
                     false,
                     {kBeyondTotal},
                     Temp::Absent,
                     ""},
        ResponseCase{
            "EmptyRemoteFile", rangeReply("bytes 0-0/0", ""), false, {noRange(206)}, Temp::Absent, ""},
        ResponseCase{"ClosedEarly",
                     "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-9/10\r\n\r\n01234",
                     false,
                     {"连接断开： " + kEndOfFile},
                     Temp::Kept,
                     "01234"},
        ResponseCase{"Status404", "HTTP/1.1 404 Not Found\r\n\r\n", false, {kBadHeader}, Temp::Absent, ""},
        ResponseCase{
            "Status416", "HTTP/1.1 416 Range Not Satisfiable\r\n\r\n", false, {kBadHeader}, Temp::Absent, ""},
        ResponseCase{"NotHttp", "SSH-2.0-server\r\n\r\n", false, {kBadHeader}, Temp::Absent, ""},
        // A size the configuration does not give is held to the build's reply ceiling.
        ResponseCase{"UnknownSizeAboveTheCeiling",
                     rangeReply("bytes 0-9/" + std::to_string(kMaxReplyBytes + 1), "0123456789"),
                     false,
                     {"服务器返回的文件尺寸不符: " + std::to_string(kMaxReplyBytes + 1) + " " +
                      std::to_string(kMaxReplyBytes)},
                     Temp::Absent,
                     ""},
        ResponseCase{"ClosedInHeader",
                     "HTTP/1.1 206 Partial Content\r\n",
                     false,
                     {"接收头部信息失败 " + kEndOfFile},
                     Temp::Absent,
                     ""},
        ResponseCase{"EndlessHeader",
                     endlessHeader(),
                     false,
                     {"接收头部信息失败 " + errorMessage(boost::asio::error::message_size)},
                     Temp::Absent,
                     ""}),
    [](const testing::TestParamInfo<ResponseCase>& info) { return std::string(info.param.name); });

// --- a connection kept for the next file ------------------------------------------

// Two files on one context, from a host that keeps or closes the connection its own way.
struct KeptCase {
    const char* name;
    int connections;
    // What the host does with the first file's request on the first connection.
    std::string firstReply;
    bool closesAfterFirst, firstResult;
    // The second file is asked for with the first; the host answers both at once.
    bool ahead = false;
    // The host resets the kept connection after the first reply, before the second request.
    bool resetsAfterFirst = false;
};

class KeptConnectionTest : public HttpTest, public testing::WithParamInterface<KeptCase> {};

TEST_P(KeptConnectionTest, NoByteOfOneFileReachesTheNext)
{
    const KeptCase& c = GetParam();
    const std::string second = rangeReply("bytes 0-4/5", "abcde");
    auto reset = std::make_shared<std::promise<void>>();
    std::future<void> wasReset = reset->get_future();
    ScriptedServer server(
        "127.0.0.1", kPort,
        [&c, second, served = std::make_shared<int>(0), reset](Peer& peer) {
            if (c.ahead && (*served)++ == 0) {
                peer.readUntil(kHeaderEnd);
                peer.readUntil(kHeaderEnd);
                peer.write(c.firstReply + (c.closesAfterFirst ? "" : second));
                if (c.closesAfterFirst)
                    return;
            }
            while (!peer.readUntil(kHeaderEnd).empty()) {
                const bool first = (*served)++ == 0;
                peer.write(first ? c.firstReply : second);
                if (first && c.resetsAfterFirst) {
                    peer.reset();
                    reset->set_value();
                    return;
                }
                if (first && c.closesAfterFirst)
                    return;
            }
        },
        c.connections);
    const auto context = std::make_shared<HttpConnection>();
    StagedFile stagedA((dir_ / "a.bin").wstring(), StagedFile::Kind::Download);
    StagedFile stagedB((dir_ / "b.bin").wstring(), StagedFile::Kind::Download);
    stagedA.keep();
    stagedB.keep();
    HttpFileDownloader one("127.0.0.1", "a.bin", "a", stagedA, context);
    HttpFileDownloader two("127.0.0.1", "b.bin", "b", stagedB, context);
    if (c.ahead)
        one.askNextAhead("b.bin");
    EXPECT_EQ(c.firstResult, one.download(true));
    if (c.resetsAfterFirst) {
        ASSERT_EQ(std::future_status::ready, wasReset.wait_for(std::chrono::seconds(10)));
    }
    EXPECT_TRUE(two.download(true));
    EXPECT_TRUE(hasContent(dir_ / "b.bin.tmp", "abcde"));
    // Two requests when the second went ahead and its reply was taken; three when it was lost.
    const std::string received = server.received();
    std::size_t requests = 0;
    for (std::size_t at = received.find("GET "); at != std::string::npos; at = received.find("GET ", at + 1))
        ++requests;
    EXPECT_EQ(requests, c.ahead && !c.firstResult ? 3u : 2u);
    // A short body stays for the next attempt to continue.
    EXPECT_TRUE(hasContent(dir_ / "a.bin.tmp", c.firstResult ? "0123456789" : "01234"));
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, KeptConnectionTest,
    testing::Values(KeptCase{"Kept", 1, rangeReply("bytes 0-9/10", "0123456789"), false, true},
                    KeptCase{"ClosedAfterEachReply", 2, rangeReply("bytes 0-9/10", "0123456789"), true, true},
                    KeptCase{"SaysClose", 2,
                             "HTTP/1.1 206 Partial Content\r\nConnection: close\r\nContent-Range: bytes "
                             "0-9/10\r\n\r\n0123456789",
                             true, true},
                    KeptCase{"NoLength", 2,
                             "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-9/10\r\n\r\n0123456789",
                             true, true},
                    // The request goes out once on the new connection, not twice.
                    KeptCase{"ResetBeforeTheNextRequest", 2, rangeReply("bytes 0-9/10", "0123456789"), false,
                             true, false, true},
                    KeptCase{"AskedAhead", 1, rangeReply("bytes 0-9/10", "0123456789"), false, true, true},
                    KeptCase{"AskedAheadBehindAShortBody", 2,
                             "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-9/10\r\nContent-Length: "
                             "10\r\n\r\n01234",
                             true, false, true},
                    KeptCase{"ShortBody", 2,
                             "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-9/10\r\nContent-Length: "
                             "10\r\n\r\n01234",
                             true, false}),
    [](const testing::TestParamInfo<KeptCase>& info) { return std::string(info.param.name); });

// --- deadlines (one case keeps the program's 6 seconds, the rest a short one) -------

enum class Stall { Connect, Send, Header, Body, AfterLastByte, Trickle };

struct StallCase {
    const char* name;
    Stall stall;
    bool result;
    std::string log;
    std::chrono::milliseconds deadline;
    bool transferDeadline = false;  // the whole body's, at 1000 bytes a second
};

const std::chrono::milliseconds kShort(300);

class HttpStallTest : public HttpTest, public testing::WithParamInterface<StallCase> {};

TEST_P(HttpStallTest, SilentStepIsCutOffAtTheDeadline)
{
    const StallCase& c = GetParam();
    std::unique_ptr<FullBacklog> backlog;
    std::unique_ptr<ScriptedServer> server;
    auto released = std::make_shared<std::promise<void>>();
    std::shared_future<void> release = released->get_future().share();
    std::string path = "f.bin";
    switch (c.stall) {
    case Stall::Connect:
        backlog = std::make_unique<FullBacklog>("127.0.0.1", kPort);
        break;
    case Stall::Send:
        // A request larger than any send buffer here (4 MiB at most), to a server
        // that never reads and offers a small window.
        path = std::string(4608 * 1024, 'p');
        server = std::make_unique<ScriptedServer>(
            "127.0.0.1", kPort, [release](Peer&) { release.wait_for(std::chrono::seconds(60)); });
        server->limitReceiveBuffer(4096);
        break;
    case Stall::Header:
        server = std::make_unique<ScriptedServer>("127.0.0.1", kPort, [](Peer& peer) {
            peer.readUntil(kHeaderEnd);
            peer.waitForClose();
        });
        break;
    case Stall::Trickle:
        // Every step well inside its deadline, the whole body far outside its own.
        server = std::make_unique<ScriptedServer>("127.0.0.1", kPort, [](Peer& peer) {
            peer.readUntil(kHeaderEnd);
            peer.write(rangeReply("bytes 0-99/100", ""));
            for (int i = 0; i < 100 && peer.write("x"); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
        });
        break;
    case Stall::Body:
    case Stall::AfterLastByte: {
        // A host that says it closes is read to the end, however long it keeps the connection.
        const std::string reply =
            c.stall == Stall::Body
                ? rangeReply("bytes 0-99/100", "0123456789")
                : "HTTP/1.1 206 Partial Content\r\nConnection: close\r\nContent-Range: bytes "
                  "0-9/10\r\nContent-Length: 10\r\n\r\n0123456789";
        server = std::make_unique<ScriptedServer>("127.0.0.1", kPort, [reply](Peer& peer) {
            peer.readUntil(kHeaderEnd);
            peer.write(reply);
            peer.waitForClose();
        });
        break;
    }
    }
    const fs::path local = dir_ / "f.bin";
    LogWatch log;
    const auto start = std::chrono::steady_clock::now();
    StagedFile staged(local.wstring(), StagedFile::Kind::Download);
    staged.keep();
    HttpFileDownloader downloader("127.0.0.1", path, "name", staged);
    gametool::TransferLimits limits;
    limits.step = c.transferDeadline ? HttpConnection::kDefaultStepDeadline : c.deadline;
    if (c.transferDeadline) {
        limits.grace = c.deadline;
        limits.minimumRate = 1000;
    }
    downloader.setLimits(limits);
    EXPECT_EQ(c.result, downloader.download(false));
    const auto waited = std::chrono::steady_clock::now() - start;
    released->set_value();
    EXPECT_GE(waited, c.deadline - std::chrono::milliseconds(100));
    // Well short of the 60 s the silent server holds out; sanitizer builds take
    // seconds to copy the Send row's request.
    EXPECT_LT(waited, c.deadline + std::chrono::seconds(10));
    const std::vector<std::string> lines = log.lines();
    ASSERT_EQ(2u, lines.size());
    // The 16 MiB path of the Send case is not copied into the log.
    EXPECT_LT(lines[0].size(), 2048u);
    EXPECT_EQ(c.log + place(path.size() > 1024 ? path.substr(0, 1024) + "..." : path), lines[1]);
    if (c.result) {
        EXPECT_TRUE(hasContent(temp(local), "0123456789"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Deadline, HttpStallTest,
    testing::Values(StallCase{"Connect", Stall::Connect, false, "连接到服务器失败： " + kCancelled, kShort},
                    StallCase{"Send", Stall::Send, false, "服务器请求发送失败 " + kCancelled, kShort},
                    StallCase{"Header", Stall::Header, false, "接收头部信息失败 " + kCancelled, kShort},
                    StallCase{"Body", Stall::Body, false, "下载文件内容失败： " + kCancelled,
                              HttpConnection::kDefaultStepDeadline},
                    // The counts already match when the deadline cuts the connection.
                    StallCase{"AfterLastByte", Stall::AfterLastByte, true, "下载文件内容失败： " + kCancelled,
                              kShort},
                    StallCase{"Trickle", Stall::Trickle, false, "传输过慢，已中断:", kShort, true}),
    [](const testing::TestParamInfo<StallCase>& info) { return std::string(info.param.name); });

}  // namespace
