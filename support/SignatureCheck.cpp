#include "support/SignatureCheck.h"

#include <cstring>

namespace {

// The DER of a SubjectPublicKeyInfo of a P-256 key up to its point: SEQUENCE,
// SEQUENCE { OID ecPublicKey, OID prime256v1 }, BIT STRING of 66 bytes. A P-256 key
// always has exactly this prefix, so the point is found by comparison, not parsing.
const unsigned char kP256InfoPrefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48,
                                         0xce, 0x3d, 0x02, 0x01, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                         0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00};
const std::size_t kPointSize = 65;
const char kBegin[] = "-----BEGIN PUBLIC KEY-----";
const char kEnd[] = "-----END PUBLIC KEY-----";

int base64Value(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

// Decodes the base64 body of a PEM block; blanks and line ends are skipped.
bool decodeBase64(const std::string& text, std::string& bytes)
{
    unsigned int bits = 0;
    int held = 0;
    std::size_t padding = 0;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n')
            continue;
        if (c == '=') {
            ++padding;
            continue;
        }
        const int value = base64Value(c);
        if (value < 0 || padding > 0)
            return false;
        bits = (bits << 6) | static_cast<unsigned int>(value);
        held += 6;
        if (held >= 8) {
            held -= 8;
            bytes += static_cast<char>((bits >> held) & 0xFF);
        }
    }
    return padding <= 2;
}

}  // namespace

std::string p256PublicPoint(const std::string& publicKeyPem)
{
    const std::string::size_type begin = publicKeyPem.find(kBegin);
    if (begin == std::string::npos)
        return std::string();
    const std::string::size_type bodyStart = begin + std::strlen(kBegin);
    const std::string::size_type end = publicKeyPem.find(kEnd, bodyStart);
    if (end == std::string::npos)
        return std::string();
    std::string der;
    if (!decodeBase64(publicKeyPem.substr(bodyStart, end - bodyStart), der))
        return std::string();
    if (der.size() != sizeof kP256InfoPrefix + kPointSize ||
        std::memcmp(der.data(), kP256InfoPrefix, sizeof kP256InfoPrefix) != 0 ||
        der[sizeof kP256InfoPrefix] != 0x04)
        return std::string();
    return der.substr(sizeof kP256InfoPrefix);
}
