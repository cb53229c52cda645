#include "tests/common/Files.h"

#include <boost/filesystem/fstream.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/iostreams/device/back_inserter.hpp>
#include <boost/iostreams/filter/zlib.hpp>
#include <boost/iostreams/filtering_stream.hpp>
#include <boost/uuid/detail/sha1.hpp>

#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <sstream>
#include <stdexcept>

namespace fixtures {

std::string readFile(const fs::path& path)
{
    fs::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeFile(const fs::path& path, const std::string& content)
{
    // Only when missing: a parent such as ".." is no directory to create.
    if (path.has_parent_path() && !fs::exists(path.parent_path())) {
        fs::create_directories(path.parent_path());
    }
    fs::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), std::streamsize(content.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

testing::AssertionResult hasContent(const fs::path& file, const std::string& expected)
{
    boost::system::error_code error;
    if (!fs::is_regular_file(file, error)) {
        return testing::AssertionFailure() << file.string() << " is not a file";
    }
    const std::string actual = readFile(file);
    if (actual == expected) {
        return testing::AssertionSuccess();
    }
    std::size_t offset = 0;
    while (offset < actual.size() && offset < expected.size() && actual[offset] == expected[offset]) {
        ++offset;
    }
    return testing::AssertionFailure() << file.string() << " holds " << actual.size() << " bytes, expected "
                                       << expected.size() << "; first difference at offset " << offset;
}

std::string randomBytes(std::size_t size, unsigned seed)
{
    // Four bytes from each draw: sanitizer builds make megabytes of these.
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (std::size_t at = 0; at < size; at += 4) {
        const std::uint32_t word = generator();
        for (std::size_t i = 0; i < 4 && at + i < size; ++i)
            bytes[at + i] = static_cast<char>((word >> (8 * i)) & 0xff);
    }
    return bytes;
}

std::string sha1Of(const std::string& content)
{
    boost::uuids::detail::sha1 sha;
    sha.process_bytes(content.data(), content.size());
    unsigned int words[5];
    sha.get_digest(words);
    char text[41];
    for (int i = 0; i < 5; ++i) {
        std::snprintf(text + 8 * i, 9, "%08x", words[i]);
    }
    return std::string(text, 40);
}

std::string replaced(std::string text, const std::string& from, const std::string& to)
{
    const std::size_t at = text.find(from);
    EXPECT_NE(std::string::npos, at) << from;
    if (at != std::string::npos) {
        text.replace(at, from.size(), to);
    }
    return text;
}

std::vector<std::string> splitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    return lines;
}

std::string be32(std::uint32_t value)
{
    return std::string{char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
}

std::string le32(std::uint32_t value)
{
    return std::string{char(value), char(value >> 8), char(value >> 16), char(value >> 24)};
}

std::string deflateBytes(const std::string& plain, bool raw)
{
    boost::iostreams::zlib_params params;
    params.noheader = raw;
    std::string packed;
    {
        boost::iostreams::filtering_ostream out;
        out.push(boost::iostreams::zlib_compressor(params));
        out.push(boost::iostreams::back_inserter(packed));
        out.write(plain.data(), static_cast<std::streamsize>(plain.size()));
    }
    return packed;
}

std::string packageBody(const std::vector<Entry>& entries)
{
    std::string body = "abc_morvelant";
    for (const Entry& entry : entries)
        body += le32(static_cast<std::uint32_t>(entry.name.size())) + entry.name +
                le32(static_cast<std::uint32_t>(entry.data.size())) + entry.data;
    return body;
}

std::string packageBytes(const std::vector<Entry>& entries)
{
    return deflateBytes(packageBody(entries));
}

std::string restartedPackageBytes(const std::vector<Entry>& entries)
{
    z_stream stream{};
    deflateInit(&stream, Z_BEST_COMPRESSION);
    std::string packed;
    const auto put = [&](const std::string& plain, int flush) {
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
        stream.avail_in = static_cast<uInt>(plain.size());
        char out[65536];
        int status;
        do {
            stream.next_out = reinterpret_cast<Bytef*>(out);
            stream.avail_out = sizeof out;
            status = deflate(&stream, flush);
            packed.append(out, sizeof out - stream.avail_out);
        } while (stream.avail_out == 0 || (flush == Z_FINISH && status != Z_STREAM_END));
    };
    put(packageBody({}), Z_FULL_FLUSH);
    for (const Entry& entry : entries)
        put(packageBody({entry}).substr(13), Z_FULL_FLUSH);
    put(std::string(), Z_FINISH);
    deflateEnd(&stream);
    return packed;
}

}  // namespace fixtures
