#include "engine/UpdateCheck.h"

#include "engine/LocalDigest.h"

#include "support/FileDigest.h"
#include "support/FileManager.h"
#include "support/Log.h"
#include "support/ObsoleteFiles.h"
#include "support/PathSafety.h"
#include "support/SelfReplacement.h"
#include "support/TextConvert.h"
#include "support/UpdaterDirectory.h"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <utility>

namespace engine_detail {

namespace {

// Sent for a copy that must be delivered whatever the server holds: no content has it as its digest.
const char kForcedDigest[] = "unavailable";

// Reads the top-level entries of an INFO file that the server delivered; false
// (logged) when it cannot be read or tries to pull in other files.
bool readServerEntries(const std::wstring& path, const std::string& name, InfoEntries& entries)
{
    std::string error;
    switch (readInfoFile(path, entries, error)) {
    case InfoRead::Read:
        return true;
    case InfoRead::HasInclude:
        Log::instance().write("服务器文件包含不允许的指令:", name);
        return false;
    case InfoRead::Malformed:
        break;
    }
    Log::instance().write(error);
    return false;
}

bool sameIgnoringAsciiCase(const std::wstring& a, const std::wstring& b)
{
    const auto upper = [](wchar_t c) { return c >= L'a' && c <= L'z' ? wchar_t(c - L'a' + L'A') : c; };
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (upper(a[i]) != upper(b[i]))
            return false;
    }
    return true;
}

// A path with letter case and the kind of separator folded: two paths that may
// name one file on some system fold alike.
std::wstring foldedPlace(std::wstring path)
{
    for (wchar_t& c : path) {
        if (c == L'\\')
            c = L'/';
        else if (c >= L'a' && c <= L'z')
            c = wchar_t(c - L'a' + L'A');
    }
    return path;
}

// The longest digest text a request carries: a SHA-1 in hexadecimal.
const std::size_t kLongestDigest = 40;

}  // namespace

std::string localDigest(const std::wstring& path, DigestCache* cache)
{
    if (cache) {
        const std::string digest = cache->digestOf(path);
        return digest.empty() ? "unavailable" : digest;
    }
    if (FileManager::instance().isFile(path))
        return computeFileSha1(path);
    return "unavailable";
}

bool isStarterFile(const std::wstring& local)
{
    FileManager& files = FileManager::instance();
    const std::wstring starter = starterFileName();
    if (files.isFile(starter))
        return files.isSameFile(local, starter);
    return sameIgnoringAsciiCase(local, starter);
}

UpdateCheck::UpdateCheck(Setup setup)
    : setup_(std::move(setup)), client_(setup_.deadlines), guard_(setup_.releaseKey, setup_.utcClock)
{
}

CheckOutcome UpdateCheck::run()
{
    using Status = CheckOutcome::Status;
    if (!connect()) {
        outcome_.status = Status::Unreachable;
        return outcome_;
    }
    outcome_.status = Status::Failed;
    InfoEntries entries;
    if (!fetchManifest(entries) || !applyDeletionList(entries))
        return outcome_;
    const bool allFetched = fetchListedFiles(entries);
    if (outcome_.status == Status::Refused)
        return outcome_;
    // Everything delivered was vouched for: now it may replace files.
    for (const std::string& name : guard_.commit())
        noteUnwritable(name);
    if (!starterKey_.empty() && !outcome_.unwritable.count(starterKey_))
        outcome_.selfUpdatePending = true;
    if (allFetched)
        outcome_.status = Status::Succeeded;
    outcome_.signedFiles = guard_.signedFiles();
    return outcome_;
}

bool UpdateCheck::connect()
{
    for (std::size_t at = 0; at < setup_.hosts.size(); ++at) {
        if (client_.connect(setup_.hosts[at])) {
            outcome_.connectedHost = at;
            return true;
        }
    }
    // A test.cfg host replaces the built-in ones; the client logged why it failed.
    if (setup_.builtIn)
        Log::instance().write("没有可用版本服务器");
    return false;
}

