#include "support/SignedRelease.h"

#include "support/Decimal.h"

#include "support/Hash.h"
#include "support/InputFile.h"
#include "support/SignatureCheck.h"

#include <boost/date_time/gregorian/gregorian_types.hpp>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <exception>
#include <memory>
#include <vector>

namespace {

const char kHexDigits[] = "0123456789abcdef";

std::string toHex(const std::string& bytes)
{
    std::string text;
    for (unsigned char c : bytes) {
        text += kHexDigits[c >> 4];
        text += kHexDigits[c & 0x0F];
    }
    return text;
}

// Lower-case hexadecimal of exactly `bytes` bytes.
bool fromHex(const std::string& text, std::size_t bytes, std::string& out)
{
    if (text.size() != bytes * 2)
        return false;
    out.clear();
    for (std::size_t i = 0; i < text.size(); i += 2) {
        int value = 0;
        for (std::size_t j = i; j < i + 2; ++j) {
            const char c = text[j];
            const int digit = c >= '0' && c <= '9' ? c - '0' : (c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1);
            if (digit < 0)
                return false;
            value = value * 16 + digit;
        }
        out += static_cast<char>(value);
    }
    return true;
}

// A decimal without sign or leading zero (other than "0" itself) that fits:
// one text has one spelling, so the signed text is the one text of its release.
bool parseNumber(const std::string& text, std::uint64_t& value)
{
    return !(text.size() > 1 && text[0] == '0') && parseDecimal(text, value);
}

bool validName(const std::string& name)
{
    if (name.empty() || name.size() > kMaxReleaseName)
        return false;
    for (char c : name) {
        if (c == '\n' || c == '\r' || c == '\0')
            return false;
    }
    return true;
}

// Takes the next line (without its "\n") from `text` at `pos`; false when no
// complete line is left.
bool nextLine(const std::string& text, std::size_t& pos, std::string& line)
{
    const std::size_t end = text.find('\n', pos);
    if (end == std::string::npos)
        return false;
    line.assign(text, pos, end - pos);
    pos = end + 1;
    return true;
}

// "word value" with exactly one blank; gives the value.
bool field(const std::string& line, const char* word, std::string& value)
{
    const std::string prefix = std::string(word) + " ";
    if (line.compare(0, prefix.size(), prefix) != 0)
        return false;
    value = line.substr(prefix.size());
    return true;
}

}  // namespace

bool composeRelease(const Release& release, std::string& text)
{
    text = "release " + std::to_string(release.number) + "\n";
    text += "expires " + formatUtc(release.expires) + "\n";
    for (const auto& file : release.files) {
        std::string digest;
        if (!validName(file.first) || !fromHex(file.second.sha256, 32, digest))
            return false;
        text +=
            "file " + std::to_string(file.second.size) + " " + file.second.sha256 + " " + file.first + "\n";
    }
    return true;
}

std::string signatureLine(const std::string& signature)
{
    return "signature " + toHex(signature) + "\n";
}

bool parseRelease(const std::string& text, Release& release, std::string& signedPart, std::string& signature,
                  std::string& reason)
{
    release = Release();
    if (text.size() > kMaxReleaseText) {
        reason = "release.sig过大";
        return false;
    }
    std::size_t pos = 0;
    std::string line;
    std::string value;
    if (!nextLine(text, pos, line) || !field(line, "release", value) || !parseNumber(value, release.number)) {
        reason = "release.sig缺少发布编号";
        return false;
    }
    if (!nextLine(text, pos, line) || !field(line, "expires", value) || !parseUtc(value, release.expires)) {
        reason = "release.sig缺少有效期";
        return false;
    }
    for (;;) {
        const std::size_t lineStart = pos;
        if (!nextLine(text, pos, line)) {
            reason = "release.sig缺少签名";
            return false;
        }
        if (field(line, "signature", value)) {
            if (pos != text.size() || !fromHex(value, kP256SignatureSize, signature)) {
                reason = "release.sig签名格式错误";
                return false;
            }
            signedPart = text.substr(0, lineStart);
            return true;
        }
        // file SIZE SHA256 NAME
        const std::size_t sizeEnd = line.find(' ', 5);
        const std::size_t digestEnd = sizeEnd == std::string::npos ? sizeEnd : line.find(' ', sizeEnd + 1);
        std::string digest;
        ReleaseFile file;
        if (!field(line, "file", value) || digestEnd == std::string::npos ||
            !parseNumber(line.substr(5, sizeEnd - 5), file.size) ||
            !fromHex(line.substr(sizeEnd + 1, digestEnd - sizeEnd - 1), 32, digest)) {
            reason = "release.sig格式错误";
            return false;
        }
        file.sha256 = toHex(digest);
        const std::string name = line.substr(digestEnd + 1);
        // Sorted and unique, so that one release has exactly one text.
        if (!validName(name) || (!release.files.empty() && !(release.files.rbegin()->first < name))) {
            reason = "release.sig格式错误";
            return false;
        }
        release.files.emplace_hint(release.files.end(), name, file);
    }
}

