#include "net/HttpFileDownloader.h"
#include "net/VersionProtocol.h"

#include "support/Decimal.h"
#include "support/FileDigest.h"
#include "support/FileManager.h"
#include "support/Log.h"
#include "support/TextConvert.h"

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/asio/buffers_iterator.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/system/system_error.hpp>

#include <algorithm>
#include <chrono>
#include <exception>
#include <locale>
#include <sstream>
#include <utility>
#include <vector>

namespace gametool {

namespace {

using boost::asio::ip::tcp;
using boost::system::error_code;

const char kService[] = "80";
const char kHeaderEnd[] = "\r\n\r\n";
const std::size_t kHeaderEndLength = 4;
// A response header that has not ended within this many bytes is refused.
const std::size_t kHeaderLimit = 64 * 1024;
// The least one body read asks for: enough to see the end of the connection, or
// bytes beyond the announced total, without growing the buffer for them.
const std::size_t kLeastPiece = 4096;
// The configuration may name a path of any length; the log keeps its start.
const std::size_t kLoggedPathLimit = 1024;

typedef boost::asio::buffers_iterator<boost::asio::streambuf::const_buffers_type> BufferIterator;

std::string loggedPath(const std::string& path)
{
    return path.size() <= kLoggedPathLimit ? path : path.substr(0, kLoggedPathLimit) + "...";
}

std::string trimmed(const std::string& text)
{
    const char* blanks = " \t\r\n\v\f";
    const std::string::size_type first = text.find_first_not_of(blanks);
    if (first == std::string::npos) {
        return std::string();
    }
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

void parseContentRange(const std::string& line, ResponseHeader& header)
{
    const std::string::size_type blank = line.rfind(' ');
    const std::string value = trimmed(blank == std::string::npos ? line : line.substr(blank + 1));
    std::vector<std::string> parts;
    boost::algorithm::split(parts, value, boost::algorithm::is_any_of("-/"));
    std::uint64_t first = 0, last = 0, total = 0;
    // A line that does not hold three plain numbers says nothing usable.
    if (parts.size() != 3 || !parseDecimal(parts[0], first) || !parseDecimal(parts[1], last) ||
        !parseDecimal(parts[2], total)) {
        return;
    }
    header.rangeStart = first;
    header.rangeLength = last - first + 1;
    header.rangeTotal = total;
}

// Completes the header read at the end mark, or once the limit is passed
// without one (the handler then refuses the header).
class HeaderEndMatch {
public:
    typedef std::pair<BufferIterator, bool> result_type;

    explicit HeaderEndMatch(const boost::asio::streambuf* buffer) : buffer_(buffer) {}

    result_type operator()(BufferIterator begin, BufferIterator end) const
    {
        const BufferIterator found = std::search(begin, end, kHeaderEnd, kHeaderEnd + kHeaderEndLength);
        if (found != end) {
            return result_type(found + kHeaderEndLength, true);
        }
        if (buffer_->size() >= kHeaderLimit) {
            return result_type(end, true);
        }
        // The end mark may straddle two reads: search again from its possible start.
        const std::ptrdiff_t keep = std::min<std::ptrdiff_t>(kHeaderEndLength - 1, end - begin);
        return result_type(end - keep, false);
    }

private:
    const boost::asio::streambuf* buffer_;
};

}  // namespace

struct HttpTransferContext::Parts {
    explicit Parts(std::size_t piece) : bodyPiece(piece) {}

