#pragma once
// File names as players' starters send and store them, against the names the
// files have on the server's disk. The Windows starter works in code page 936
// (GBK) and puts those bytes on the wire and into its configuration files; the
// native starter works in UTF-8. On disk the files keep ordinary UTF-8 names.
//
// Every conversion is strict: a byte sequence that is not valid in its encoding
// (or a character the target cannot hold) fails the conversion, never turns into
// a replacement character. Never throws.

#include <string>

enum class NameEncoding { Gbk, Utf8 };

// "gbk" (also "cp936") or "utf-8" (also "utf8"). False for anything else.
bool parseNameEncoding(const std::string& text, NameEncoding& encoding);

// Client bytes to UTF-8.
bool decodeName(NameEncoding encoding, const std::string& bytes, std::string& utf8);

// UTF-8 to client bytes.
bool encodeName(NameEncoding encoding, const std::string& utf8, std::string& bytes);

// A UTF-8 path for an HTTP request line: every byte outside the unreserved
// characters and "/" becomes %XX, so the host finds the UTF-8 file whatever code
// page the starter runs in.
std::string percentEncodePath(const std::string& utf8);