FetchResult UpdateCheck::fetchVerified(Delivery& delivery)
{
    if (!guard_.boundFor(delivery.name, delivery.bound))
        return refused();
    ask(delivery);
    while (!delivery.done && !due_.empty())
        takeReply();
    return outcome_.status == CheckOutcome::Status::Refused ? FetchResult::Failed : delivery.result;
}

void UpdateCheck::ask(Delivery& delivery)
{
    delivery.received.reset(new StagedFile(delivery.target));
    client_.ask(delivery.name, localDigest(delivery.local, setup_.digests.get()));
    due_.push_back(&delivery);
}

void UpdateCheck::takeReply()
{
    Delivery& delivery = *due_.front();
    due_.pop_front();
    // A directory that cannot be made shows up as a content that cannot be written.
    if (!delivery.forced && !delivery.directory.empty() &&
        FileManager::instance().createDirectories(delivery.directory).refused() && setup_.onOperationRefused)
        setup_.onOperationRefused();
    FetchResult result = client_.receive(*delivery.received, delivery.bound);
    // A copy the server calls current must still be the signed one; a digest no
    // file has makes the server send what it holds.
    if (result == FetchResult::NoContent && !delivery.forced &&
        !guard_.currentMatches(delivery.name, delivery.local)) {
        delivery.forced = true;
        client_.ask(delivery.name, kForcedDigest);
        due_.push_back(&delivery);
        return;
    }
    if ((result == FetchResult::NoContent && delivery.forced) ||
        (result == FetchResult::Oversized && guard_.signedRelease())) {
        guard_.refuseStale(delivery.name);
        refused();
    }
    delivery.result = result == FetchResult::Oversized ? FetchResult::Failed : result;
    delivery.done = true;
}

FetchResult UpdateCheck::refused()
{
    outcome_.status = CheckOutcome::Status::Refused;
    return FetchResult::Failed;
}

bool UpdateCheck::fetchManifest(InfoEntries& entries)
{
    if (!guard_.admitRelease(client_)) {
        refused();
        return false;
    }
    const std::wstring manifest = joinPath(updaterDirectory, narrowToWide(kManifestName));
    Delivery delivery(kManifestName, manifest);
    const FetchResult result = fetchVerified(delivery);
    if (outcome_.status == CheckOutcome::Status::Refused)
        return false;
    bool placed = result == FetchResult::NoContent;
    if (result == FetchResult::Fetched) {
        const ReleaseGuard::Admitted admission = guard_.admit(kManifestName, std::move(delivery.received));
        if (admission == ReleaseGuard::Admitted::Refused) {
            refused();
            return false;
        }
        placed = admission == ReleaseGuard::Admitted::Accepted;
    }
    if (!placed) {
        Log::instance().write("下载版本服务器文件列表失败");
        // The server answered: asking it again cannot help this disk.
        if (result != FetchResult::Failed)
            outcome_.status = CheckOutcome::Status::NotWritable;
        return false;
    }
    if (!readServerEntries(guard_.contentOf(manifest), kManifestName, entries))
        return false;
    // Fetched and checked before the manifest.
    if (guard_.signedRelease())
        entries.erase(kSignatureName);
    return true;
}

bool UpdateCheck::applyDeletionList(InfoEntries& entries)
{
    if (!entries.erase(kDeletionListName))
        return true;
    const std::wstring list = joinPath(updaterDirectory, narrowToWide(kDeletionListName));
    Delivery delivery(kDeletionListName, list);
    const FetchResult result = fetchVerified(delivery);
    if (outcome_.status == CheckOutcome::Status::Refused)
        return false;
    if (result == FetchResult::Failed || result == FetchResult::NotWritten) {
        Log::instance().write("下载删除配置文件失败");
        if (result == FetchResult::NotWritten)
            noteUnwritable(kDeletionListName);
        return result == FetchResult::NotWritten;
    }
    if (result == FetchResult::NoContent)
        return true;
    // A new list takes the old one's place only after its deletions, and only once
    // they are recorded: a run cut off in between gets the list again.
    const auto deleteListed = [](const std::wstring& content) { return deleteObsoleteFiles(content); };
    return admitted(kDeletionListName,
                    guard_.admit(kDeletionListName, std::move(delivery.received), deleteListed));
}

