#pragma once
// The folder, relative to the current directory, where the version server's
// deliveries for the starter itself go: its configuration, the manifest, the
// deletion list and the record of what that list did.

#include <string>

inline const std::wstring updaterDirectory = L"updater";
