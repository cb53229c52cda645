#include "net/HttpHeader.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

using gametool::ResponseHeader;

struct HeaderCase {
    const char* name;
    std::string text;
    bool parsed;
    std::uint32_t status;
    std::uint64_t start, length, total, contentLength;
    bool keepAlive = false;
};

class ParseHeaderTest : public testing::TestWithParam<HeaderCase> {};

TEST_P(ParseHeaderTest, Fields)
{
    const HeaderCase& c = GetParam();
    std::istringstream input(c.text);
    ResponseHeader header;
    EXPECT_EQ(c.parsed, gametool::parseHeader(input, header));
    EXPECT_EQ(c.status, header.statusCode);
    EXPECT_EQ(c.start, header.rangeStart);
    EXPECT_EQ(c.length, header.rangeLength);
    EXPECT_EQ(c.total, header.rangeTotal);
    EXPECT_EQ(c.contentLength, header.contentLength);
    EXPECT_EQ(c.keepAlive, header.keepAlive);
}

INSTANTIATE_TEST_SUITE_P(
    Headers, ParseHeaderTest,
    testing::Values(
        HeaderCase{"Range", "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-1023/4096\r\n\r\n", true,
                   206, 0, 1024, 4096, 0, true},
        HeaderCase{"RangeAndLength",
                   "HTTP/1.0 206 OK\r\nContent-Length: 24\r\nContent-Range: bytes 1000-1023/1024\r\n\r\n",
                   true, 206, 1000, 24, 1024, 24},
        HeaderCase{"Status200", "HTTP/1.0 200 OK\r\nContent-Length: 7\r\n\r\n", true, 200, 0, 0, 0, 7},
        HeaderCase{"LowerCaseIgnored", "HTTP/1.1 206 OK\r\ncontent-range: bytes 0-9/10\r\n\r\n", true, 206, 0,
                   0, 0, 0, true},
        HeaderCase{"TwoPartsIgnored", "HTTP/1.1 206 OK\r\nContent-Range: bytes 0-9\r\n\r\n", true, 206, 0, 0,
                   0, 0, true},
        HeaderCase{"NotANumberIgnored", "HTTP/1.1 206 OK\r\nContent-Range: bytes 0-1x/10\r\n\r\n", true, 206,
                   0, 0, 0, 0, true},
        HeaderCase{"SignIgnored", "HTTP/1.1 206 OK\r\nContent-Range: bytes +0-9/10\r\n\r\n", true, 206, 0, 0,
                   0, 0, true},
        HeaderCase{"OverflowIgnored",
                   "HTTP/1.1 206 OK\r\nContent-Range: bytes 0-9/18446744073709551616\r\n\r\n", true, 206, 0,
                   0, 0, 0, true},
        HeaderCase{"LargestTotal", "HTTP/1.1 206 OK\r\nContent-Range: bytes 0-9/18446744073709551615\r\n\r\n",
                   true, 206, 0, 10, 18446744073709551615ull, 0, true},
        HeaderCase{"LinesAfterEndIgnored", "HTTP/1.1 206 OK\r\n\r\nContent-Range: bytes 0-9/10\r\n", true,
                   206, 0, 0, 0, 0, true},
        HeaderCase{"OldVersionKeepsOnRequest", "HTTP/1.0 206 OK\r\nconnection: Keep-Alive\r\n\r\n", true, 206,
                   0, 0, 0, 0, true},
        HeaderCase{"ClosingNewVersion", "HTTP/1.1 206 OK\r\nConnection: close\r\n\r\n", true, 206, 0, 0, 0,
                   0},
        HeaderCase{"Status416", "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */10\r\n\r\n",
                   false, 416, 0, 0, 0, 0},
        HeaderCase{"Status404", "HTTP/1.1 404 Not Found\r\n\r\n", false, 404, 0, 0, 0, 0},
        HeaderCase{"NotHttp", "ICY 200 OK\r\n\r\n", false, 200, 0, 0, 0, 0},
        HeaderCase{"NoStatus", "HTTP/1.1\r\n\r\n", false, 0, 0, 0, 0, 0},
        HeaderCase{"Empty", "", false, 0, 0, 0, 0, 0}),
    [](const testing::TestParamInfo<HeaderCase>& info) { return std::string(info.param.name); });

}  // namespace
