#include "engine/PassFiles.h"

#include "net/HttpFileDownloader.h"
#include "support/FileDigest.h"
#include "support/FileManager.h"
#include "support/Log.h"
#include "support/Package.h"
#include "support/TextConvert.h"

#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>

#include <algorithm>
#include <utility>

namespace engine_detail {

namespace {

// Lanes that run side by side read smaller pieces each, so that a pass holds
// about the same buffer memory however many there are.
std::size_t bodyPieceFor(std::size_t lanes)
{
    const std::size_t kPassBuffers = 4 * 1024 * 1024;
    return std::min(gametool::HttpConnection::kDefaultBodyPiece,
                    kPassBuffers / std::max<std::size_t>(lanes, 1));
}

// The text from the last '.' of the file name on; empty when the name has none.
std::wstring extensionOf(const std::wstring& path)
{
    const std::wstring::size_type nameStart = path.find_last_of(L"/\\");
    const std::wstring name = nameStart == std::wstring::npos ? path : path.substr(nameStart + 1);
    const std::wstring::size_type dot = name.rfind(L'.');
    return dot == std::wstring::npos ? std::wstring() : name.substr(dot);
}

}  // namespace

bool isPackage(const std::wstring& local)
{
    return extensionOf(local) == L".quiv";
}

// The length of what a kept part holds for `local`; 0 when there is none.
std::uint64_t keptPartSize(const std::wstring& local)
{
    const std::wstring part = StagedFile::stagingPathOf(local, StagedFile::Kind::Download);
    FileManager& files = FileManager::instance();
    if (!files.isFile(part))
        return 0;
    boost::system::error_code error;
    const std::uint64_t size = boost::filesystem::file_size(files.resolve(part), error);
    return error ? 0 : size;
}

Lane::Lane(const PassSetup& setup, std::size_t lanes, std::shared_ptr<gametool::RateShare> share)
    : context(std::make_shared<gametool::HttpConnection>(bodyPieceFor(lanes))),
      rates(std::move(share)),
      setup_(setup)
{
    context->setLimits(setup.limits, rates);
}

void Lane::startFile(const gametool::FileInfo& file)
{
    counted = 0;
    countable = sizeKnown(file) ? file.size : 0;
}

void Lane::onBytesReceived(std::uint64_t count)
{
    const std::uint64_t added = std::min(count, countable - counted);
    counted += added;
    if (added > 0 && setup_.onBytes)
        setup_.onBytes(added);
}

void Lane::onMessage(const std::string& text)
{
    Log::instance().write(text);
}

void Lane::onOperationRefused()
{
    if (setup_.onRefused)
        setup_.onRefused();
}

bool Lane::transfer(const std::string& host, const gametool::FileInfo& file, StagedFile& staged,
                    const std::string& aheadPath, std::string& digest, gametool::DownloadFailure& failure)
{
    gametool::HttpFileDownloader http(host, file.path, file.name, staged, context);
    http.askNextAhead(aheadPath);
    http.setListener(this);
    if (sizeKnown(file))
        http.setExpectedSize(file.size);
    // Busy while it transfers: the least rate is shared among those that are.
    const gametool::RateShare::Busy busy(rates);
    // What an earlier pass or run left is continued; the digest check covers any mix-up.
    if (!http.download(true)) {
        failure = http.failure().kind;
        return false;
    }
    digest = http.digest();
    return true;
}

PassFiles::PassFiles(const PassSetup& setup) : setup_(setup)
{
    if (setup_.files.empty())
        return;
    for (const gametool::FileInfo& file : setup_.files.front()->group->files)
        groupPlaces_.insert(placeKey(narrowToWide(file.name)));
}

PassOutcome PassFiles::takeOutcome()
{
    std::lock_guard<std::mutex> lock(outcomeMutex_);
    return std::move(outcome_);
}

bool PassFiles::finishInstall(const UpdateFileInfo& entry, StagedFile& staged)
{
    const FileGroup& group = *entry.group;
    const std::wstring local = localPathOf(group, *entry.file);
    // A package is unpacked from the verified staged file and put in place last,
    // so that the next comparison finds it current only when every entry has
    // been written. Until then the staged file stays for the next try.
    if (isPackage(local) && !unpack(group, local, staged.path()))
        return false;
    const std::string reason = staged.place();
    if (!reason.empty()) {
        Log::instance().write("保存下载文件失败:" + wideToNarrow(local), reason);
        markUnwritable(entry.file->name);
    }
    return true;
}

Fetch PassFiles::fetchFromHosts(Lane& lane, const FileGroup& group, const gametool::FileInfo& file,
                                StagedFile& staged, const std::string& aheadPath, const Verify& verify,
                                bool staleEnds, std::string* usedHost)
{
    const std::wstring local = staged.target();
    // The hosts in their configured order, so that the first stays the first
    // for every file; one that failed repeatedly in this run is passed over.
    const std::vector<std::string> hosts = setup_.hosts->inUse(group.hosts);
    // A kept part that an older release or a sick host left fails the check
    // after it was continued: no fault of the host that continued it. It is
    // fetched once more from its start, from that host, before a host is blamed.
    bool staleRetried = false;
    Fetch fetched = Fetch::HostFailed;
    for (std::size_t at = 0; at < hosts.size() && fetched == Fetch::HostFailed; ++at) {
        const std::string& host = hosts[at];
        if (usedHost)
            *usedHost = host;
        const bool continued = keptPartSize(local) > 0;
        fetched = fetchFrom(lane, host, file, staged, at == 0 ? aheadPath : std::string(), verify);
        if (fetched == Fetch::StalePart && continued && !staleRetried) {
            staleRetried = true;
            fetched = fetchFrom(lane, host, file, staged, std::string(), verify);
        }
        if (fetched == Fetch::StalePart && staleEnds)
            return fetched;
        if (fetched == Fetch::StalePart)
            fetched = Fetch::HostFailed;
        if (fetched == Fetch::HostFailed) {
            Log::instance().write(at + 1 < hosts.size() ? "下载失败，换下一个服务器:" : "下载失败，服务器:",
                                  host);
            if (setup_.hosts->failed(group.hosts, host))
                Log::instance().write("服务器多次下载失败，本次运行不再使用:", host);
        } else {
            setup_.hosts->succeeded(host);
        }
    }
    return fetched;
}

Fetch PassFiles::fetchFrom(Lane& lane, const std::string& host, const gametool::FileInfo& file,
                           StagedFile& staged, const std::string& aheadPath, const Verify& verify)
{
    std::string digest;
    gametool::DownloadFailure failure = gametool::DownloadFailure::None;
    if (!lane.transfer(host, file, staged, aheadPath, digest, failure))
        return failure == gametool::DownloadFailure::Local ? Fetch::Failed : Fetch::HostFailed;
    return verify(staged, digest);
}

Fetch PassFiles::verifyWhole(const gametool::FileInfo& file, StagedFile& staged, const std::string& digest)
{
    ExpectedContent expected;
    expected.sha1 = file.sha1;
    if (setup_.signedRelease && !signedEntry(file, expected)) {
        staged.discard();
        markUnwritable(file.name);
        return Fetch::Refused;
    }
    const ContentCheck checked = staged.check(expected, digest);
    if (checked.verdict == ContentVerdict::Sha256Differs || checked.verdict == ContentVerdict::SizeDiffers) {
        // SHA-1 alone can be forged; the release's signature says what this must be.
        Log::instance().write("发布签名无效:", std::string("文件不符 ") + kSignedHttpPrefix + file.path);
        staged.discard();
        markUnwritable(file.name);
        return Fetch::Refused;
    }
    if (!checked) {
        Log::instance().write("下载文件校验失败:" + wideToNarrow(staged.target()), checked.sha1, file.sha1);
        staged.discard();
        // A staged file this machine cannot read is no host's fault.
        return checked.verdict == ContentVerdict::Unreadable ? Fetch::Failed : Fetch::StalePart;
    }
    return Fetch::Verified;
}

bool PassFiles::installEmpty(const gametool::FileInfo& file, const std::wstring& local)
{
    ExpectedContent expected;
    if (setup_.signedRelease && (!signedEntry(file, expected) || expected.size != 0)) {
        if (expected.sizeKnown)
            Log::instance().write("发布签名无效:", std::string("文件不符 ") + kSignedHttpPrefix + file.path);
        markUnwritable(file.name);
        return true;
    }
    const std::wstring parent = boost::filesystem::path(local).parent_path().wstring();
    const FileResult made =
        parent.empty() ? FileResult::Done : FileManager::instance().createDirectories(parent);
    if (made.refused() && setup_.onRefused)
        setup_.onRefused();
    const std::string reason = made ? writeWholeFile(local, std::string()) : "无法创建目录";
    if (!reason.empty()) {
        Log::instance().write("保存下载文件失败:" + wideToNarrow(local), reason);
        markUnwritable(file.name);
    }
    return true;
}

bool PassFiles::signedEntry(const gametool::FileInfo& file, ExpectedContent& expected) const
{
    const auto entry = setup_.signedFiles.find(std::string(kSignedHttpPrefix) + file.path);
    if (entry == setup_.signedFiles.end()) {
        Log::instance().write("发布签名无效:", std::string("未列出的文件 ") + kSignedHttpPrefix + file.path);
        return false;
    }
    expected.sizeKnown = true;
    expected.size = entry->second.size;
    expected.sha256 = entry->second.sha256;
    return true;
}

bool PassFiles::unpack(const FileGroup& group, const std::wstring& local, const std::wstring& package)
{
    ExtractionFailure failure;
    // Two packages may hold one entry: one unpacks at a time, so that they never
    // stage that entry's content side by side.
    std::lock_guard<std::mutex> unpacking(unpackMutex_);
    // A file the group configures is that entry's alone, whatever a package holds.
    const FileResult unpacked =
        extractPackage(group.saveDir, package, &failure,
                       [this](const std::wstring& name) { return groupPlaces_.count(placeKey(name)) != 0; });
    if (unpacked)
        return true;
    if (unpacked.refused() && setup_.onRefused)
        setup_.onRefused();
    if (failure.reason.empty())
        Log::instance().write("解压文件失败:", wideToNarrow(local));
    else
        Log::instance().write("解压文件失败:", wideToNarrow(local),
                              wideToNarrow(failure.entry) + " " + failure.reason);
    return false;
}

void PassFiles::markPatchFailed(const UpdateFileInfo& entry)
{
    std::lock_guard<std::mutex> lock(outcomeMutex_);
    outcome_.patchFailed.insert(entry.file->name);
}

void PassFiles::markUnwritable(const std::string& name)
{
    std::lock_guard<std::mutex> lock(outcomeMutex_);
    outcome_.unwritable.insert(name);
}

}  // namespace engine_detail
