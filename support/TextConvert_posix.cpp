#include "support/TextConvert.h"

#include "support/TextConvertPlatform.h"

#include <boost/filesystem/detail/utf8_codecvt_facet.hpp>

#include <locale>
#include <mutex>

// Without a UTF-8 facet Boost.Filesystem converts with the user's locale, which
// throws on any non-ASCII byte in the "C" locale that services and tests run in.
void initPathConversion()
{
    static std::once_flag once;
    std::call_once(once, [] {
        std::locale utf8(std::locale::classic(), new boost::filesystem::detail::utf8_codecvt_facet);
        boost::filesystem::path::imbue(utf8);
    });
}

namespace {

const char32_t kReplacement = 0xFFFD;

void appendUtf8(char32_t c, std::string& out)
{
    if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF)
        c = kReplacement;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::string encodeUtf8(const wchar_t* text, std::size_t length)
{
    std::string out;
    out.reserve(length);
    for (std::size_t i = 0; i < length; ++i)
        appendUtf8(static_cast<char32_t>(text[i]), out);
    return out;
}

// Decodes UTF-8; a malformed sequence becomes one U+FFFD for its longest valid
// beginning (at least one byte), like the Windows converter does. `malformed`
// tells whether that happened.
std::wstring decodeUtf8(const char* text, std::size_t length, bool& malformed)
{
    malformed = false;
    std::wstring out;
    out.reserve(length);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    std::size_t i = 0;
    while (i < length) {
        unsigned char lead = p[i];
        if (lead < 0x80) {
            out += static_cast<wchar_t>(lead);
            ++i;
            continue;
        }
        int extra;
        char32_t c;
        unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
        if (lead >= 0xC2 && lead <= 0xDF) {
            extra = 1;
            c = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            extra = 2;
            c = lead & 0x0F;
            if (lead == 0xE0)
                low = 0xA0;  // overlong
            else if (lead == 0xED)
                high = 0x9F;  // surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            extra = 3;
            c = lead & 0x07;
            if (lead == 0xF0)
                low = 0x90;  // overlong
            else if (lead == 0xF4)
                high = 0x8F;  // above U+10FFFF
        } else {
            // 0x80-0xC1 (a stray continuation, or the start of an overlong form), 0xF5-0xFF
            out += static_cast<wchar_t>(kReplacement);
            malformed = true;
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        int taken = 0;
        for (; taken < extra && j < length; ++taken, ++j) {
            unsigned char b = p[j];
            unsigned char lo = taken == 0 ? low : 0x80;
            unsigned char hi = taken == 0 ? high : 0xBF;
            if (b < lo || b > hi)
                break;
            c = (c << 6) | (b & 0x3F);
        }
        if (taken != extra)
            malformed = true;
        out += static_cast<wchar_t>(taken == extra ? c : kReplacement);
        i = j;
    }
    return out;
}

}  // namespace

namespace textconvert {

std::wstring widenBestEffort(const std::string& text)
{
    bool malformed;
    return decodeUtf8(text.data(), text.size(), malformed);
}

std::string narrowBestEffort(const std::wstring& text)
{
    return encodeUtf8(text.data(), text.size());
}

}  // namespace textconvert

void WideToUtf8(const wchar_t* text, std::string& out)
{
    std::size_t length = 0;
    while (text[length] != L'\0')
        ++length;
    out = encodeUtf8(text, length);
}

void Utf8ToWide(const std::string& text, std::wstring& out)
{
    bool malformed;
    out = decodeUtf8(text.c_str(), text.find('\0') == std::string::npos ? text.size() : text.find('\0'),
                     malformed);
}

boost::optional<std::wstring> narrowToWideExact(const std::string& text)
{
    bool malformed;
    std::wstring wide = decodeUtf8(text.data(), text.size(), malformed);
    if (malformed)
        return boost::none;
    return wide;
}