    boost::asio::io_context ioService;
    // The buffer never grows beyond a body piece and what the header read left in it.
    boost::asio::streambuf responseBuffer;
    // Open between downloads only when the last reply left it fit for the next
    // request; `openHost` names the host it goes to.
    tcp::socket socket{ioService};
    std::string openHost;
    // A request sent ahead on that connection whose reply has not been read:
    // the path it asked for, from the start of the file. The reply's first bytes
    // may already wait in the buffer.
    bool requestAhead = false;
    std::string aheadPath;
    const std::size_t bodyPiece;
};

HttpTransferContext::HttpTransferContext(std::size_t bodyPiece)
    : m_parts(new Parts(std::max(bodyPiece, std::size_t(64 * 1024))))
{
}

HttpTransferContext::~HttpTransferContext() = default;

bool parseHeader(std::istream& input, ResponseHeader& header)
{
    // Numbers on the wire never carry the user's digit grouping.
    input.imbue(std::locale::classic());
    input >> header.httpVersion >> header.statusCode;
    std::getline(input, header.reason);
    if (!input || header.httpVersion.compare(0, 5, "HTTP/") != 0) {
        return false;
    }
    if (header.statusCode != 200 && header.statusCode != 206) {
        return false;
    }
    bool closes = false;
    std::string line;
    while (std::getline(input, line) && line != "\r") {
        if (boost::algorithm::istarts_with(line, "Connection:")) {
            const std::string value = trimmed(line.substr(line.find(':') + 1));
            closes = closes || boost::algorithm::iequals(value, "close");
            header.keepAlive = header.keepAlive || boost::algorithm::iequals(value, "keep-alive");
            continue;
        }
        if (boost::algorithm::starts_with(line, "Content-Length:")) {
            std::uint64_t value = 0;
            if (parseDecimal(trimmed(line.substr(line.rfind(':') + 1)), value)) {
                header.contentLength = value;
            }
        } else if (boost::algorithm::starts_with(line, "Content-Range:")) {
            parseContentRange(line, header);
        }
    }
    header.keepAlive = !closes && (header.keepAlive || header.httpVersion == "HTTP/1.1");
    return true;
}

struct HttpFileDownloader::InterData : std::enable_shared_from_this<HttpFileDownloader::InterData> {
    InterData(HttpFileDownloader* downloader, std::shared_ptr<HttpTransferContext> shared)
        : owner(downloader),
          context(shared ? std::move(shared) : std::make_shared<HttpTransferContext>()),
          ioService(context->parts().ioService),
          responseBuffer(&context->parts().responseBuffer),
          socket(context->parts().socket)
    {
    }

    HttpFileDownloader* owner;
    // Declared before everything bound to its I/O context, so that it goes last.
    std::shared_ptr<HttpTransferContext> context;
    boost::asio::io_context& ioService;
    boost::asio::streambuf* responseBuffer;
    ResponseHeader header;
    boost::asio::streambuf requestBuffer;
    std::uint64_t totalSize = 0;
    std::uint64_t receivedSize = 0;
    std::wstring tempPath;
    std::string requestText;
    std::unique_ptr<FileManager::File> outputFile;
    // Everything in the temporary file so far, the part left by an earlier attempt included.
    std::unique_ptr<StreamDigest> digest;
    tcp::socket& socket;
    // This download went out on the connection an earlier reply left open.
    bool reusing = false;
    // The reply ended at its announced length on a connection the host keeps open.
    bool keepConnection = false;
    // The next file's path, asked for with this file's request when not empty.
    std::string nextPath;
    tcp::resolver resolver{ioService};
    tcp::resolver::results_type endpoints;
    boost::asio::steady_timer deadline{ioService};
    bool resume = false;
    std::chrono::milliseconds stepDeadline{kDefaultStepDeadline};
    // The body's own deadline, set once its size is known.
    std::chrono::milliseconds transferDeadline{kDefaultTransferDeadline};
    std::uint64_t minimumRate = kDefaultMinimumRate;
    bool transferLimited = false;
    bool transferOverdue = false;
    std::chrono::steady_clock::time_point transferExpiry;
    std::chrono::steady_clock::time_point stepExpiry;
    bool deadlineActive = false;
    bool timerWaiting = false;
    std::chrono::steady_clock::time_point timerExpiry;
    unsigned timerWaits = 0;
    // Set when the run failed: the handlers still queued only drain away.
    bool abandoned = false;

    FileDownloader::InnerData& job() { return *owner->m_data; }

    // The step deadline. Re-arming only moves the expiry time; the timer itself
    // is set again when it fires early, so a busy transfer costs no timer calls.
    void armDeadline()
    {
        stepExpiry = std::chrono::steady_clock::now() + stepDeadline;
        if (transferLimited && transferExpiry < stepExpiry)
            stepExpiry = transferExpiry;
        deadlineActive = true;
        // A later expiry waits for the timer to fire; an earlier one (the body's
        // own deadline) moves it.
        if (timerWaiting && stepExpiry >= timerExpiry) {
            return;
        }
        try {
            deadline.expires_at(stepExpiry);
        } catch (const std::exception& error) {
            Log::instance().write(error.what());
        }
        waitForDeadline();
    }

