#include "SupportTestUtil.h"

#include "support/MultipartRanges.h"

namespace {

// Two parts of a 100-byte file, as nginx sends them.
const std::string kBody =
    "\r\n--0001\r\nContent-Type: application/octet-stream\r\nContent-Range: bytes 2-4/100\r\n\r\n"
    "abc\r\n--0001\r\ncontent-range: bytes 90-99/100\r\n\r\n0123456789\r\n--0001--\r\n";

struct PartsCase {
    const char* name;
    std::string body;
    std::size_t piece;  // bytes per feed
    bool accepted;
};

class MultipartParts : public testing::TestWithParam<PartsCase> {};

TEST_P(MultipartParts, HandsOnEachPartAtItsOffsetOrRefuses)
{
    MultipartRangesReader reader("0001", 100);
    std::string file(100, '.');
    std::string reason;
    bool ok = true;
    const std::string& body = GetParam().body;
    for (std::size_t at = 0; ok && at < body.size(); at += GetParam().piece) {
        ok = reader.feed(
            body.data() + at, std::min(GetParam().piece, body.size() - at),
            [&](std::uint64_t offset, const char* data, std::size_t size) {
                file.replace(offset, size, data, size);
                return true;
            },
            reason);
    }
    EXPECT_EQ(GetParam().accepted, ok && reader.finished()) << reason;
    if (GetParam().accepted)
        EXPECT_EQ(std::string(2, '.') + "abc" + std::string(85, '.') + "0123456789", file);
    else  // nothing of a refused part, nor after it
        EXPECT_EQ(std::string(95, '.'), file.substr(5));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, MultipartParts,
    testing::Values(
        PartsCase{"whole", kBody, 1000, true}, PartsCase{"byte_by_byte", kBody, 1, true},
        PartsCase{"range_past_the_end", fixtures::replaced(kBody, "90-99/100", "95-104/100"), 7, false},
        PartsCase{"other_file_size", fixtures::replaced(kBody, "2-4/100", "2-4/101"), 7, false},
        PartsCase{"no_range", fixtures::replaced(kBody, "Content-Range", "Content-Rang"), 7, false},
        PartsCase{"other_boundary", fixtures::replaced(kBody, "--0001\r\nC", "--0002\r\nC"), 7, false},
        PartsCase{"endless_head", "\r\n--0001\r\n" + std::string(2000, 'x'), 100, false}),
    [](const testing::TestParamInfo<PartsCase>& info) { return std::string(info.param.name); });

TEST(MultipartHeaders, BoundaryAndRangeHeader)
{
    std::string boundary;
    EXPECT_TRUE(multipartBoundary("multipart/byteranges; boundary=00000000000000000001", boundary));
    EXPECT_EQ("00000000000000000001", boundary);
    EXPECT_TRUE(multipartBoundary("Multipart/Byteranges; Boundary=\"a b\"", boundary));
    EXPECT_EQ("a b", boundary);
    EXPECT_FALSE(multipartBoundary("application/octet-stream", boundary));
    EXPECT_FALSE(multipartBoundary("multipart/byteranges; boundary=" + std::string(71, 'b'), boundary));
    EXPECT_EQ("bytes=0-4095,8192-8199", rangeHeaderValue({{0, 4096}, {8192, 8}}));
}

}  // namespace
