#pragma once
// Names that come from outside (servers, packages) may only name places inside
// the directory they are meant for.

#include <string>

// True when `name` is a relative path that stays inside its base directory and
// names something below it: not absolute (leading slash or backslash), no drive
// ("C:"), no UNC or device path, no ".." that climbs above the base, and not
// the base itself ("", ".", "a/..").
bool isConfinedRelativePath(const std::string& name);
