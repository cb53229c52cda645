#include "tests/engine/EngineTestSupport.h"

#include "platform/Platform.h"
#include "support/Log.h"
#include "support/TextConvert.h"

#include <boost/filesystem/fstream.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/uuid/detail/sha1.hpp>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <stdexcept>

namespace fs = boost::filesystem;

namespace {

fs::path g_base;
fs::path g_log;
int g_sandboxes = 0;

std::uintmax_t logSize()
{
    boost::system::error_code error;
    const std::uintmax_t size = fs::file_size(g_log, error);
    return error ? 0 : size;
}

void appendLittleEndian(std::string& out, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out += static_cast<char>((value >> (8 * i)) & 0xff);
}

}  // namespace

void RecordingEventSet::onEvent(UpdateEvent& event)
{
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(event);
    thread_ = std::this_thread::get_id();
    if (event.kind == throwOnKind)
        throw std::runtime_error("sink refused");
}

std::string RecordingEventSet::sequence() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::ostringstream out;
    std::uint64_t bytes = 0;
    bool inBytes = false;
    auto flushBytes = [&] {
        if (inBytes)
            out << "B(" << bytes << ") ";
        inBytes = false;
        bytes = 0;
    };
    for (const UpdateEvent& event : events_) {
        switch (event.kind) {
        case UpdateEvent::Progress:
            flushBytes();
            out << "P(" << boost::get<std::uint64_t>(event.first) << ","
                << boost::get<std::uint64_t>(event.second) << ") ";
            break;
        case UpdateEvent::BytesReceived:
            inBytes = true;
            bytes += boost::get<std::uint64_t>(event.first);
            if (boost::get<std::uint64_t>(event.second) != 0)
                out << "B-second-not-zero ";
            break;
        case UpdateEvent::Finished:
            flushBytes();
            out << "F(" << boost::get<std::int32_t>(event.first) << ") ";
            if (boost::get<std::uint64_t>(event.second) != 0)
                out << "F-second-not-zero ";
            break;
        default:
            flushBytes();
            out << "?(" << event.kind << ") ";
        }
    }
    flushBytes();
    std::string text = out.str();
    if (!text.empty())
        text.pop_back();
    return text;
}

std::thread::id RecordingEventSet::lastThread() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return thread_;
}

void initTestDirectory()
{
    initPathConversion();
    g_base = fs::temp_directory_path() / fs::unique_path("engine-tests-%%%%-%%%%-%%%%");
    fs::create_directories(g_base);
    fs::current_path(g_base);
    Log::instance().write("engine tests");
    g_log = fs::absolute(fs::path(Log::instance().filePath()), g_base);
    // A box would wait for a user who is not there.
    platform::setMessageBoxHandler([](const std::wstring&, const std::wstring&, unsigned) {});
}

void removeTestDirectory()
{
    fs::current_path(g_base.parent_path());
    boost::system::error_code ignored;
    fs::remove_all(g_base, ignored);
}

Sandbox::Sandbox() : logStart_(logSize())
{
    root_ = g_base / ("t" + std::to_string(++g_sandboxes));
    fs::create_directories(work());
    fs::current_path(work());
}

Sandbox::~Sandbox()
{
    fs::current_path(g_base);
    boost::system::error_code ignored;
    fs::remove_all(root_, ignored);
}

std::string Sandbox::log() const
{
    std::string text = readFile(g_log).substr(logStart_);
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

void writeFile(const fs::path& path, const std::string& content)
{
    if (path.has_parent_path())
        fs::create_directories(path.parent_path());
    fs::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out)
        throw std::runtime_error("cannot write " + path.string());
}

std::string readFile(const fs::path& path)
{
    fs::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::string sha1Of(const std::string& content)
{
    boost::uuids::detail::sha1 sha;
    sha.process_bytes(content.data(), content.size());
    unsigned int words[5];
    sha.get_digest(words);
    char text[41];
    for (int i = 0; i < 5; ++i)
        std::snprintf(text + 8 * i, 9, "%08x", words[i]);
    return std::string(text, 40);
}

std::string makePackage(const std::vector<std::pair<std::string, std::string>>& entries)
{
    std::string raw = "abc_morvelant";
    for (const auto& entry : entries) {
        appendLittleEndian(raw, static_cast<std::uint32_t>(entry.first.size()));
        raw += entry.first;
        appendLittleEndian(raw, static_cast<std::uint32_t>(entry.second.size()));
        raw += entry.second;
    }
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    std::string packed(size, '\0');
    if (compress(reinterpret_cast<Bytef*>(&packed[0]), &size, reinterpret_cast<const Bytef*>(raw.data()),
                 static_cast<uLong>(raw.size())) != Z_OK)
        throw std::runtime_error("compress failed");
    packed.resize(size);
    return packed;
}

std::string launcherInfo(const std::string& hosts, const std::string& saveDir, const std::string& files,
                         const std::string& updaterName)
{
    return "updater_name \"" + updaterName + "\"\ngameclient_path \"-game\"\nupdater\n{\n"
           "    host_list\n    {\n" + hosts + "    }\n    save_dir \"" + saveDir + "\"\n"
           "    file_list\n    {\n" + files + "    }\n}\n";
}

std::string fileNode(const std::string& name, const std::string& path, const std::string& sha1,
                     std::uint64_t size)
{
    return "        file\n        {\n            name \"" + name + "\"\n            path \"" + path +
           "\"\n            sha1 \"" + sha1 + "\"\n            size " + std::to_string(size) +
           "\n        }\n";
}
