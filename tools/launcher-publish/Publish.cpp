#include "tools/launcher-publish/Publish.h"

#include "support/DeltaIndex.h"
#include "support/FileDigest.h"
#include "support/Package.h"
#include "support/StagedFile.h"

#include <boost/filesystem/directory.hpp>
#include <boost/optional.hpp>
#include <boost/filesystem/fstream.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/property_tree/info_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <sstream>

namespace fs = boost::filesystem;
namespace pt = boost::property_tree;

namespace publish {

namespace {

const std::uint64_t kMaxEntryLength = std::numeric_limits<std::uint32_t>::max();
const std::size_t kChunk = 1 << 20;

bool samePath(const fs::path& a, const fs::path& b)
{
    boost::system::error_code error;
    return !b.empty() && fs::exists(b, error) && fs::equivalent(a, b, error);
}

void requireDirectory(const fs::path& directory)
{
    boost::system::error_code error;
    if (!fs::is_directory(directory, error))
        throw Error("not a directory: " + quoted(directory));
}

// The package, written as it is compressed, through a staged file that replaces
// `target` only when complete, so a failed run never leaves a half-written file
// where a good one was.
class AtomicOutput {
public:
    explicit AtomicOutput(const fs::path& target)
        : target_(target), staged_(target.wstring()), file_(staged_.open(false))
    {
        if (!file_)
            throw Error("cannot write " + quoted(staged_.path()));
    }

    void write(const void* data, std::size_t size)
    {
        if (!file_->write(data, static_cast<std::int64_t>(size)))
            throw Error("cannot write " + quoted(staged_.path()) + ": " + file_->failure());
    }

    void commit()
    {
        file_.reset();
        const std::string reason = staged_.place();
        if (!reason.empty())
            throw Error("cannot replace " + quoted(target_) + ": " + reason);
    }

private:
    fs::path target_;
    StagedFile staged_;
    std::unique_ptr<FileManager::File> file_;
};

class Deflater {
public:
    explicit Deflater(AtomicOutput& output) : output_(output), buffer_(kChunk)
    {
        std::memset(&stream_, 0, sizeof stream_);
        if (deflateInit(&stream_, Z_BEST_COMPRESSION) != Z_OK)
            throw Error("cannot start compression");
    }

    ~Deflater() { deflateEnd(&stream_); }

    void write(const void* data, std::size_t size) { run(data, size, Z_NO_FLUSH); }
    // Ends the deflate block and forgets the window: what follows is compressed
    // as if the stream started here, so a changed entry leaves the bytes of every
    // later one as they were, and a patch of the package stays small. Still one
    // zlib stream, which every starter reads.
    void restart() { run(nullptr, 0, Z_FULL_FLUSH); }
    void finish() { run(nullptr, 0, Z_FINISH); }

private:
    void run(const void* data, std::size_t size, int flush)
    {
        stream_.next_in = static_cast<Bytef*>(const_cast<void*>(data));
        stream_.avail_in = static_cast<uInt>(size);
        int status;
        do {
            stream_.next_out = buffer_.data();
            stream_.avail_out = static_cast<uInt>(buffer_.size());
            status = deflate(&stream_, flush);
            if (status == Z_STREAM_ERROR)
                throw Error("compression failed");
            output_.write(buffer_.data(), buffer_.size() - stream_.avail_out);
        } while (stream_.avail_out == 0 || (flush == Z_FINISH && status != Z_STREAM_END));
    }

    AtomicOutput& output_;
    z_stream stream_;
    std::vector<Bytef> buffer_;
};

void putLength(Deflater& deflater, std::uint64_t length, const std::string& what)
{
    if (length > kMaxEntryLength)
        throw Error(what + " is longer than a package entry can be (4 GiB - 1)");
    const std::uint32_t value = static_cast<std::uint32_t>(length);
    const unsigned char bytes[4] = {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
                                    static_cast<unsigned char>(value >> 16),
                                    static_cast<unsigned char>(value >> 24)};
    deflater.write(bytes, sizeof bytes);
}

// YYYYMMDD_HHMMSS, the form the starter compares deletion times in.
bool isTimestamp(const std::string& text)
{
    if (text.size() != 15)
        return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool ok = i == 8 ? text[i] == '_' : (text[i] >= '0' && text[i] <= '9');
        if (!ok)
            return false;
    }
    return true;
}

// `utf8` as the starters will read it; `what` says what it is, for the error.
std::string starterName(NameEncoding encoding, const std::string& utf8, const std::string& what = "the name")
{
    std::string bytes;
    if (!encodeName(encoding, utf8, bytes))
        throw Error(what + " " + quoted(utf8) + " cannot be written in the starters' encoding" +
                    (encoding == NameEncoding::Gbk ? " (gbk)" : " (utf-8)"));
    return bytes;
}

// The "delta_index" entry for the one delta/index-*.cfg below the host root, if any.
boost::optional<pt::ptree> deltaIndexEntry(const fs::path& httpDirectory)
{
    const fs::path directory = httpDirectory / kDeltaDirectory;
    boost::system::error_code error;
    if (!fs::is_directory(directory, error))
        return boost::none;
    std::vector<std::string> indexes;
    for (const std::string& name : listFiles(directory)) {
        if (name.size() > 10 && name.compare(0, 6, "index-") == 0 && name.find('/') == std::string::npos &&
            name.compare(name.size() - 4, 4, ".cfg") == 0)
            indexes.push_back(name);
    }
    if (indexes.empty())
        return boost::none;
    if (indexes.size() > 1)
        throw Error(quoted(directory) + " holds " + std::to_string(indexes.size()) +
                    " delta indexes; run \"delta\" again to leave one");
    const fs::path index = directory / indexes.front();
    pt::ptree entry;
    entry.push_back(std::make_pair("path", pt::ptree(std::string(kDeltaDirectory) + indexes.front())));
    entry.push_back(std::make_pair("size", pt::ptree(std::to_string(fs::file_size(index)))));
    entry.push_back(std::make_pair("sha1", pt::ptree(computeFileSha1(index.wstring()))));
    return entry;
}

void writeInfo(const pt::ptree& tree, const fs::path& output)
{
    std::ostringstream text;
    pt::write_info(text, tree, pt::info_writer_make_settings(' ', 4));
    writeOutput(output, text.str());
}

}  // namespace

