#include "support/MultipartRanges.h"

#include "support/Decimal.h"

#include <algorithm>
#include <cctype>

namespace {

const std::size_t kMaxPartHead = 1024;
const std::size_t kMaxBoundary = 70;

std::string lowered(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string trimmed(const std::string& text)
{
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(" \t") + 1 - first);
}

// "bytes a-b/total" with a <= b < total == fileSize.
bool parseContentRange(const std::string& value, std::uint64_t fileSize, std::uint64_t& first,
                       std::uint64_t& last)
{
    if (lowered(value.substr(0, 6)) != "bytes ")
        return false;
    const std::size_t dash = value.find('-', 6);
    const std::size_t slash = value.find('/', 6);
    std::uint64_t total = 0;
    return dash != std::string::npos && slash != std::string::npos && dash < slash &&
           parseDecimal(value.substr(6, dash - 6), first) &&
           parseDecimal(value.substr(dash + 1, slash - dash - 1), last) &&
           parseDecimal(value.substr(slash + 1), total) && first <= last && last < fileSize &&
           total == fileSize;
}

}  // namespace

std::string rangeHeaderValue(const std::vector<ByteRange>& ranges)
{
    std::string value = "bytes=";
    for (const ByteRange& range : ranges) {
        if (value.size() > 6)
            value += ',';
        value += std::to_string(range.offset) + "-" + std::to_string(range.end() - 1);
    }
    return value;
}

bool multipartBoundary(const std::string& contentType, std::string& boundary)
{
    const std::string lower = lowered(contentType);
    const std::size_t semicolon = lower.find(';');
    if (trimmed(lower.substr(0, semicolon)) != "multipart/byteranges" || semicolon == std::string::npos)
        return false;
    const std::size_t key = lower.find("boundary=", semicolon);
    if (key == std::string::npos)
        return false;
    std::string value = trimmed(contentType.substr(key + 9, contentType.find(';', key) - key - 9));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
        value = value.substr(1, value.size() - 2);
    if (value.empty() || value.size() > kMaxBoundary)
        return false;
    boundary = value;
    return true;
}

MultipartRangesReader::MultipartRangesReader(std::string boundary, std::uint64_t fileSize)
    : delimiter_("--" + boundary), fileSize_(fileSize)
{
}

bool MultipartRangesReader::feed(const char* data, std::size_t size, const Sink& sink, std::string& reason)
{
    while (size > 0 && state_ != State::Done) {
        if (state_ == State::Failed) {
            reason = "分段回复已无效";
            return false;
        }
        if (state_ == State::Body) {
            const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(remaining_, size));
            if (!sink(offset_, data, piece)) {
                state_ = State::Failed;
                reason = "分段回复的数据未被接受";
                return false;
            }
            offset_ += piece;
            remaining_ -= piece;
            data += piece;
            size -= piece;
            if (remaining_ == 0)
                state_ = State::Head;
            continue;
        }
        // A part head: line ends before the delimiter, the delimiter, its header lines.
        const std::size_t take = std::min(size, kMaxPartHead + 1 - head_.size());
        head_.append(data, take);
        const std::size_t start = head_.find_first_not_of("\r\n");
        if (start != std::string::npos && head_.size() - start >= delimiter_.size() + 2) {
            if (head_.compare(start, delimiter_.size(), delimiter_) != 0) {
                state_ = State::Failed;
                reason = "分段回复格式错误";
                return false;
            }
            if (head_.compare(start + delimiter_.size(), 2, "--") == 0) {
                state_ = State::Done;
                return true;
            }
            const std::size_t end = head_.find("\r\n\r\n", start);
            if (end != std::string::npos) {
                const std::size_t headEnd = end + 4;
                if (!parseHead(headEnd, reason)) {
                    state_ = State::Failed;
                    return false;
                }
                // Bytes after the head belong to the part's body.
                const std::size_t used = take - (head_.size() - headEnd);
                data += used;
                size -= used;
                head_.clear();
                state_ = State::Body;
                continue;
            }
        }
        if (head_.size() > kMaxPartHead) {
            state_ = State::Failed;
            reason = "分段回复的头部过长";
            return false;
        }
        data += take;
        size -= take;
    }
    return true;
}

bool MultipartRangesReader::parseHead(std::size_t headEnd, std::string& reason)
{
    std::size_t line = head_.find("\r\n", head_.find(delimiter_)) + 2;
    bool ranged = false;
    while (line < headEnd - 2) {
        const std::size_t lineEnd = head_.find("\r\n", line);
        const std::string text = head_.substr(line, lineEnd - line);
        const std::size_t colon = text.find(':');
        if (colon != std::string::npos && lowered(trimmed(text.substr(0, colon))) == "content-range") {
            std::uint64_t first = 0;
            std::uint64_t last = 0;
            if (ranged || !parseContentRange(trimmed(text.substr(colon + 1)), fileSize_, first, last)) {
                reason = "分段回复的范围无效";
                return false;
            }
            ranged = true;
            offset_ = first;
            remaining_ = last - first + 1;
        }
        line = lineEnd + 2;
    }
    if (!ranged)
        reason = "分段回复缺少范围";
    return ranged;
}
