#pragma once
// "release.sig": the publisher's signed statement of one release, and its check.
//
// A plain text of lines ending in "\n", readable by an operator:
//   release 42
//   expires 2027-01-08T13:30:00Z
//   file 1234 <SHA-256, 64 lower-case hex digits> files.cfg
//   file ...                     (one line per file, names in byte-wise order;
//                                 the name is the rest of the line)
//   signature <r||s, 128 lower-case hex digits>
// The signature (ECDSA P-256 over SHA-256) covers every byte before its line.
// Every length is bounded before anything is held for it; nothing here throws.

#include <cstdint>
#include <map>
#include <string>

struct ReleaseFile {
    std::uint64_t size = 0;
    std::string sha256;  // 64 lower-case hexadecimal digits
};

struct Release {
    std::uint64_t number = 0;
    std::int64_t expires = 0;  // seconds since 1970-01-01 00:00 UTC
    std::map<std::string, ReleaseFile> files;
};

// How a release names a file of the download host: this, then its path on the
// host as the starter asks for it. No version-server name holds a ':'.
constexpr char kSignedHttpPrefix[] = "http:";

// Bounds of what a reader accepts.
const std::uint64_t kMaxReleaseText = 8 * 1024 * 1024;
const std::size_t kMaxReleaseName = 4096;

// The signed part of a release's text. Names must be non-empty and free of line
// ends and NUL; false otherwise.
bool composeRelease(const Release& release, std::string& text);
// The last line, for a 64-byte r||s signature.
std::string signatureLine(const std::string& signature);

// Splits a release text into its record, the signed part and the signature (64
// bytes). False with a reason when the text is not in the form above.
bool parseRelease(const std::string& text, Release& release, std::string& signedPart, std::string& signature,
                  std::string& reason);

// Parses, checks the signature with one of the keys of `publicKeyPem` (one or
// more PEM blocks: keys are rotated by trusting the next beside the current one),
// and that the release has not
// expired at `now` and is not older than `highestAccepted`. False with a reason
// for the log.
bool checkRelease(const std::string& publicKeyPem, const std::string& text, std::int64_t now,
                  std::uint64_t highestAccepted, Release& release, std::string& reason);

// "YYYY-MM-DDTHH:MM:SSZ" and back; parsing is strict and rejects impossible dates.
std::string formatUtc(std::int64_t seconds);
bool parseUtc(const std::string& text, std::int64_t& seconds);

// Seconds since 1970-01-01 00:00 UTC now.
std::int64_t utcNow();

// SHA-256 and size of a file; false when it cannot be read completely.
bool fileSha256(const std::wstring& path, ReleaseFile& digest);

// Reads a whole file of at most `limit` bytes; false when it is missing, longer or
// unreadable.
bool readSmallFile(const std::wstring& path, std::uint64_t limit, std::string& text);
