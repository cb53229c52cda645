#include "support/StagedFile.h"

#include "support/FileDigest.h"
#include "support/SignedRelease.h"

#include <utility>

namespace {

const wchar_t kReceivedSuffix[] = L".part";
const wchar_t kDownloadSuffix[] = L".tmp";
// FileManager::openFile gives no reason of the system's.
const char kNotOpened[] = "无法打开文件";

}  // namespace

StagedFile::StagedFile(std::wstring target, Kind kind)
    : target_(std::move(target)), path_(stagingPathOf(target_, kind)), kind_(kind)
{
}

std::wstring StagedFile::stagingPathOf(const std::wstring& target, Kind kind)
{
    return target + (kind == Kind::Download ? kDownloadSuffix : kReceivedSuffix);
}

StagedFile::~StagedFile()
{
    if (!settled_)
        discard();
}

std::unique_ptr<FileManager::File> StagedFile::open(bool append)
{
    settled_ = false;
    return FileManager::instance().openFile(path_, append);
}

ContentCheck StagedFile::check(const ExpectedContent& expected, const std::string& knownSha1) const
{
    ContentCheck result;
    result.sha1 = knownSha1;
    if (!expected.sha1.empty() && result.sha1.empty()) {
        StreamDigest digest;
        if (digest.updateFromFile(path_) < 0) {
            result.verdict = ContentVerdict::Unreadable;
            return result;
        }
        result.sha1 = digest.finish();
    }
    if (!expected.sha1.empty() && result.sha1 != expected.sha1) {
        result.verdict = ContentVerdict::Sha1Differs;
        return result;
    }
    if (!expected.sizeKnown && expected.sha256.empty())
        return result;
    ReleaseFile actual;
    if (!fileSha256(path_, actual))
        result.verdict = ContentVerdict::Unreadable;
    else if (expected.sizeKnown && actual.size != expected.size)
        result.verdict = ContentVerdict::SizeDiffers;
    else if (!expected.sha256.empty() && actual.sha256 != expected.sha256)
        result.verdict = ContentVerdict::Sha256Differs;
    return result;
}

std::string StagedFile::place()
{
    std::string reason = FileManager::instance().replaceFile(path_, target_);
    if (!reason.empty() && kind_ != Kind::Download)
        discard();
    settled_ = true;
    return reason;
}

void StagedFile::discard()
{
    FileManager::instance().deleteFile(path_, true);
    settled_ = true;
}

std::string writeWholeFile(const std::wstring& path, const std::string& content)
{
    StagedFile staged(path);
    {
        std::unique_ptr<FileManager::File> file = staged.open(false);
        if (!file)
            return kNotOpened;
        if (!file->write(content.data(), static_cast<std::int64_t>(content.size())))
            return file->failure();
    }
    return staged.place();
}
