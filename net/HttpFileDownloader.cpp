#include "net/HttpFileDownloader.h"

#include "net/VersionClient.h"
#include "support/FileDigest.h"
#include "support/FileManager.h"
#include "support/Log.h"
#include "support/StagedFile.h"
#include "support/TextConvert.h"

#include <boost/filesystem/path.hpp>

#include <exception>
#include <new>
#include <utility>

namespace gametool {

struct HttpFileDownloader::InterData {
    explicit InterData(std::shared_ptr<HttpConnection> shared)
        : connection(shared ? std::move(shared) : std::make_shared<HttpConnection>())
    {
    }

    std::shared_ptr<HttpConnection> connection;
    std::vector<HttpRequest> ahead;
    // Everything in the staged file so far, the part an earlier attempt left included.
    std::unique_ptr<StreamDigest> digest;
    std::unique_ptr<FileManager::File> output;
    std::uint64_t held = 0;
    std::uint64_t written = 0;
    std::string writeFailure;
};

HttpFileDownloader::HttpFileDownloader(const std::string& host, const std::string& path,
                                       const std::string& name, StagedFile& into,
                                       std::shared_ptr<HttpConnection> connection)
    : FileDownloader(host, path, name, into), m_inter(std::make_shared<InterData>(std::move(connection)))
{
    initPathConversion();
}

HttpFileDownloader::~HttpFileDownloader()
{
    m_inter->output.reset();
}

void HttpFileDownloader::askNextAhead(const std::string& path)
{
    m_inter->ahead.clear();
    if (!path.empty())
        m_inter->ahead.push_back(HttpRequest{path, 0, HttpRequest::kToEnd, {}});
}

void HttpFileDownloader::setLimits(const TransferLimits& limits, std::shared_ptr<RateShare> share)
{
    m_inter->connection->setLimits(limits, std::move(share));
}

namespace {

// Hashes what an earlier attempt left, so that the content is read only once;
// its length, 0 when there is none or it cannot be read.
std::uint64_t hashHeldPart(const StagedFile& into, bool resume, std::unique_ptr<StreamDigest>& digest)
{
    digest.reset(new StreamDigest);
    if (!resume || !FileManager::instance().isFile(into.path()))
        return 0;
    const std::int64_t held = digest->updateFromFile(into.path());
    if (held > 0)
        return std::uint64_t(held);
    digest.reset(new StreamDigest);
    return 0;
}

}  // namespace

bool HttpFileDownloader::openOutput()
{
    InnerData& job = *m_data;
    InterData& state = *m_inter;
    FileManager& files = FileManager::instance();
    const std::wstring parent = boost::filesystem::path(job.into->target()).parent_path().wstring();
    const FileResult made = parent.empty() ? FileResult::Done : files.createDirectories(parent);
    if (!made) {
        if (made.refused() && job.listener)
            job.listener->onOperationRefused();
        fail(DownloadFailure::Local, "创建存储目录失败: " + wideToNarrow(parent));
        return false;
    }
    state.output = job.into->open(state.held > 0);
    // What arrives stays for a later attempt to continue, unless it proves wrong.
    job.into->keep();
    if (!state.output || (state.held > 0 && state.output->position() != std::int64_t(state.held))) {
        state.output.reset();
        fail(DownloadFailure::Local, "打开输出文件失败: " + wideToNarrow(job.into->path()));
        return false;
    }
    return true;
}

// Whether the range the server announced continues this file as it was
// configured; a part that cannot be continued is removed. Empty when it does.
std::string HttpFileDownloader::acceptRange(const ResponseHeader& header, std::uint64_t& size)
{
    InnerData& job = *m_data;
    InterData& state = *m_inter;
    // A whole body (200) would have to be told apart from the part already
    // held; it is refused before anything of it is written.
    if (header.statusCode != 206 || header.rangeTotal == 0)
        return "服务器没有返回请求的文件范围: " + std::to_string(header.statusCode);
    std::string refusal;
    if (header.rangeStart != state.held) {
        refusal = "服务器返回的文件范围起点不符: " + std::to_string(header.rangeStart);
    } else if (job.sizeKnown ? header.rangeTotal != job.expectedSize : header.rangeTotal > kMaxReplyBytes) {
        // Another size is another file, however long the server would go on; an
        // unknown one is held to what the build takes from any server.
        refusal = "服务器返回的文件尺寸不符: " + std::to_string(header.rangeTotal) + " " +
                  std::to_string(job.sizeKnown ? job.expectedSize : kMaxReplyBytes);
    } else if (state.held > header.rangeTotal) {
        refusal = "起始下载文件位置大于文件尺寸";
    }
    if (!refusal.empty()) {
        state.output.reset();
        job.into->discard();
        return refusal;
    }
    size = header.rangeTotal - state.held;
    return std::string();
}

bool HttpFileDownloader::fetchRest()
{
    InnerData& job = *m_data;
    InterData& state = *m_inter;
    const HttpRequest request{job.path, state.held, HttpRequest::kToEnd, {}};
    const auto check = [this](const ResponseHeader& header, std::uint64_t& size) {
        return acceptRange(header, size);
    };
    const auto sink = [this, &state](const char* data, std::size_t size) {
        if (!state.output->write(data, std::int64_t(size))) {
            state.writeFailure = state.output->failure();
            return false;
        }
        state.digest->update(data, size);
        state.written += size;
        reportReceived(size);
        return true;
    };
    const Exchange exchange = state.connection->fetch(job.host, request, state.ahead, check, sink);
    if (exchange.failure.empty())
        return true;
    if (exchange.sinkFailed) {
        fail(DownloadFailure::Local, "写文件失。磁盘空间是否足够 " + state.writeFailure);
        return false;
    }
    // Nothing past the staged file's end (416): it is longer than the file now
    // served, so it belongs to another version. More than announced cannot be
    // this file either.
    if (exchange.header.statusCode == 416 || exchange.failure == kBodyBeyondTotal) {
        state.output.reset();
        job.into->discard();
    }
    fail(DownloadFailure::Host, exchange.failure);
    return false;
}

bool HttpFileDownloader::download(bool resume)
{
    InnerData& job = *m_data;
    InterData& state = *m_inter;
    StagedFile& into = *job.into;
    Log::instance().write("准备下载：", transferPlace(job.path, job.host));
    job.failure = TransferFailure();
    state.written = 0;
    state.writeFailure.clear();
    try {
        state.held = hashHeldPart(into, resume, state.digest);
        if (state.held > 0 && job.sizeKnown && state.held == job.expectedSize) {
            // The part needs no request: a reply asked for ahead would come unread.
            if (state.connection->queue().due() > 0)
                state.connection->drop("预先请求的文件已不需要", job.path);
            job.digest = state.digest->finish();
            return true;
        }
        if (!openOutput())
            return false;
        const bool fetched = fetchRest();
        state.output.reset();
        // A staged file this attempt made and wrote nothing to is not left behind.
        if (!fetched && state.held == 0 && state.written == 0)
            into.discard();
        if (fetched)
            job.digest = state.digest->finish();
        return fetched;
    } catch (const std::bad_alloc&) {
        state.output.reset();
        state.connection->drop();
        fail(DownloadFailure::Local, "内存不足");
    } catch (const std::exception& error) {
        state.output.reset();
        state.connection->drop();
        fail(DownloadFailure::Host, error.what());
    }
    return false;
}

}  // namespace gametool
