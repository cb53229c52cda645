#include "tools/common/NameEncoding.h"

#include <iconv.h>

#include <vector>

namespace {

// One conversion with glibc's iconv. No "//IGNORE" or "//TRANSLIT": an invalid
// or incomplete sequence (EILSEQ, EINVAL) fails the whole name.
bool convert(const char* to, const char* from, const std::string& in, std::string& out)
{
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        return false;
    }
    // Four output bytes per input byte hold any conversion between these encodings.
    std::vector<char> buffer(in.size() * 4 + 4);
    char* inPointer = const_cast<char*>(in.data());
    std::size_t inLeft = in.size();
    char* outPointer = buffer.data();
    std::size_t outLeft = buffer.size();
    const bool ok = iconv(cd, &inPointer, &inLeft, &outPointer, &outLeft) != static_cast<std::size_t>(-1) &&
                    inLeft == 0 &&
                    iconv(cd, nullptr, nullptr, &outPointer, &outLeft) != static_cast<std::size_t>(-1);
    iconv_close(cd);
    if (ok) {
        out.assign(buffer.data(), buffer.size() - outLeft);
    }
    return ok;
}

const char* systemName(NameEncoding encoding)
{
    // glibc's GBK table is code page 936's, the euro sign at 0x80 included.
    return encoding == NameEncoding::Gbk ? "GBK" : "UTF-8";
}

bool isAscii(const std::string& text)
{
    for (unsigned char c : text) {
        if (c >= 0x80) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool parseNameEncoding(const std::string& text, NameEncoding& encoding)
{
    if (text == "gbk" || text == "cp936") {
        encoding = NameEncoding::Gbk;
        return true;
    }
    if (text == "utf-8" || text == "utf8") {
        encoding = NameEncoding::Utf8;
        return true;
    }
    return false;
}

bool decodeName(NameEncoding encoding, const std::string& bytes, std::string& utf8)
{
    // Plain ASCII is the same in every encoding here, and it is nearly every name.
    if (isAscii(bytes)) {
        utf8 = bytes;
        return true;
    }
    // Through UTF-32 even for UTF-8: that is what rejects overlong forms,
    // surrogates and cut sequences.
    std::string wide;
    return convert("UTF-32LE", systemName(encoding), bytes, wide) && convert("UTF-8", "UTF-32LE", wide, utf8);
}

bool encodeName(NameEncoding encoding, const std::string& utf8, std::string& bytes)
{
    if (isAscii(utf8)) {
        bytes = utf8;
        return true;
    }
    // Only a name that converts back to itself is held: glibc drops some characters
    // without an error (the tag characters U+E0000 to U+E007F, into GBK), which
    // would give two names on disk one name on the wire.
    std::string wide;
    std::string back;
    return convert("UTF-32LE", "UTF-8", utf8, wide) &&
           convert(systemName(encoding), "UTF-32LE", wide, bytes) &&
           convert("UTF-32LE", systemName(encoding), bytes, back) && back == wide;
}

std::string percentEncodePath(const std::string& utf8)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : utf8) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                           c == '-' || c == '.' || c == '_' || c == '~' || c == '/';
        if (plain) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}
