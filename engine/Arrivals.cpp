#include "engine/PassFiles.h"

#include "engine/BlockSync.h"

#include "support/FileManager.h"
#include "support/Log.h"
#include "support/Patch.h"
#include "support/TextConvert.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

namespace engine_detail {

namespace {

// Builds the file into `output` by blocks of `index` from `copy` and checks it
// as a whole download; false (logged) when it would cost about the whole file,
// or failed: the whole file comes next.
bool syncBlocks(PassFiles& pass, Lane& lane, const gametool::FileInfo& file, const DeltaPiece& index,
                const std::wstring& copy, const std::string& host, StagedFile& output)
{
    const PassSetup& setup = pass.setup();
    const std::string where = gametool::transferPlace(file.path, host);
    const char* kFallback = "块同步失败，下载整个文件:";
    // Its parts are checked against its own top and group checks, which only the
    // release's signature makes worth anything.
    if (setup.signedRelease && !setup.signedFiles.count(std::string(kSignedHttpPrefix) + index.path)) {
        Log::instance().write(kFallback, where, "块索引未列在发布签名中");
        return false;
    }
    BlockSync sync(*lane.context, host, [&lane](std::uint64_t count) { lane.onBytesReceived(count); });
    BlockSyncOutcome outcome;
    {
        const gametool::RateShare::Busy busy(lane.rates);
        outcome = sync.run(file.path, file.size, index, copy, output);
    }
    if (outcome.kind == BlockSyncOutcome::Kind::WholeIsCheaper) {
        Log::instance().write("块同步:本地可用的块太少，下载整个文件:", where);
        return false;
    }
    if (outcome.kind == BlockSyncOutcome::Kind::Failed) {
        Log::instance().write(kFallback, where, outcome.failure);
        output.discard();
        return false;
    }
    ExpectedContent expected;
    expected.sha1 = file.sha1;
    expected.sizeKnown = true;
    expected.size = file.size;
    if (setup.signedRelease && !pass.signedEntry(file, expected))
        return false;
    const ContentCheck checked = output.check(expected);
    if (!checked) {
        Log::instance().write(kFallback, where, "结果校验失败 " + checked.sha1);
        output.discard();
        return false;
    }
    // The bar reaches the file's size: the local bytes count once it is whole.
    lane.onBytesReceived(outcome.localBytes);
    setup.hosts->succeeded(host);
    Log::instance().write("块同步:" + file.name, "本地" + std::to_string(outcome.localBytes) + "字节",
                          "服务器" + std::to_string(outcome.fetchedBytes) + "字节 共传输" +
                              std::to_string(outcome.wireBytes) + "字节");
    return true;
}

}  // namespace

Arrival arriveByBlocks(PassFiles& pass, Lane& lane, const UpdateFileInfo& entry)
{
    const PassSetup& setup = pass.setup();
    const gametool::FileInfo& file = *entry.file;
    if (!setup.deltaIndex || !sizeKnown(file))
        return Arrival::Whole;
    const auto listed = setup.deltaIndex->files.find(file.path);
    if (listed == setup.deltaIndex->files.end() || !listed->second.blocks ||
        listed->second.size != file.size || listed->second.sha1 != file.sha1)
        return Arrival::Whole;
    // The old file, else what an earlier run left of the download.
    const std::wstring local = localPathOf(*entry.group, file);
    FileManager& files = FileManager::instance();
    std::wstring copy = local;
    if (!files.isFile(copy)) {
        copy = StagedFile::stagingPathOf(local, StagedFile::Kind::Download);
        if (!files.isFile(copy))
            return Arrival::Whole;
    }
    const std::vector<std::string> hosts = setup.hosts->inUse(entry.group->hosts);
    if (hosts.empty())
        return Arrival::Whole;
    lane.startFile(file);
    StagedFile synced(local, StagedFile::Kind::Received);
    if (!syncBlocks(pass, lane, file, *listed->second.blocks, copy, hosts.front(), synced)) {
        // What crossed the wire for nothing still counts: the total grows by it.
        if (lane.counted > 0 && setup.onMoreTotal)
            setup.onMoreTotal(lane.counted);
        return Arrival::Whole;
    }
    // A part an earlier whole download left is of no further use.
    StagedFile(local, StagedFile::Kind::Download).discard();
    return pass.finishInstall(entry, synced) ? Arrival::Placed : Arrival::Retry;
}

Arrival arriveByPatch(PassFiles& pass, Lane& lane, const UpdateFileInfo& entry, const DeltaPatch& patch)
{
    const PassSetup& setup = pass.setup();
    const FileGroup& group = *entry.group;
    const gametool::FileInfo& file = *entry.file;
    const std::wstring local = localPathOf(group, file);
    const std::string place = wideToNarrow(local);
    // Whatever fails from here costs one line and the whole file, in this pass;
    // the total then holds the whole file instead of what did not come of the patch.
    std::uint64_t patchCounted = 0;
    const auto giveWay = [&](const std::string& why, const std::string& host) {
        Log::instance().write(
            "补丁不可用，下载整个文件:" + place, why,
            host.empty() ? patch.patch.path : gametool::transferPlace(patch.patch.path, host));
        pass.markPatchFailed(entry);
        const std::uint64_t unsent = patch.patch.size - std::min(patch.patch.size, patchCounted);
        if (setup.onMoreTotal && file.size > unsent)
            setup.onMoreTotal(file.size - unsent);
        return Arrival::Whole;
    };
    if (!patchFitsAddressSpace(entry.localSize, file.size))
        return giveWay("文件过大", std::string());
    ExpectedContent expected;
    expected.sizeKnown = true;
    expected.size = patch.patch.size;
    expected.sha256 = patch.patch.sha256;
    if (setup.signedRelease) {
        // The patch is a file of the signed release like any other.
        const auto signedPatch = setup.signedFiles.find(std::string(kSignedHttpPrefix) + patch.patch.path);
        if (signedPatch == setup.signedFiles.end() || signedPatch->second.size != patch.patch.size ||
            signedPatch->second.sha256 != patch.patch.sha256)
            return giveWay("补丁未签名", std::string());
    }

    gametool::FileInfo remote;
    remote.name = file.name + ".patch";
    remote.path = patch.patch.path;
    remote.size = patch.patch.size;
    lane.startFile(remote);
    // Staged beside its target like any download, and continued the same way.
    StagedFile patchStaged(local + L".patch", StagedFile::Kind::Download);
    patchStaged.keep();
    std::string host;
    const Fetch fetched = pass.fetchFromHosts(
        lane, group, remote, patchStaged, std::string(),
        [&expected](StagedFile& into, const std::string&) {
            if (into.check(expected))
                return Fetch::Verified;
            into.discard();
            return Fetch::StalePart;
        },
        true, &host);
    patchCounted = lane.counted;
    if (fetched == Fetch::StalePart)
        return giveWay("补丁校验失败", host);
    if (fetched != Fetch::Verified)
        return Arrival::Retry;

    // The result is made apart from the resumable download of the whole file.
    StagedFile staged(local, StagedFile::Kind::Received);
    PatchResult applied;
    {
        // The old and new file are mapped while a patch is applied: one pair at
        // a time keeps what lanes side by side hold mapped to one file's worth.
        std::lock_guard<std::mutex> applying(pass.applyMutex());
        applied = applyPatch(local, patchStaged.path(), file.size, staged);
    }
    patchStaged.discard();
    if (!applied)
        return giveWay(applied.reason, host);
    ExpectedContent result;
    result.sha1 = file.sha1;
    if (setup.signedRelease && !pass.signedEntry(file, result)) {
        pass.markUnwritable(file.name);
        return Arrival::Placed;
    }
    // applyPatch wrote exactly the listed size: the digests say the rest.
    const ContentCheck checked = staged.check(result);
    if (!checked) {
        staged.discard();
        return giveWay("补丁结果校验失败 " + checked.sha1, host);
    }
    Log::instance().write("使用补丁:" + place, "补丁" + std::to_string(patch.patch.size) + "字节/整个文件" +
                                                   std::to_string(file.size) + "字节");
    return pass.finishInstall(entry, staged) ? Arrival::Placed : Arrival::Retry;
}

}  // namespace engine_detail