std::string quoted(const fs::path& path)
{
    return "\"" + path.string() + "\"";
}

void writeOutput(const fs::path& path, const std::string& content)
{
    const std::string reason = writeWholeFile(path.wstring(), content);
    if (!reason.empty())
        throw Error("cannot write " + quoted(path) + ": " + reason);
}

std::vector<std::string> listFiles(const fs::path& directory, const fs::path& exclude)
{
    requireDirectory(directory);
    std::vector<std::string> names;
    boost::system::error_code error;
    for (fs::recursive_directory_iterator it(directory, error), end; it != end; it.increment(error)) {
        if (error)
            throw Error("cannot read " + quoted(directory) + ": " + error.message());
        const fs::file_status status = it->symlink_status();
        if (fs::is_directory(status))
            continue;
        if (!fs::is_regular_file(status))
            throw Error("not a regular file: " + quoted(it->path()));
        if (samePath(it->path(), exclude))
            continue;
        names.push_back(it->path().lexically_relative(directory).generic_string());
    }
    if (error)
        throw Error("cannot read " + quoted(directory) + ": " + error.message());
    std::sort(names.begin(), names.end());
    return names;
}

std::size_t writePackage(const fs::path& sourceDirectory, const fs::path& packagePath, NameEncoding encoding)
{
    const std::vector<std::string> names = listFiles(sourceDirectory, packagePath);
    // Every name before the first byte is written: a refused name leaves no package.
    std::vector<std::string> entryNames;
    for (const std::string& name : names)
        entryNames.push_back(starterName(encoding, name));

    AtomicOutput output(packagePath);
    Deflater deflater(output);
    deflater.write(packageMarker, std::strlen(packageMarker));
    deflater.restart();

    std::vector<char> buffer(kChunk);
    for (std::size_t i = 0; i < names.size(); ++i) {
        const fs::path source = sourceDirectory / names[i];
        const std::string& name = entryNames[i];
        boost::system::error_code error;
        const std::uint64_t size = fs::file_size(source, error);
        if (error)
            throw Error("cannot read " + quoted(source) + ": " + error.message());
        fs::ifstream input(source, std::ios::binary);
        if (!input)
            throw Error("cannot read " + quoted(source));

        putLength(deflater, name.size(), "the name " + quoted(name));
        deflater.write(name.data(), name.size());
        putLength(deflater, size, quoted(source));

        std::uint64_t remaining = size;
        while (remaining > 0) {
            const std::size_t want =
                static_cast<std::size_t>(std::min<std::uint64_t>(remaining, buffer.size()));
            input.read(buffer.data(), static_cast<std::streamsize>(want));
            const std::size_t got = static_cast<std::size_t>(input.gcount());
            if (got != want)
                throw Error(quoted(source) + " changed while it was packed");
            deflater.write(buffer.data(), got);
            remaining -= got;
        }
        deflater.restart();
    }
    deflater.finish();
    output.commit();
    return names.size();
}

