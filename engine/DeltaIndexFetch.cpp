#include "engine/DeltaIndexFetch.h"

#include "net/HttpFileDownloader.h"
#include "support/Log.h"
#include "support/StagedFile.h"

namespace engine_detail {

std::shared_ptr<const DeltaIndex> fetchDeltaIndex(const DeltaIndexSource& source)
{
    const DeltaIndexRef& ref = source.group->deltaIndex;
    if (ref.path.empty())
        return nullptr;
    ExpectedContent expected;
    expected.sizeKnown = true;
    expected.size = ref.size;
    expected.sha1 = ref.sha1;
    if (source.signedRelease) {
        const auto entry = source.signedFiles->find(std::string(kSignedHttpPrefix) + ref.path);
        if (entry == source.signedFiles->end() || entry->second.size != ref.size) {
            Log::instance().write("补丁索引不可用，下载整个文件:", ref.path, "未签名");
            return nullptr;
        }
        expected.sha256 = entry->second.sha256;
    }
    // Fetched afresh: it is small, and a part of an older release's index is no use.
    StagedFile staged(source.stagingTarget, StagedFile::Kind::Download);
    const auto connection = std::make_shared<gametool::HttpConnection>();
    connection->setLimits(source.limits, nullptr);
    std::string reason = "下载失败";
    for (const std::string& host : source.hosts->inUse(source.group->hosts)) {
        gametool::HttpFileDownloader http(host, ref.path, ref.path, staged, connection);
        http.setExpectedSize(ref.size);
        if (!http.download(false))
            continue;
        const ContentCheck checked = staged.check(expected, http.digest());
        if (!checked) {
            reason = "校验失败 " + gametool::transferPlace(ref.path, host);
            staged.discard();
            break;
        }
        auto index = std::make_shared<DeltaIndex>();
        if (!readDeltaIndex(staged.path(), *index, reason))
            break;
        staged.discard();
        return index;
    }
    staged.discard();
    Log::instance().write("补丁索引不可用，下载整个文件:", ref.path, reason);
    return nullptr;
}

}  // namespace engine_detail
