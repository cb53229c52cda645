#include "engine/ReleaseGuard.h"

#include "engine/StarterWorker.h"
#include "engine/StarterWorkerData.h"
#include "support/FileManager.h"
#include "support/Log.h"
#include "support/TextConvert.h"

#include <charconv>
#include <memory>
#include <utility>

namespace engine_detail {

namespace {

const char kSignatureName[] = "release.sig";
const char kManifestName[] = "files.cfg";
const wchar_t kHeldSuffix[] = L".new";

std::wstring acceptedPath()
{
    return joinPath(updaterDirectory, L"accepted_release.txt");
}

}  // namespace

ReleaseGuard::ReleaseGuard(const std::string& publicKeyPem, Clock utcNow)
    : key_(publicKeyPem), utcNow_(std::move(utcNow))
{
}

ReleaseGuard::~ReleaseGuard()
{
    for (const Held& held : held_)
        FileManager::instance().deleteFile(held.received);
}

std::wstring ReleaseGuard::receivePath(const std::wstring& target) const
{
    return active() ? target + kHeldSuffix : target;
}

bool ReleaseGuard::refuse(const std::string& reason)
{
    Log::instance().write("发布签名无效:", reason);
    return false;
}

bool ReleaseGuard::matches(const std::string& name, const std::wstring& path)
{
    const auto listed = release_.files.find(name);
    if (listed == release_.files.end())
        return refuse("未列出的文件 " + name);
    ReleaseFile delivered;
    if (!fileSha256(path, delivered))
        return refuse("无法读取文件 " + name);
    if (delivered.size != listed->second.size || delivered.sha256 != listed->second.sha256)
        return refuse("文件不符 " + name);
    return true;
}

bool ReleaseGuard::admitRelease(VersionClient& client, const std::wstring& manifest,
                                FetchResult manifestResult)
{
    if (!active())
        return true;
    // Held first, so that a refusal below removes them.
    if (manifestResult == FetchResult::Fetched)
        held_.push_back(Held{kManifestName, receivePath(manifest), manifest});
    const std::wstring signature = joinPath(updaterDirectory, narrowToWide(kSignatureName));
    const FetchResult result =
        client.fetchFile(kSignatureName, localDigest(signature), receivePath(signature));
    if (result == FetchResult::Fetched)
        held_.push_back(Held{kSignatureName, receivePath(signature), signature});
    else if (result != FetchResult::NoContent)
        return refuse("无法取得release.sig");

    std::string text;
    if (!readSmallFile(result == FetchResult::Fetched ? receivePath(signature) : signature, kMaxReleaseText,
                       text))
        return refuse("无法读取release.sig");
    std::string reason;
    if (!checkRelease(key_, text, utcNow_(), highestAccepted(), release_, reason))
        return refuse(reason);
    // The manifest that will be read, delivered now or kept from before.
    return matches(kManifestName, manifestResult == FetchResult::Fetched ? receivePath(manifest) : manifest);
}

bool ReleaseGuard::admit(const std::string& name, const std::wstring& target, FetchResult result)
{
    if (!active() || result != FetchResult::Fetched)
        return true;
    held_.push_back(Held{name, receivePath(target), target});
    return matches(name, receivePath(target));
}

std::vector<ReleaseGuard::Unplaced> ReleaseGuard::commit(const BeforePlace& beforePlace)
{
    std::vector<Unplaced> failed;
    for (const Held& held : held_) {
        if (!beforePlace(held.name, held.received)) {
            FileManager::instance().deleteFile(held.received);
            continue;
        }
        const std::string reason = FileManager::instance().replaceFile(held.received, held.target);
        if (!reason.empty()) {
            FileManager::instance().deleteFile(held.received);
            failed.push_back(Unplaced{held.name, reason});
        }
    }
    held_.clear();
    if (active() && release_.number > highestAccepted())
        storeAccepted(release_.number);
    return failed;
}

std::uint64_t ReleaseGuard::highestAccepted()
{
    std::string text;
    std::uint64_t number = 0;
    if (readSmallFile(acceptedPath(), 32, text)) {
        const char* end = text.data() + text.size();
        if (!text.empty() && text.back() == '\n')
            --end;
        const auto parsed = std::from_chars(text.data(), end, number);
        if (parsed.ec != std::errc() || parsed.ptr != end)
            number = 0;
    }
    return number;
}

bool ReleaseGuard::storeAccepted(std::uint64_t number)
{
    // Through a temporary file, so that a cut-off write never loses the number.
    const std::wstring path = acceptedPath();
    const std::wstring temporary = path + kHeldSuffix;
    const std::string text = std::to_string(number) + "\n";
    bool written = false;
    {
        std::unique_ptr<FileManager::File> file = FileManager::instance().openFile(temporary, false);
        written = file && file->write(text.data(), static_cast<std::int64_t>(text.size()));
    }
    if (written && FileManager::instance().replaceFile(temporary, path).empty())
        return true;
    FileManager::instance().deleteFile(temporary);
    Log::instance().write("写文件失败:", wideToNarrow(path));
    return false;
}

}  // namespace engine_detail
