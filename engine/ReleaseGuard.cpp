#include "engine/ReleaseGuard.h"

#include "engine/LocalDigest.h"
#include "support/Decimal.h"
#include "support/FileManager.h"
#include "support/Log.h"
#include "support/TextConvert.h"
#include "support/UpdaterDirectory.h"

#include <utility>

namespace engine_detail {

namespace {

std::wstring acceptedPath()
{
    return joinPath(updaterDirectory, L"accepted_release.txt");
}

}  // namespace

ReleaseGuard::ReleaseGuard(const std::string& publicKeyPem, Clock utcNow)
    : key_(publicKeyPem), utcNow_(std::move(utcNow))
{
}

ReleaseGuard::~ReleaseGuard() = default;

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

bool ReleaseGuard::admitRelease(VersionClient& client)
{
    if (!signedRelease())
        return true;
    const std::wstring signature = joinPath(updaterDirectory, narrowToWide(kSignatureName));
    std::unique_ptr<StagedFile> received(new StagedFile(signature));
    ReplyBound bound;
    bound.max = kMaxReleaseText;
    const FetchResult result = client.fetchFile(kSignatureName, localDigest(signature), *received, bound);
    if (result == FetchResult::Fetched)
        held_.push_back(Held{kSignatureName, std::move(received), BeforePlace()});
    else if (result != FetchResult::NoContent)
        return refuse("无法取得release.sig");

    std::string text;
    if (!readSmallFile(contentOf(signature), kMaxReleaseText, text))
        return refuse("无法读取release.sig");
    std::string reason;
    if (!checkRelease(key_, text, utcNow_(), highestAccepted(), release_, reason)) {
        release_ = Release();
        return refuse(reason);
    }
    return true;
}

bool ReleaseGuard::boundFor(const std::string& name, ReplyBound& bound)
{
    bound = ReplyBound();
    if (!signedRelease())
        return true;
    const auto listed = release_.files.find(name);
    if (listed == release_.files.end())
        return refuse("未列出的文件 " + name);
    bound.max = listed->second.size;
    bound.exact = true;
    return true;
}

bool ReleaseGuard::currentMatches(const std::string& name, const std::wstring& local)
{
    if (!signedRelease())
        return true;
    const auto listed = release_.files.find(name);
    ReleaseFile held;
    return listed != release_.files.end() && fileSha256(local, held) && held.size == listed->second.size &&
           held.sha256 == listed->second.sha256;
}

ReleaseGuard::Admitted ReleaseGuard::admit(const std::string& name, std::unique_ptr<StagedFile> staged,
                                           BeforePlace beforePlace)
{
    Held held{name, std::move(staged), std::move(beforePlace)};
    if (!signedRelease())
        return place(held) ? Admitted::Accepted : Admitted::NotPlaced;
    // Held first, so that a refusal leaves nothing of it behind when the guard goes.
    held_.push_back(std::move(held));
    return matches(name, held_.back().staged->path()) ? Admitted::Accepted : Admitted::Refused;
}

std::wstring ReleaseGuard::contentOf(const std::wstring& target) const
{
    for (const Held& held : held_) {
        if (held.staged->target() == target)
            return held.staged->path();
    }
    return target;
}

bool ReleaseGuard::place(Held& held)
{
    if (held.beforePlace && !held.beforePlace(held.staged->path())) {
        held.staged->discard();
        return false;
    }
    const std::string reason = held.staged->place();
    if (reason.empty())
        return true;
    Log::instance().write("打开文件失败:", held.name, reason);
    return false;
}

std::set<std::string> ReleaseGuard::commit()
{
    std::set<std::string> unplaced;
    for (Held& held : held_) {
        if (!place(held))
            unplaced.insert(held.name);
    }
    held_.clear();
    if (signedRelease() && release_.number > highestAccepted())
        storeAccepted(release_.number);
    return unplaced;
}

std::uint64_t ReleaseGuard::highestAccepted()
{
    std::string text;
    std::uint64_t number = 0;
    if (!readSmallFile(acceptedPath(), 32, text))
        return 0;
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    return parseDecimal(text, number) ? number : 0;
}

bool ReleaseGuard::storeAccepted(std::uint64_t number)
{
    // Staged, so that a cut-off write never loses the number.
    const std::string reason = writeWholeFile(acceptedPath(), std::to_string(number) + "\n");
    if (reason.empty())
        return true;
    Log::instance().write("写文件失败:", wideToNarrow(acceptedPath()), reason);
    return false;
}

}  // namespace engine_detail
