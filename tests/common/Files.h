#pragma once
// Files and bytes for every test program: reading and writing whole files,
// comparing a file with what it should hold, test content and its SHA-1,
// packages.
// Failures to write throw std::runtime_error, which fails the test that wrote.

#include <boost/filesystem/path.hpp>
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fixtures {

namespace fs = boost::filesystem;

// The whole file; empty when it cannot be read.
std::string readFile(const fs::path& path);
// Replaces the file with `content`, making its directories first.
void writeFile(const fs::path& path, const std::string& content);

// Compares a file with the bytes it should hold; on a mismatch tells sizes and
// the first differing offset rather than printing the contents.
testing::AssertionResult hasContent(const fs::path& file, const std::string& expected);

// The same bytes for the same seed in every build.
std::string randomBytes(std::size_t size, unsigned seed);

// The lowercase hex SHA-1 of `content`, computed apart from the program's own
// digests so that a fault there cannot hide itself.
std::string sha1Of(const std::string& content);

// `text` with the first `from` replaced by `to`; a missing `from` fails the test.
std::string replaced(std::string text, const std::string& from, const std::string& to);

// The lines of `text` without their line ends ("\n" or "\r\n").
std::vector<std::string> splitLines(const std::string& text);

// A 32-bit big-endian number, as the version protocol frames its lengths.
std::string be32(std::uint32_t value);
// A 32-bit little-endian number, as a package frames its lengths.
std::string le32(std::uint32_t value);

// zlib (RFC 1950) unless `raw`: then a bare deflate stream (RFC 1951).
std::string deflateBytes(const std::string& plain, bool raw = false);

// The inflated bytes of a package: the marker, then (name, data) entries.
struct Entry {
    std::string name;
    std::string data;
};
std::string packageBody(const std::vector<Entry>& entries);
// A whole package file's bytes.
std::string packageBytes(const std::vector<Entry>& entries);
// The same, as the publisher now writes it: the stream restarts (a full flush)
// after the marker and after each entry.
std::string restartedPackageBytes(const std::vector<Entry>& entries);

}  // namespace fixtures