bool UpdateCheck::admitted(const std::string& name, ReleaseGuard::Admitted admission)
{
    switch (admission) {
    case ReleaseGuard::Admitted::Refused:
        refused();
        return false;
    case ReleaseGuard::Admitted::NotPlaced:
        noteUnwritable(name);
        break;
    case ReleaseGuard::Admitted::Accepted:
        break;
    }
    return true;
}

bool UpdateCheck::fetchListedFiles(const InfoEntries& entries)
{
    auto next = entries.begin();
    bool allFetched = true;
    for (;;) {
        if (!askAhead(next, entries.end()))
            return false;
        while (!window_.empty() && window_.front().done) {
            if (!settleListed(window_.front()))
                allFetched = false;
            if (outcome_.status == CheckOutcome::Status::Refused)
                return false;
            if (!window_.front().unsafe)
                unsettled_.erase(unsettled_.find(foldedPlace(window_.front().target)));
            window_.pop_front();
        }
        if (window_.empty() && next == entries.end())
            return allFetched;
        // What was still due went with the connection.
        if (!client_.open())
            return false;
        // An empty window: the next entry waited for the ones before it.
        if (window_.empty())
            continue;
        if (due_.empty())
            return false;
        takeReply();
        if (outcome_.status == CheckOutcome::Status::Refused)
            return false;
    }
}

bool UpdateCheck::askAhead(InfoEntries::const_iterator& next, InfoEntries::const_iterator end)
{
    for (; next != end && client_.open(); ++next) {
        const std::string& key = next->first;
        if (setup_.skip.count(key))
            continue;
        if (!client_.mayAsk(key.size() + 1 + kLongestDigest))
            return true;
        Delivery listed;
        listed.name = key;
        if (!localPathOf(key, next->second, listed.local, listed.directory)) {
            listed.unsafe = listed.done = true;
            window_.push_back(std::move(listed));
            continue;
        }
        // The running starter cannot be overwritten; the hand-off puts the new one in place.
        listed.starter = isStarterFile(listed.local);
        listed.target = listed.starter ? starterStagingName() : listed.local;
        // A file whose digest or place an earlier one may still change is asked
        // for once that one is in place, as it would have been one at a time.
        const std::wstring place = foldedPlace(listed.target);
        if (unsettled_.count(foldedPlace(listed.local)) || unsettled_.count(place))
            return true;
        // A file the release does not list is refused in its turn, after the ones before it.
        if (!window_.empty() && guard_.signedRelease() && !guard_.signedFiles().count(key))
            return true;
        if (!guard_.boundFor(key, listed.bound)) {
            refused();
            return false;
        }
        unsettled_.insert(place);
        window_.push_back(std::move(listed));
        ask(window_.back());
    }
    return true;
}

bool UpdateCheck::localPathOf(const std::string& key, const std::string& value, std::wstring& local,
                              std::wstring& directory)
{
    // The server is not authenticated: it may only place files below the installation.
    const boost::optional<std::wstring> name = confinedPath(key);
    boost::optional<std::wstring> place = std::wstring();
    if (value == "public")
        place = setup_.isWow64 ? L"x64" : L"win32";
    else if (!value.empty())
        place = confinedPath(value);
    if (!name || !place)
        return false;
    directory = *place;
    local = directory.empty() ? *name : joinPath(directory, *name);
    return true;
}

bool UpdateCheck::settleListed(Delivery& listed)
{
    if (listed.unsafe) {
        Log::instance().write("文件路径不安全，已忽略:", listed.name);
        return true;
    }
    switch (listed.result) {
    case FetchResult::Fetched:
        break;
    case FetchResult::Failed:
    case FetchResult::Oversized:
        return false;
    case FetchResult::NoContent:
        return true;
    case FetchResult::NotWritten:
        noteUnwritable(listed.name);
        return true;
    }
    if (!admitted(listed.name, guard_.admit(listed.name, std::move(listed.received))))
        return false;
    if (listed.starter)
        starterKey_ = listed.name;
    return true;
}

void UpdateCheck::noteUnwritable(const std::string& name)
{
    outcome_.unwritable.insert(name);
}

}  // namespace engine_detail