    void waitForDeadline()
    {
        timerWaiting = true;
        timerExpiry = stepExpiry;
        const unsigned wait = ++timerWaits;
        std::shared_ptr<InterData> self = shared_from_this();
        deadline.async_wait([self, wait](const error_code& error) { self->onDeadline(error, wait); });
    }

    void onDeadline(const error_code& error, unsigned wait)
    {
        // A wait that a moved expiry replaced.
        if (wait != timerWaits) {
            return;
        }
        timerWaiting = false;
        if (error || abandoned || !deadlineActive) {
            return;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now < stepExpiry) {
            deadline.expires_at(stepExpiry);
            waitForDeadline();
            return;
        }
        transferOverdue = transferLimited && now >= transferExpiry;
        closeSocket();
    }

    void cancelDeadline()
    {
        deadlineActive = false;
        error_code ignored;
        deadline.cancel(ignored);
    }

    void closeSocket() { versionprotocol::closeQuietly(socket); }

    void discardTempFile()
    {
        outputFile.reset();
        FileManager::instance().deleteFile(tempPath, true);
    }

    // When resuming, hashes the part an earlier attempt left, so that the
    // content is read only once. True when that part already has the expected
    // size: it needs no request at all (the caller's digest check decides).
    bool hashExistingPart()
    {
        FileManager& files = FileManager::instance();
        tempPath = job().tempPath;
        digest.reset(new StreamDigest);
        std::int64_t existing = 0;
        if (resume && files.isFile(tempPath)) {
            existing = digest->updateFromFile(tempPath);
            if (existing < 0) {
                existing = 0;
                digest.reset(new StreamDigest);
            }
        }
        receivedSize = std::uint64_t(existing);
        if (existing > 0 && job().sizeKnown && receivedSize == job().expectedSize) {
            totalSize = receivedSize;
            return true;
        }
        return false;
    }

    // Opens the temporary file: continued after the hashed part, or emptied.
    bool openTempFile()
    {
        FileManager& files = FileManager::instance();
        const std::wstring parent = boost::filesystem::path(job().localPath).parent_path().wstring();
        const FileResult made = parent.empty() ? FileResult::Done : files.createDirectories(parent);
        if (!made) {
            if (made.refused() && job().listener)
                job().listener->onOperationRefused();
            Log::instance().write("创建存储目录失败:", wideToNarrow(parent));
            job().failure = DownloadFailure::Local;
            return false;
        }
        outputFile = files.openFile(tempPath, receivedSize > 0);
        if (!outputFile || (receivedSize > 0 && outputFile->position() != std::int64_t(receivedSize))) {
            outputFile.reset();
            Log::instance().write("打开输出文件失败:", wideToNarrow(tempPath));
            job().failure = DownloadFailure::Local;
            return false;
        }
        return true;
    }

    void onResolved(const error_code& error, const tcp::resolver::results_type& results)
    {
        if (abandoned) {
            return;
        }
        if (error) {
            Log::instance().write("主机解析错误：", job().host, error.message());
            cancelDeadline();
            return;
        }
        if (!openTempFile()) {
            cancelDeadline();
            return;
        }
        endpoints = results;

        armDeadline();
        std::shared_ptr<InterData> self = shared_from_this();
        boost::asio::async_connect(socket, endpoints,
                                   [self](const error_code& connectError, const tcp::endpoint&) {
                                       self->onConnected(connectError);
                                   });
    }

    // The request goes out on the connection the last reply left open to this
    // host, or on a new one.
    void start()
    {
        requestText = requestFor(job().path);
        HttpTransferContext::Parts& shared = context->parts();
        const bool open = socket.is_open() && shared.openHost == job().host;
        // A reply to a request for something else would come first: such a
        // connection is of no use.
        const bool askedAhead =
            open && shared.requestAhead && shared.aheadPath == job().path && receivedSize == 0;
        const bool usable = open && (!shared.requestAhead || askedAhead);
        shared.openHost.clear();
        shared.requestAhead = false;
        if (askedAhead) {
            reusing = true;
            if (openTempFile())
                readHeader();
        } else if (usable) {
            continueOnOpenConnection();
        } else {
            dropConnection();
            resolve();
        }
    }

