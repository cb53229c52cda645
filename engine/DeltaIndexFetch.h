#pragma once
// The release's delta index, fetched once in a run from the group's download
// hosts in turn, checked against what launcher_info.cfg says of it (size, SHA-1)
// and, in a signed release, against its signed entry, then read. An index that
// cannot be had so costs one log line and nothing else: the files then come
// whole. Its staged copy never stays behind. Never throws but for a stop request.

#include "engine/HostRoster.h"
#include "engine/StarterWorker.h"
#include "net/TransferDeadline.h"
#include "support/DeltaIndex.h"
#include "support/SignedRelease.h"

#include <map>
#include <memory>
#include <string>

namespace engine_detail {

struct DeltaIndexSource {
    const FileGroup* group = nullptr;
    HostRoster* hosts = nullptr;
    gametool::TransferLimits limits;
    // The release's signed entries; checked only with `signedRelease`.
    bool signedRelease = false;
    const std::map<std::string, ReleaseFile>* signedFiles = nullptr;
    // Where the index is staged while it is checked and read.
    std::wstring stagingTarget;
};

// The index the group names, or null (logged) when it names none that can be had.
std::shared_ptr<const DeltaIndex> fetchDeltaIndex(const DeltaIndexSource& source);

}  // namespace engine_detail