namespace {

// Valid when one of the PEM blocks in `keysPem` verifies the signature; unusable
// only when none of them is a usable key.
SignatureCheck checkWithAnyKey(const std::string& keysPem, const std::string& message,
                               const std::string& signature)
{
    static const std::string kEnd = "-----END PUBLIC KEY-----";
    SignatureCheck result = SignatureCheck::KeyUnusable;
    std::string::size_type start = 0;
    while (start < keysPem.size()) {
        const std::string::size_type end = keysPem.find(kEnd, start);
        const std::string::size_type next = end == std::string::npos ? keysPem.size() : end + kEnd.size();
        switch (checkP256Signature(keysPem.substr(start, next - start), message, signature)) {
        case SignatureCheck::Valid:
            return SignatureCheck::Valid;
        case SignatureCheck::Invalid:
            result = SignatureCheck::Invalid;
            break;
        case SignatureCheck::KeyUnusable:
            break;
        }
        start = next;
    }
    return result;
}

}  // namespace

bool checkRelease(const std::string& publicKeyPem, const std::string& text, std::int64_t now,
                  std::uint64_t highestAccepted, Release& release, std::string& reason)
{
    std::string signedPart;
    std::string signature;
    if (!parseRelease(text, release, signedPart, signature, reason))
        return false;
    switch (checkWithAnyKey(publicKeyPem, signedPart, signature)) {
    case SignatureCheck::Valid:
        break;
    case SignatureCheck::Invalid:
        reason = "签名不符";
        return false;
    case SignatureCheck::KeyUnusable:
        reason = "无法使用内置公钥";
        return false;
    }
    if (now >= release.expires) {
        reason = "发布已过期 " + formatUtc(release.expires);
        return false;
    }
    if (release.number < highestAccepted) {
        reason =
            "发布编号 " + std::to_string(release.number) + " 低于已接受的 " + std::to_string(highestAccepted);
        return false;
    }
    return true;
}

std::string formatUtc(std::int64_t seconds)
{
    const boost::gregorian::date day =
        boost::gregorian::date(1970, 1, 1) + boost::gregorian::days(static_cast<long>(seconds / 86400));
    const std::int64_t rest = seconds % 86400;
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", static_cast<int>(day.year()),
                  static_cast<int>(day.month()), static_cast<int>(day.day()), static_cast<int>(rest / 3600),
                  static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60));
    return text;
}

bool parseUtc(const std::string& text, std::int64_t& seconds)
{
    static const char shape[] = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != sizeof shape - 1)
        return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool ok = shape[i] == 'd' ? text[i] >= '0' && text[i] <= '9' : text[i] == shape[i];
        if (!ok)
            return false;
    }
    const auto number = [&](std::size_t at, std::size_t length) {
        return std::stoi(text.substr(at, length));
    };
    const int hour = number(11, 2), minute = number(14, 2), second = number(17, 2);
    if (hour > 23 || minute > 59 || second > 59)
        return false;
    try {
        // Throws on an impossible date (month 13, February 30, years before 1400).
        const boost::gregorian::date day(static_cast<unsigned short>(number(0, 4)),
                                         static_cast<unsigned short>(number(5, 2)),
                                         static_cast<unsigned short>(number(8, 2)));
        const long days = (day - boost::gregorian::date(1970, 1, 1)).days();
        if (days < 0)
            return false;
        seconds = static_cast<std::int64_t>(days) * 86400 + hour * 3600 + minute * 60 + second;
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

std::int64_t utcNow()
{
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool fileSha256(const std::wstring& path, ReleaseFile& digest)
{
    InputFile file(path);
    Hash hash(HashKind::Sha256);
    if (!file.isOpen() || !hash.ready())
        return false;
    const std::int64_t block = 1024 * 1024;
    std::unique_ptr<char[]> buffer(new char[block]);
    digest.size = 0;
    for (;;) {
        const std::int64_t got = file.read(buffer.get(), block);
        if (got < 0)
            return false;
        hash.update(buffer.get(), static_cast<std::size_t>(got));
        digest.size += static_cast<std::uint64_t>(got);
        if (got != block)
            break;
    }
    const std::vector<unsigned char> bytes = hash.finish();
    digest.sha256 = toHex(std::string(bytes.begin(), bytes.end()));
    return true;
}

bool readSmallFile(const std::wstring& path, std::uint64_t limit, std::string& text)
{
    InputFile file(path);
    if (!file.isOpen())
        return false;
    text.clear();
    const std::int64_t block = 64 * 1024;
    std::vector<char> buffer(block);
    for (;;) {
        const std::int64_t got = file.read(buffer.data(), block);
        if (got < 0 || text.size() + static_cast<std::uint64_t>(got) > limit)
            return false;
        text.append(buffer.data(), static_cast<std::size_t>(got));
        if (got != block)
            return true;
    }
}