    std::string requestFor(const std::string& path)
    {
        return "GET /" + path + " HTTP/1.0\r\n" + "Host: " + job().host + "\r\n" + "Accept: */*\r\n" +
               "Connection: keep-alive\r\n";
    }

    // Closes the connection with whatever of it was buffered.
    void dropConnection()
    {
        closeSocket();
        context->parts().requestAhead = false;
        responseBuffer->consume(responseBuffer->size());
    }

    void resolve()
    {
        std::shared_ptr<InterData> self = shared_from_this();
        resolver.async_resolve(job().host, kService,
                               tcp::resolver::all_matching | tcp::resolver::numeric_service,
                               [self](const error_code& error, const tcp::resolver::results_type& results) {
                                   self->onResolved(error, results);
                               });
        armDeadline();
    }

    // The connection an earlier reply left open carries this request too.
    void continueOnOpenConnection()
    {
        reusing = true;
        if (!openTempFile()) {
            return;
        }
        sendRequest();
    }

    // A kept connection the host has closed meanwhile fails before any byte of
    // a reply: the request goes out once more on a new connection.
    bool reconnectAfterStaleConnection()
    {
        if (!reusing || responseBuffer->size() > 0) {
            return false;
        }
        reusing = false;
        dropConnection();
        outputFile.reset();
        resolve();
        return true;
    }

    void onConnected(const error_code& error)
    {
        if (abandoned) {
            return;
        }
        if (error) {
            Log::instance().write("连接到服务器失败：", error.message());
            cancelDeadline();
            return;
        }
        sendRequest();
    }

    void sendRequest()
    {
        std::string request = requestText + "Range: bytes=" + std::to_string(receivedSize) + "-\r\n\r\n";
        // The next file's request rides along: its reply follows this one on
        // the connection without a round trip of its own.
        HttpTransferContext::Parts& shared = context->parts();
        shared.requestAhead = !nextPath.empty();
        if (shared.requestAhead) {
            shared.aheadPath = nextPath;
            request += requestFor(nextPath) + "Range: bytes=0-\r\n\r\n";
        }
        requestBuffer.sputn(request.data(), std::streamsize(request.size()));
        armDeadline();
        std::shared_ptr<InterData> self = shared_from_this();
        boost::asio::async_write(socket, requestBuffer, [self](const error_code& writeError, std::size_t) {
            self->onRequestSent(writeError);
        });
    }

    void onRequestSent(const error_code& error)
    {
        if (abandoned) {
            return;
        }
        if (error) {
            if (reconnectAfterStaleConnection()) {
                return;
            }
            Log::instance().write("服务器请求发送失败", error.message());
            cancelDeadline();
            return;
        }
        readHeader();
    }

    void readHeader()
    {
        armDeadline();
        std::shared_ptr<InterData> self = shared_from_this();
        boost::asio::async_read_until(
            socket, *responseBuffer, HeaderEndMatch(responseBuffer),
            [self](const error_code& readError, std::size_t size) { self->onHeaderRead(readError, size); });
    }

    // The reply ends at its announced length and leaves the connection open:
    // what follows it belongs to the next reply.
    bool endsAtItsLength() const
    {
        return header.keepAlive && header.contentLength == totalSize - header.rangeStart;
    }

