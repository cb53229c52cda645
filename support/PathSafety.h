#pragma once
// Names that come from outside (the version server, packages, configurations the
// server can write) may only name places inside the directory they are meant for.
// The starter decides on the text the system opens: a name is converted exactly
// first, and what this system's conversion cannot carry unchanged is refused.
//
// Refused, on both systems alike:
//  - empty, rooted ("/a", "\a"), UNC and device paths ("\\host", "\\?\C:");
//  - names that climb above their base or name the base itself ("../a",
//    "a/../../b", ".", "a/..");
//  - names Windows reads differently: ":" anywhere (a drive or an alternate data
//    stream), a component that ends in a dot or a blank ("a.", "b /c"), a device
//    name with any extension ("CON", "nul.txt", "COM1.log", "lpt²");
//  - a zero character, which would cut the name short.
// Both "/" and "\" separate components, as they do for the file calls.

#include <boost/optional.hpp>

#include <string>

// The one decision for a name from outside that becomes a path below a base
// directory: the wide relative path to join with the base, or nothing when the
// name is refused. Before the rules above, the bytes must convert exactly: on
// POSIX strict UTF-8 (no overlong forms, surrogates, stray or cut-off bytes), on
// Windows the ANSI code page both ways unchanged. Never throws.
boost::optional<std::wstring> confinedPath(const std::string& name);

// The rules above on text as the system receives it (already converted).
bool isConfinedRelativePath(const std::wstring& name);

// The rules above on bytes, for the version server, which never converts names.
// The starter uses confinedPath: bytes alone cannot tell where a multi-byte
// character hides a separator.
bool isConfinedRelativePath(const std::string& name);
