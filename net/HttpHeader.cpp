#include "net/HttpHeader.h"

#include "support/Decimal.h"

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/split.hpp>

#include <algorithm>
#include <locale>
#include <string>
#include <vector>

namespace gametool {

namespace {

const char kHeaderEnd[] = "\r\n\r\n";
const std::size_t kHeaderEndLength = 4;

std::string trimmed(const std::string& text)
{
    const char* blanks = " \t\r\n\v\f";
    const std::string::size_type first = text.find_first_not_of(blanks);
    if (first == std::string::npos) {
        return std::string();
    }
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

void parseContentRange(const std::string& line, ResponseHeader& header)
{
    const std::string::size_type blank = line.rfind(' ');
    const std::string value = trimmed(blank == std::string::npos ? line : line.substr(blank + 1));
    std::vector<std::string> parts;
    boost::algorithm::split(parts, value, boost::algorithm::is_any_of("-/"));
    std::uint64_t first = 0, last = 0, total = 0;
    // A line that does not hold three plain numbers, or a range that runs
    // backwards, says nothing usable.
    if (parts.size() != 3 || !parseDecimal(parts[0], first) || !parseDecimal(parts[1], last) ||
        !parseDecimal(parts[2], total) || last < first) {
        return;
    }
    header.rangeStart = first;
    header.rangeLength = last - first + 1;
    header.rangeTotal = total;
}

}  // namespace

HeaderEndMatch::result_type HeaderEndMatch::operator()(BufferIterator begin, BufferIterator end) const
{
    const BufferIterator found = std::search(begin, end, kHeaderEnd, kHeaderEnd + kHeaderEndLength);
    if (found != end) {
        return result_type(found + kHeaderEndLength, true);
    }
    if (buffer_->size() >= kHeaderLimit) {
        return result_type(end, true);
    }
    // The end mark may straddle two reads: search again from its possible start.
    const std::ptrdiff_t keep = std::min<std::ptrdiff_t>(kHeaderEndLength - 1, end - begin);
    return result_type(end - keep, false);
}

bool headerEnd(const boost::asio::streambuf& buffer, std::size_t size, std::size_t& length)
{
    const BufferIterator begin = boost::asio::buffers_begin(buffer.data());
    const BufferIterator end = begin + std::ptrdiff_t(size);
    const BufferIterator found = std::search(begin, end, kHeaderEnd, kHeaderEnd + kHeaderEndLength);
    length = std::size_t(found - begin) + kHeaderEndLength;
    return found != end && length <= kHeaderLimit;
}

bool parseHeader(std::istream& input, ResponseHeader& header)
{
    // Numbers on the wire never carry the user's digit grouping.
    input.imbue(std::locale::classic());
    input >> header.httpVersion >> header.statusCode;
    std::getline(input, header.reason);
    if (!input || header.httpVersion.compare(0, 5, "HTTP/") != 0) {
        return false;
    }
    if (header.statusCode != 200 && header.statusCode != 206) {
        return false;
    }
    bool closes = false;
    std::string line;
    while (std::getline(input, line) && line != "\r") {
        if (boost::algorithm::istarts_with(line, "Connection:")) {
            const std::string value = trimmed(line.substr(line.find(':') + 1));
            closes = closes || boost::algorithm::iequals(value, "close");
            header.keepAlive = header.keepAlive || boost::algorithm::iequals(value, "keep-alive");
            continue;
        }
        if (boost::algorithm::starts_with(line, "Content-Length:")) {
            std::uint64_t value = 0;
            if (parseDecimal(trimmed(line.substr(line.rfind(':') + 1)), value)) {
                header.contentLength = value;
                header.hasContentLength = true;
            }
        } else if (boost::algorithm::starts_with(line, "Content-Range:")) {
            parseContentRange(line, header);
        } else if (boost::algorithm::istarts_with(line, "Content-Type:")) {
            header.contentType = trimmed(line.substr(line.find(':') + 1));
        }
    }
    header.keepAlive = !closes && (header.keepAlive || header.httpVersion == "HTTP/1.1");
    return true;
}

}  // namespace gametool
