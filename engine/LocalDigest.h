#pragma once
// What the update check and the release guard tell the version server about
// local files.

#include <string>

namespace engine_detail {

// The digest sent to the version server: the local file's, or "unavailable".
std::string localDigest(const std::wstring& path);

// Whether `local` names the running starter's file "Launcher.exe": the same file
// by identity where it exists (another letter case, a short name), else the same
// name ignoring ASCII case.
bool isStarterFile(const std::wstring& local);

}  // namespace engine_detail