std::vector<ListedFile> writeLauncherInfo(const fs::path& filesDirectory, const FileGroupSettings& settings,
                                          const fs::path& output)
{
    if (settings.updaterName.empty())
        throw Error("the program to start (updater_name) is missing");
    if (settings.hosts.empty())
        throw Error("at least one download host is needed");
    for (const std::string& host : settings.hosts) {
        if (host.empty())
            throw Error("a download host is empty");
    }

    const NameEncoding encoding = settings.nameEncoding;
    const std::string updaterName = starterName(encoding, settings.updaterName, "updater_name");
    const std::string gameClientPath = starterName(encoding, settings.gameClientPath, "gameclient_path");
    const std::string saveDir = starterName(encoding, settings.saveDir, "save_dir");

    const fs::path httpDirectory = settings.httpDirectory.empty() ? filesDirectory : settings.httpDirectory;
    const std::string deltaPrefix = kDeltaDirectory;
    boost::system::error_code sameError;
    const bool filesAreHostRoot = fs::equivalent(filesDirectory, httpDirectory, sameError);
    std::vector<ListedFile> files;
    for (const std::string& name : listFiles(filesDirectory, output)) {
        if (filesAreHostRoot && name.compare(0, deltaPrefix.size(), deltaPrefix) == 0)
            continue;
        ListedFile file;
        file.name = starterName(encoding, name);
        // Percent-encoded UTF-8, the prefix included: any HTTP host finds the file
        // under its UTF-8 name, whatever code page the starter runs in.
        file.path = percentEncodePath(settings.pathPrefix + name);
        const fs::path local = filesDirectory / name;
        file.sha1 = computeFileSha1(local.wstring());
        file.size = fs::file_size(local);
        files.push_back(file);
    }

    pt::ptree tree;
    tree.push_back(std::make_pair("updater_name", pt::ptree(updaterName)));
    tree.push_back(std::make_pair("gameclient_path", pt::ptree(gameClientPath)));
    pt::ptree updater;
    pt::ptree hosts;
    for (const std::string& host : settings.hosts)
        hosts.push_back(std::make_pair("host", pt::ptree(host)));
    updater.push_back(std::make_pair("host_list", hosts));
    updater.push_back(std::make_pair("save_dir", pt::ptree(saveDir)));
    if (settings.concurrentDownloads > 0)
        updater.push_back(
            std::make_pair("concurrent_downloads", pt::ptree(std::to_string(settings.concurrentDownloads))));
    pt::ptree list;
    for (const ListedFile& file : files) {
        pt::ptree node;
        node.push_back(std::make_pair("name", pt::ptree(file.name)));
        node.push_back(std::make_pair("path", pt::ptree(file.path)));
        node.push_back(std::make_pair("sha1", pt::ptree(file.sha1)));
        node.push_back(std::make_pair("size", pt::ptree(std::to_string(file.size))));
        list.push_back(std::make_pair("file", node));
    }
    updater.push_back(std::make_pair("file_list", list));
    const boost::optional<pt::ptree> deltaIndex = deltaIndexEntry(httpDirectory);
    if (deltaIndex)
        updater.push_back(std::make_pair("delta_index", *deltaIndex));
    tree.push_back(std::make_pair("updater", updater));

    writeInfo(tree, output);
    return files;
}

std::vector<std::string> writeManifest(const fs::path& serverDirectory,
                                       const std::map<std::string, std::string>& places,
                                       const fs::path& output, NameEncoding encoding)
{
    requireDirectory(serverDirectory);
    std::vector<std::string> names;
    boost::system::error_code error;
    for (fs::directory_iterator it(serverDirectory, error), end; it != end; it.increment(error)) {
        const fs::file_status status = it->symlink_status();
        const std::string name = it->path().filename().string();
        if (fs::is_directory(status)) {
            throw Error("subdirectory " + quoted(it->path()) +
                        ": the version server's files stand in its directory itself; "
                        "choose where a file goes on the player's side with --place NAME=DIR");
        }
        if (!fs::is_regular_file(status))
            throw Error("not a regular file: " + quoted(it->path()));
        if (name == "files.cfg" || samePath(it->path(), output))
            continue;
        boost::system::error_code sizeError;
        if (fs::file_size(it->path(), sizeError) == 0 && !sizeError) {
            throw Error("empty file " + quoted(it->path()) +
                        ": the version server's empty reply means \"your copy is current\", so no "
                        "starter could ever receive it; give it content or leave it out");
        }
        names.push_back(name);
    }
    if (error)
        throw Error("cannot read " + quoted(serverDirectory) + ": " + error.message());
    std::sort(names.begin(), names.end());

    for (const auto& place : places) {
        if (!std::binary_search(names.begin(), names.end(), place.first))
            throw Error("--place names " + quoted(place.first) + ", which is not in " +
                        quoted(serverDirectory));
    }

    pt::ptree tree;
    for (const std::string& name : names) {
        const auto place = places.find(name);
        const std::string directory = place == places.end()
                                          ? std::string()
                                          : starterName(encoding, place->second, "the place of " + name);
        tree.push_back(std::make_pair(starterName(encoding, name), pt::ptree(directory)));
    }
    writeInfo(tree, output);
    return names;
}

void writeDeletionList(const std::map<std::string, std::string>& entries, const fs::path& output,
                       NameEncoding encoding)
{
    pt::ptree tree;
    for (const auto& entry : entries) {
        if (entry.first.empty())
            throw Error("an empty path cannot be deleted");
        const std::string& stamp = entry.second;
        if (!stamp.empty() && !isTimestamp(stamp))
            throw Error("time stamp " + quoted(stamp) + " of " + quoted(entry.first) +
                        " is not YYYYMMDD_HHMMSS");
        tree.push_back(std::make_pair(starterName(encoding, entry.first, "the path"), pt::ptree(stamp)));
    }
    writeInfo(tree, output);
}

}  // namespace publish