    void onHeaderRead(error_code error, std::size_t size)
    {
        if (abandoned) {
            return;
        }
        std::size_t headerLength = 0;
        if (!error) {
            const boost::asio::streambuf::const_buffers_type data = responseBuffer->data();
            const BufferIterator begin = boost::asio::buffers_begin(data);
            const BufferIterator end = begin + std::ptrdiff_t(size);
            const BufferIterator found = std::search(begin, end, kHeaderEnd, kHeaderEnd + kHeaderEndLength);
            headerLength = std::size_t(found - begin) + kHeaderEndLength;
            if (found == end || headerLength > kHeaderLimit) {
                error = boost::asio::error::message_size;
            }
        }
        if (error) {
            if (reconnectAfterStaleConnection()) {
                return;
            }
            Log::instance().write("接收头部信息失败", error.message());
            cancelDeadline();
            return;
        }
        // Only the header's own bytes go to the parser; the body start stays buffered.
        std::istringstream headerStream(
            std::string(static_cast<const char*>(responseBuffer->data().data()), headerLength));
        responseBuffer->consume(headerLength);
        if (!parseHeader(headerStream, header)) {
            // Nothing past the temporary file's end: it is longer than the
            // file now served, so it belongs to another version.
            if (header.statusCode == 416) {
                discardTempFile();
            }
            Log::instance().write("解析头部信息失败");
            cancelDeadline();
            return;
        }
        if (!acceptRange()) {
            cancelDeadline();
            return;
        }
        limitTransfer();
        if (responseBuffer->size() > 0 && !writeBuffered()) {
            return;
        }
        readBody();
    }

    // Whether the range the server announced continues this file as it was
    // configured; a part that cannot be continued is removed. Logs why not.
    bool acceptRange()
    {
        // A whole body (200) would have to be told apart from the part already
        // held; it is refused before anything of it is written.
        if (header.statusCode != 206 || header.rangeTotal == 0) {
            Log::instance().write("服务器没有返回请求的文件范围:", std::to_string(header.statusCode));
            return false;
        }
        if (header.rangeStart != receivedSize) {
            Log::instance().write("服务器返回的文件范围起点不符:", std::to_string(header.rangeStart));
            discardTempFile();
            return false;
        }
        // Another size is another file, however long the server would go on.
        if (job().sizeKnown && header.rangeTotal != job().expectedSize) {
            Log::instance().write("服务器返回的文件尺寸不符:" + loggedPath(job().path),
                                  std::to_string(header.rangeTotal), std::to_string(job().expectedSize));
            discardTempFile();
            return false;
        }
        totalSize = header.rangeTotal;
        if (receivedSize > totalSize) {
            Log::instance().write("起始下载文件位置大于文件尺寸");
            discardTempFile();
            return false;
        }
        return true;
    }

    // The rest of the body must arrive within a time that grows with its size.
    void limitTransfer()
    {
        const std::uint64_t rest = totalSize - receivedSize;
        const std::uint64_t rate = std::max<std::uint64_t>(minimumRate, 1);
        transferExpiry = std::chrono::steady_clock::now() + transferDeadline +
                         std::chrono::milliseconds(rest / rate * 1000 + rest % rate * 1000 / rate);
        transferLimited = true;
    }

    // Completes with whatever has arrived, at least one byte and at most one
    // piece, so the buffer never holds more than a piece of the body.
    void readBody()
    {
        // A reply of announced length on a connection the host keeps open ends
        // with its last byte; any other is read to the connection's end, so that
        // a byte too many is seen and none is left for the next request.
        if (receivedSize == totalSize && endsAtItsLength()) {
            cancelDeadline();
            outputFile.reset();
            // Bytes beyond the reply that no request asked for are the host's error.
            keepConnection = context->parts().requestAhead || responseBuffer->size() == 0;
            return;
        }
        armDeadline();
        // Asking for no more than the rest of the file keeps a buffer that small
        // files share from growing (and being zero-filled) beyond what they need.
        const std::uint64_t rest = totalSize > receivedSize ? totalSize - receivedSize : 0;
        const std::uint64_t most = std::min<std::uint64_t>(rest, context->parts().bodyPiece);
        const std::size_t piece =
            std::size_t(endsAtItsLength() ? most : std::max<std::uint64_t>(kLeastPiece, most));
        std::shared_ptr<InterData> self = shared_from_this();
        socket.async_read_some(responseBuffer->prepare(piece),
                               [self](const error_code& readError, std::size_t size) {
                                   self->responseBuffer->commit(size);
                                   self->onBodyRead(readError);
                               });
    }

