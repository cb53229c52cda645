#pragma once
// The one way content takes the place of a file. It is written beside its place
// under a staging name, checked, and put there by a single rename, so that a
// reader finds either the old file or the whole, checked new one, however the
// run ends in between. Nothing else replaces a file.
//
// Staging names: "<target>.tmp" for HTTP downloads, which the next attempt
// continues; "<target>.part" for everything else, which is started afresh.

#include "support/FileManager.h"

#include <cstdint>
#include <memory>
#include <string>

// What staged content must be; each check applies only when its field is set.
struct ExpectedContent {
    bool sizeKnown = false;
    std::uint64_t size = 0;
    std::string sha1;    // digest text
    std::string sha256;  // 64 lower-case hexadecimal digits
};

enum class ContentVerdict { Matches, Unreadable, SizeDiffers, Sha1Differs, Sha256Differs };

struct ContentCheck {
    ContentVerdict verdict = ContentVerdict::Matches;
    std::string sha1;  // the content's own, when it was computed
    explicit operator bool() const { return verdict == ContentVerdict::Matches; }
};

class StagedFile {
public:
    enum class Kind { Received, Download };

    explicit StagedFile(std::wstring target, Kind kind = Kind::Received);
    // Where content for `target` is staged.
    static std::wstring stagingPathOf(const std::wstring& target, Kind kind);
    // Removes the staged content unless it was placed or kept.
    ~StagedFile();
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    const std::wstring& target() const { return target_; }
    const std::wstring& path() const { return path_; }

    // The staging file for writing: emptied, or continued after what is there.
    std::unique_ptr<FileManager::File> open(bool append);

    // Checks the staged content; `knownSha1` spares reading it again for a
    // digest computed while it was written.
    ContentCheck check(const ExpectedContent& expected, const std::string& knownSha1 = std::string()) const;

    // Puts the content in place. Empty when done; otherwise the system's reason,
    // and the staged content is gone, but for a download, which a later attempt
    // may place without fetching it again.
    std::string place();
    // Leaves the staged content for a later attempt to continue.
    void keep() { settled_ = true; }
    // Removes the staged content now.
    void discard();

private:
    std::wstring target_;
    std::wstring path_;
    Kind kind_;
    bool settled_ = false;
};

// Writes `content` as the whole of `path` through a staged file. Empty when
// done; otherwise the system's reason ("无法打开文件" when the staging file
// cannot be made), and the file at `path` is as it was.
std::string writeWholeFile(const std::wstring& path, const std::string& content);
