#include "tests/common/Network.h"

#include "net/HttpConnection.h"
#include "net/TransferDeadline.h"

#include <gtest/gtest.h>

namespace {

using namespace fixtures;
using gametool::HttpConnection;
using gametool::HttpRequest;
using gametool::RequestQueue;

const HttpRequest kA{"a.bin", 0, HttpRequest::kToEnd};
const HttpRequest kAResumed{"a.bin", 4, HttpRequest::kToEnd};
const HttpRequest kB{"b.bin", 0, HttpRequest::kToEnd};
const HttpRequest kBlock{"a.bin", 100, 199};

// --- the queue's decisions, without a server ----------------------------------------

struct QueueCase {
    const char* name;
    bool open;
    std::string host;
    std::vector<HttpRequest> due;
    HttpRequest next;
    RequestQueue::Use use;
    bool reasonGiven;
};

class QueueUse : public testing::TestWithParam<QueueCase> {};

TEST_P(QueueUse, DecidesWhatTheNextRequestDoes)
{
    const QueueCase& c = GetParam();
    RequestQueue queue;
    if (c.open)
        queue.opened(c.host);
    for (const HttpRequest& each : c.due)
        queue.sent(each);
    const char* reason = nullptr;
    EXPECT_EQ(c.use, queue.useFor("h1", c.next, reason));
    EXPECT_EQ(c.reasonGiven, reason != nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, QueueUse,
    testing::Values(
        QueueCase{"Closed", false, "h1", {}, kA, RequestQueue::Use::Reconnect, false},
        QueueCase{"IdleToTheHost", true, "h1", {}, kA, RequestQueue::Use::Send, false},
        QueueCase{"IdleToAnotherHost", true, "h2", {}, kA, RequestQueue::Use::Reconnect, true},
        QueueCase{"AskedAhead", true, "h1", {kA, kB}, kA, RequestQueue::Use::TakeReply, false},
        // Any depth: the reply comes in the order asked.
        QueueCase{"BehindAnother", true, "h1", {kB, kA}, kA, RequestQueue::Use::Reconnect, true},
        // The part held is continued: the reply from the first byte is of no use.
        QueueCase{"AskedFromAnotherByte", true, "h1", {kA}, kAResumed, RequestQueue::Use::Reconnect, true},
        QueueCase{
            "ClosedRangeAskedAhead", true, "h1", {kBlock}, kBlock, RequestQueue::Use::TakeReply, false}),
    [](const testing::TestParamInfo<QueueCase>& info) { return std::string(info.param.name); });

struct KeepCase {
    const char* name;
    bool hostKeeps, endedAtLength, extraBuffered, moreDue;
    bool kept;
};

class QueueKeep : public testing::TestWithParam<KeepCase> {};

TEST_P(QueueKeep, DecidesWhetherTheConnectionStays)
{
    const KeepCase& c = GetParam();
    RequestQueue queue;
    queue.opened("h1");
    if (c.moreDue)
        queue.sent(kB);
    EXPECT_EQ(c.kept, queue.keepAfter(c.hostKeeps, c.endedAtLength, c.extraBuffered) == nullptr);
}

INSTANTIATE_TEST_SUITE_P(Replies, QueueKeep,
                         testing::Values(KeepCase{"Kept", true, true, false, false, true},
                                         KeepCase{"HostCloses", false, true, false, false, false},
                                         KeepCase{"NoLength", true, false, false, false, false},
                                         // Bytes no request asked for are the host's error...
                                         KeepCase{"UnaskedBytes", true, true, true, false, false},
                                         // ...but behind a reply asked for ahead they are its start.
                                         KeepCase{"NextReplyBuffered", true, true, true, true, true}),
                         [](const testing::TestParamInfo<KeepCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(RequestText, OpenAndClosedRanges)
{
    const std::string head = "GET /a.bin HTTP/1.0\r\nHost: h1\r\nAccept: */*\r\nConnection: keep-alive\r\n";
    EXPECT_EQ(head + "Range: bytes=4-\r\n\r\n", gametool::requestText("h1", kAResumed));
    EXPECT_EQ(head + "Range: bytes=100-199\r\n\r\n", gametool::requestText("h1", kBlock));
}

// --- closed ranges of one file, pipelined on one kept connection --------------------

std::string blockReply(const std::string& range, const std::string& body)
{
    return "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + range +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

TEST(HttpConnectionBlocks, ClosedRangesArriveAtTheirOffsetsOnOneConnection)
{
    if (!inPrivateNetwork())
        GTEST_SKIP() << kNoNamespace;
    ScriptedServer server("127.0.0.1", 80, [](Peer& peer) {
        peer.readUntil("\r\n\r\n");
        peer.readUntil("\r\n\r\n");
        peer.write(blockReply("2-4/10", "234") + blockReply("7-9/10", "789"));
        // A third block asked for once the first two are in: the same connection serves it.
        peer.readUntil("\r\n\r\n");
        peer.write(blockReply("0-0/10", "0"));
        peer.waitForClose();
    });
    std::string file(10, '.');
    HttpConnection connection;
    const std::vector<HttpRequest> blocks{{"f", 2, 4}, {"f", 7, 9}, {"f", 0, 0}};
    for (std::size_t at = 0; at < blocks.size(); ++at) {
        std::uint64_t offset = blocks[at].first;
        const gametool::BodySink sink = [&file, &offset](const char* data, std::size_t size) {
            file.replace(std::size_t(offset), size, data, size);
            offset += size;
            return true;
        };
        const std::vector<HttpRequest> ahead =
            at == 0 ? std::vector<HttpRequest>{blocks[1]} : std::vector<HttpRequest>{};
        const gametool::Exchange exchange =
            connection.fetch("127.0.0.1", blocks[at], ahead, gametool::exactRange(blocks[at]), sink);
        EXPECT_EQ("", exchange.failure) << at;
    }
    EXPECT_EQ("0.234..789", file);
    connection.drop();
    server.join();
    const std::string received = server.received();
    EXPECT_NE(std::string::npos, received.find("Range: bytes=2-4\r\n"));
    EXPECT_NE(std::string::npos, received.find("Range: bytes=7-9\r\n"));
    EXPECT_NE(std::string::npos, received.find("Range: bytes=0-0\r\n"));
}

TEST(HttpConnectionBlocks, RangeOtherThanAskedIsRefused)
{
    const HttpRequest block{"f", 2, 4, {}};
    gametool::ResponseHeader header{"HTTP/1.1", "", 206, 0, false, 4, 2, 10};  // bytes 2-5 of 10
    std::uint64_t size = 0;
    EXPECT_NE("", gametool::exactRange(block)(header, size));
    header.rangeLength = 3;
    EXPECT_EQ("", gametool::exactRange(block)(header, size));
    EXPECT_EQ(3u, size);
}

}  // namespace