    // Writes everything buffered to the temporary file and reports it.
    bool writeBuffered()
    {
        std::size_t size = responseBuffer->size();
        // Behind a reply that ends at its length may come the next one.
        if (size > totalSize - receivedSize && endsAtItsLength())
            size = std::size_t(totalSize - receivedSize);
        // More than announced cannot be this file; the part is not kept.
        if (size > totalSize - receivedSize) {
            Log::instance().write("服务器返回的数据超出文件尺寸");
            discardTempFile();
            cancelDeadline();
            return false;
        }
        const void* data = responseBuffer->data().data();
        if (!outputFile->write(data, std::int64_t(size))) {
            Log::instance().write("写文件失。磁盘空间是否足够", wideToNarrow(tempPath),
                                  outputFile->failure());
            job().failure = DownloadFailure::Local;
            cancelDeadline();
            return false;
        }
        digest->update(data, size);
        responseBuffer->consume(size);
        owner->reportReceived(size);
        receivedSize += size;
        return true;
    }

    void onBodyRead(const error_code& error)
    {
        if (abandoned) {
            return;
        }
        if (!error) {
            if (writeBuffered()) {
                readBody();
            }
            return;
        }
        if (error == boost::asio::error::eof) {
            if (receivedSize != totalSize) {
                Log::instance().write("连接断开：", error.message());
            }
            cancelDeadline();
            outputFile.reset();
            closeSocket();
            return;
        }
        if (transferOverdue)
            Log::instance().write("传输过慢，已中断:", loggedPath(job().path));
        else
            Log::instance().write("下载文件内容失败：", error.message());
        cancelDeadline();
    }

    // After a failed run: stop everything and let the queued handlers run out,
    // so that none of them keeps this state alive.
    void abandon()
    {
        abandoned = true;
        for (int attempt = 0; attempt < 8; ++attempt) {
            try {
                cancelDeadline();
                closeSocket();
                resolver.cancel();
                ioService.restart();
                ioService.run();
                return;
            } catch (const std::exception&) {
                continue;
            }
        }
    }
};

HttpFileDownloader::HttpFileDownloader(const std::string& host, const std::string& path,
                                       const std::string& name, const std::wstring& localPath,
                                       std::shared_ptr<HttpTransferContext> context)
    : FileDownloader(host, path, name, localPath)
{
    initPathConversion();
    m_inter = std::make_shared<InterData>(this, std::move(context));
}

HttpFileDownloader::~HttpFileDownloader()
{
    m_inter->outputFile.reset();
}

void HttpFileDownloader::setStepDeadline(std::chrono::milliseconds deadline)
{
    m_inter->stepDeadline = deadline;
}

void HttpFileDownloader::askNextAhead(const std::string& path)
{
    m_inter->nextPath = path;
}

void HttpFileDownloader::setTransferDeadline(std::chrono::milliseconds base, std::uint64_t minimumRate)
{
    m_inter->transferDeadline = base;
    m_inter->minimumRate = minimumRate;
}

bool HttpFileDownloader::download(bool resume)
{
    InterData& state = *m_inter;
    try {
        const std::string& path = m_data->path;
        Log::instance().write("准备下载：", loggedPath(path));
        m_data->failure = DownloadFailure::None;
        state.resume = resume;
        state.header = ResponseHeader();
        state.reusing = false;
        state.keepConnection = false;
        state.ioService.restart();
        if (state.hashExistingPart()) {
            // The part needs no request: a reply asked for ahead would come unread.
            if (state.context->parts().requestAhead)
                state.dropConnection();
            m_data->digest = state.digest->finish();
            return true;
        }
        state.start();
        state.ioService.run();
    } catch (const std::exception& error) {
        Log::instance().write(error.what());
        state.abandon();
        state.outputFile.reset();
        m_data->failure = DownloadFailure::Host;
        return false;
    }
    state.outputFile.reset();
    if (state.keepConnection)
        state.context->parts().openHost = m_data->host;
    else
        state.dropConnection();
    if (state.totalSize != 0 && state.receivedSize == state.totalSize) {
        m_data->digest = state.digest->finish();
        return true;
    }
    // Whatever did not fail on this machine is the host's doing.
    if (m_data->failure == DownloadFailure::None)
        m_data->failure = DownloadFailure::Host;
    return false;
}

}  // namespace gametool
