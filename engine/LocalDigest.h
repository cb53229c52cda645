#pragma once
// What the update check and the release guard tell the version server about
// local files.

#include <string>

class DigestCache;

namespace engine_detail {

// The digest sent to the version server: the local file's, or "unavailable";
// taken from `cache` when the file is as it was.
std::string localDigest(const std::wstring& path, DigestCache* cache = nullptr);

// Whether `local` names the running starter's file "Launcher.exe": the same file
// by identity where it exists (another letter case, a short name), else the same
// name ignoring ASCII case.
bool isStarterFile(const std::wstring& local);

}  // namespace engine_detail
