#include "tools/launcher-publish/Release.h"
#include "tools/launcher-publish/Delta.h"
#include "tools/launcher-publish/Signing.h"

#include "support/DeltaIndex.h"

#include "support/Log.h"

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/filesystem/directory.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/property_tree/info_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <algorithm>
#include <charconv>
#include <iomanip>
#include <ostream>
#include <set>
#include <sstream>

namespace fs = boost::filesystem;
namespace pt = boost::property_tree;

namespace publish {

namespace {

const char kCurrent[] = "current";

// The smallest patch from an old file to a new one: (new SHA-1, old SHA-1) to its size.
typedef std::map<std::pair<std::string, std::string>, std::uint64_t> PatchSizes;

// Runs the patches against the older releases' download directories and
// reads back, from the index written, what each patch costs, and the index's own size.
PatchSizes writePatches(const fs::path& www, const std::vector<fs::path>& olderWww, std::ostream& out,
                        std::uint64_t& indexSize)
{
    PatchSizes sizes;
    indexSize = 0;
    const DeltaReport report = writeDelta(www, olderWww);
    if (report.indexPath.empty())
        return sizes;
    indexSize = fs::file_size(www / report.indexPath);
    out << "delta: " << report.patches << " patches, index " << report.indexPath << "\n";
    DeltaIndex index;
    std::string reason;
    if (!readDeltaIndex((www / report.indexPath).wstring(), index, reason))
        throw Error("cannot read back " + quoted(www / report.indexPath) + ": " + reason);
    for (const auto& file : index.files) {
        for (const DeltaPatch& patch : file.second.patches) {
            const auto key = std::make_pair(file.second.sha1, patch.fromSha1);
            const auto known = sizes.find(key);
            if (known == sizes.end() || known->second > patch.patch.size)
                sizes[key] = patch.patch.size;
        }
    }
    return sizes;
}

// A setting of RELEASE_CFG as text; empty when absent.
std::string text(const pt::ptree& tree, const std::string& key)
{
    return tree.get<std::string>(key, std::string());
}

bool wholeNumber(const std::string& value, std::uint64_t& number)
{
    const char* end = value.data() + value.size();
    const auto result = std::from_chars(value.data(), end, number);
    return !value.empty() && result.ec == std::errc() && result.ptr == end;
}

// The release number of a directory named "rN"; false for any other name.
bool releaseNumberOf(const std::string& name, std::uint64_t& number)
{
    return name.size() > 1 && name[0] == 'r' && wholeNumber(name.substr(1), number);
}

// Where a starter puts a file, for telling two of them apart: forward slashes,
// no "./", ASCII letters folded (Windows does not tell "A" from "a").
std::string installedKey(const std::string& directory, const std::string& name)
{
    std::string joined = directory.empty() ? name : directory + "/" + name;
    std::replace(joined.begin(), joined.end(), '\\', '/');
    std::string key;
    std::istringstream parts(joined);
    for (std::string part; std::getline(parts, part, '/');) {
        if (part.empty() || part == ".")
            continue;
        key += (key.empty() ? "" : "/") + boost::algorithm::to_lower_copy(part);
    }
    return key;
}

// The files of the last releases below `root`, newest first, without `number` itself.
std::vector<std::uint64_t> earlierReleases(const fs::path& root, std::uint64_t number, std::size_t most)
{
    std::vector<std::uint64_t> numbers;
    boost::system::error_code error;
    for (fs::directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
        std::uint64_t found = 0;
        if (releaseNumberOf(it->path().filename().string(), found) && found < number &&
            fs::is_directory(it->path() / "www"))
            numbers.push_back(found);
    }
    std::sort(numbers.rbegin(), numbers.rend());
    if (numbers.size() > most)
        numbers.resize(most);
    return numbers;
}

// The release ROOT/current names; 0 (and no directory) before the first.
std::uint64_t currentRelease(const fs::path& root, fs::path& directory)
{
    boost::system::error_code error;
    const fs::path link = root / kCurrent;
    if (!fs::is_symlink(fs::symlink_status(link, error)))
        return 0;
    const fs::path target = fs::read_symlink(link, error);
    std::uint64_t number = 0;
    if (error || !releaseNumberOf(target.filename().string(), number))
        throw Error(quoted(link) + " does not name a release directory rN");
    directory = target.is_absolute() ? target : root / target;
    return number;
}

// A group file as a configuration lists it: name (the starters' bytes) to its digest and size.
struct GroupEntry {
    std::string sha1;
    std::uint64_t size = 0;
};

struct GroupListing {
    std::string saveDir;
    std::map<std::string, GroupEntry> files;
};

// An INFO file of an earlier release; empty when the release has none.
pt::ptree readEarlier(const fs::path& file)
{
    pt::ptree tree;
    boost::system::error_code error;
    if (!fs::is_regular_file(file, error))
        return tree;
    try {
        pt::read_info(file.string(), tree);
    } catch (const pt::ptree_error& e) {
        throw Error("cannot read " + quoted(file) + ": " + e.what());
    }
    return tree;
}

GroupListing readGroup(const fs::path& launcherInfo)
{
    GroupListing listing;
    const pt::ptree tree = readEarlier(launcherInfo);
    listing.saveDir = text(tree, "updater.save_dir");
    const auto list = tree.get_child_optional("updater.file_list");
    if (!list)
        return listing;
    for (const auto& node : *list) {
        if (node.first != "file")
            continue;
        GroupEntry entry;
        entry.sha1 = text(node.second, "sha1");
        std::uint64_t size = 0;
        entry.size = wholeNumber(text(node.second, "size"), size) ? size : 0;
        listing.files.emplace(text(node.second, "name"), entry);
    }
    return listing;
}

std::map<std::string, std::string> readDeletionList(const fs::path& file)
{
    std::map<std::string, std::string> entries;
    for (const auto& node : readEarlier(file))
        entries[node.first] = node.second.data();
    return entries;
}

std::string nowStamp()
{
    return timestampText();
}

std::string inQuotes(const std::string& text)
{
    return "\"" + text + "\"";
}

// `utf8` in the starters' bytes; checked encodable before it is used.
std::string bytesOf(NameEncoding encoding, const std::string& utf8)
{
    std::string bytes;
    encodeName(encoding, utf8, bytes);
    return bytes;
}

std::string grouped(std::uint64_t value)
{
    std::string digits = std::to_string(value);
    for (int at = int(digits.size()) - 3; at > 0; at -= 3)
        digits.insert(std::size_t(at), ",");
    return digits;
}

// Everything that would make the release wrong, each reason once.
class Refusals {
public:
    void add(const std::string& reason) { reasons_.push_back(reason); }
    void encodable(NameEncoding encoding, const std::string& utf8, const std::string& what)
    {
        std::string bytes;
        if (!encodeName(encoding, utf8, bytes))
            add(what + " " + inQuotes(utf8) + " cannot be written in the starters' encoding" +
                (encoding == NameEncoding::Gbk ? " (gbk)" : " (utf-8)"));
    }
    void raise() const
    {
        if (reasons_.empty())
            return;
        std::string all = "release refused:";
        for (const std::string& reason : reasons_)
            all += "\n  - " + reason;
        throw Error(all);
    }

private:
    std::vector<std::string> reasons_;
};

struct Plan {
    fs::path currentDirectory;
    std::uint64_t current = 0;
    // Installed path key to the UTF-8 path as shipped, for both groups.
    std::map<std::string, std::string> shipped;
    // The same in the starters' bytes, as deletion lists hold them.
    std::set<std::string> shippedBytes;
    std::vector<std::string> groupFiles;
};

Plan check(const ReleaseSettings& settings, const ReleaseOptions& options)
{
    Refusals refusals;
    Plan plan;
    const NameEncoding encoding = settings.group.nameEncoding;
    plan.current = currentRelease(options.root, plan.currentDirectory);
    if (options.number <= plan.current)
        refusals.add("release " + std::to_string(options.number) + " is not above the current release " +
                     std::to_string(plan.current));

    boost::system::error_code error;
    if (!fs::is_directory(settings.gameFiles, error)) {
        refusals.add("the game's files " + quoted(settings.gameFiles) + " are not a directory");
    } else {
        plan.groupFiles = listFiles(settings.gameFiles);
    }
    std::set<std::string> groupNames(plan.groupFiles.begin(), plan.groupFiles.end());
    for (const PackageSource& package : settings.packages) {
        if (!fs::is_directory(package.source, error))
            refusals.add("the package source " + quoted(package.source) + " is not a directory");
        else
            for (const std::string& entry : listFiles(package.source))
                refusals.encodable(encoding, entry, "the entry of " + package.name);
        if (!groupNames.insert(package.name).second)
            refusals.add("the package " + inQuotes(package.name) + " is also a file of the game's files");
    }
    refusals.encodable(encoding, settings.group.saveDir, "save_dir");
    refusals.encodable(encoding, settings.group.updaterName, "updater_name");
    refusals.encodable(encoding, settings.group.gameClientPath, "gameclient_path");
    for (const std::string& name : groupNames) {
        refusals.encodable(encoding, name, "the file");
        plan.shipped.emplace(installedKey(settings.group.saveDir, name), name);
        plan.shippedBytes.insert(
            installedKey(bytesOf(encoding, settings.group.saveDir), bytesOf(encoding, name)));
    }

    std::set<std::string> serverNames;
    for (const ServerFile& file : settings.serverFiles) {
        if (!serverNames.insert(file.name).second)
            refusals.add("the version server's file " + inQuotes(file.name) + " is named twice");
        const std::uint64_t size = fs::file_size(file.source, error);
        if (error)
            refusals.add("the version server's file " + quoted(file.source) + " cannot be read");
        else if (size == 0)
            refusals.add("the version server's file " + quoted(file.source) +
                         " is empty (its empty reply means \"your copy is current\")");
        refusals.encodable(encoding, file.name, "the version server's file");
        refusals.encodable(encoding, file.place, "the place of " + file.name);
        // The platform directory is outside the installation.
        if (file.place == "public")
            continue;
        const std::string key = installedKey(file.place, file.name);
        plan.shippedBytes.insert(installedKey(bytesOf(encoding, file.place), bytesOf(encoding, file.name)));
        if (!plan.shipped.emplace(key, file.name).second)
            refusals.add("the path " + inQuotes(key) +
                         " is in both the version server's files and the game's files");
    }
    for (const auto& deletion : settings.deletions) {
        refusals.encodable(encoding, deletion.first, "the deleted path");
        const std::string key = installedKey("", deletion.first);
        for (const auto& shipped : plan.shipped) {
            // Deleting a directory takes every file below it.
            if (shipped.first == key || shipped.first.compare(0, key.size() + 1, key + "/") == 0) {
                refusals.add("the path " + inQuotes(deletion.first) + " is both deleted and shipped (" +
                             shipped.second + ")");
                break;
            }
        }
    }
    refusals.raise();
    return plan;
}

void copyTree(const fs::path& from, const fs::path& to)
{
    for (const std::string& name : listFiles(from)) {
        fs::create_directories((to / name).parent_path());
        fs::copy_file(from / name, to / name, fs::copy_options::overwrite_existing);
    }
}

// The deletion list: what the last release listed (but what ships again), the
// files of its group this one no longer has, and the operator's own.
std::map<std::string, std::string> deletionsFor(const ReleaseSettings& settings, const Plan& plan,
                                                const GroupListing& newGroup, const std::string& stamp,
                                                std::vector<std::string>& retired)
{
    const NameEncoding encoding = settings.group.nameEncoding;
    std::map<std::string, std::string> entries;
    const std::set<std::string>& shippedKeys = plan.shippedBytes;
    if (!plan.currentDirectory.empty()) {
        for (const auto& entry : readDeletionList(plan.currentDirectory / "version" / "delete_config.txt")) {
            if (!shippedKeys.count(installedKey("", entry.first)))
                entries.insert(entry);
        }
        const GroupListing previous = readGroup(plan.currentDirectory / "version" / "launcher_info.cfg");
        for (const auto& file : previous.files) {
            if (newGroup.files.count(file.first) && previous.saveDir == newGroup.saveDir)
                continue;
            const std::string path =
                previous.saveDir.empty() ? file.first : previous.saveDir + "/" + file.first;
            if (shippedKeys.count(installedKey("", path)))
                continue;
            entries[path] = stamp;
            retired.push_back(path);
        }
    }
    for (const auto& deletion : settings.deletions)
        entries[bytesOf(encoding, deletion.first)] = deletion.second.empty() ? stamp : deletion.second;
    return entries;
}

void writeEncodedDeletionList(const std::map<std::string, std::string>& entries, const fs::path& output)
{
    pt::ptree tree;
    for (const auto& entry : entries)
        tree.push_back(std::make_pair(entry.first, pt::ptree(entry.second)));
    std::ostringstream content;
    pt::write_info(content, tree, pt::info_writer_make_settings(' ', 4));
    writeOutput(output, content.str());
}

// What a player on `from` downloads: every file of the new group that is new or
// differs, whole or by the smaller of its patches, and with patches the index
// (`indexSize`), which the starter fetches once it holds a copy of a changed file.
UpdateCost costFrom(const std::string& from, const GroupListing& old, const GroupListing& now,
                    const PatchSizes& patches, std::uint64_t indexSize)
{
    UpdateCost cost;
    cost.from = from;
    bool indexFetched = false;
    for (const auto& file : now.files) {
        const auto had = old.files.find(file.first);
        if (had != old.files.end() && had->second.sha1 == file.second.sha1 && old.saveDir == now.saveDir)
            continue;
        ++cost.files;
        cost.wholeBytes += file.second.size;
        std::uint64_t patched = file.second.size;
        if (had != old.files.end()) {
            indexFetched = indexSize > 0;
            const auto patch = patches.find({file.second.sha1, had->second.sha1});
            if (patch != patches.end())
                patched = std::min(patched, patch->second);
        }
        cost.patchedBytes += patched;
    }
    if (indexFetched)
        cost.patchedBytes += indexSize;
    return cost;
}

void printCosts(std::ostream& out, const std::vector<UpdateCost>& costs)
{
    out << std::left << std::setw(16) << "player on" << std::right << std::setw(8) << "files" << std::setw(22)
        << "bytes, whole files" << std::setw(22) << "bytes, with patches"
        << "\n";
    for (const UpdateCost& cost : costs) {
        out << std::left << std::setw(16) << (cost.from.empty() ? "(new install)" : cost.from) << std::right
            << std::setw(8) << cost.files << std::setw(22) << grouped(cost.wholeBytes) << std::setw(22)
            << grouped(cost.patchedBytes) << "\n";
    }
}

// Removes a directory tree when the scope ends, unless released.
class Scratch {
public:
    explicit Scratch(fs::path path) : path_(std::move(path)) {}
    ~Scratch()
    {
        boost::system::error_code ignored;
        if (!path_.empty())
            fs::remove_all(path_, ignored);
    }
    void release() { path_.clear(); }

private:
    fs::path path_;
};

}  // namespace

ReleaseSettings readReleaseSettings(const fs::path& file)
{
    pt::ptree tree;
    try {
        pt::read_info(file.string(), tree);
    } catch (const pt::ptree_error& e) {
        throw Error("cannot read " + quoted(file) + ": " + e.what());
    }
    const fs::path base = fs::absolute(file).parent_path();
    const auto at = [&](const std::string& value) { return value.empty() ? fs::path() : base / value; };
    Refusals refusals;
    ReleaseSettings settings;
    settings.gameFiles = at(text(tree, "files"));
    if (settings.gameFiles.empty())
        refusals.add("files (the game's files, as installed) is missing");
    settings.group.updaterName = text(tree, "updater_name");
    if (settings.group.updaterName.empty())
        refusals.add("updater_name is missing");
    settings.group.gameClientPath = text(tree, "gameclient_path");
    settings.group.saveDir = text(tree, "save_dir");
    settings.group.pathPrefix = text(tree, "path_prefix");
    const std::string encoding = text(tree, "name_encoding");
    if (!encoding.empty() && !parseNameEncoding(encoding, settings.group.nameEncoding))
        refusals.add("name_encoding is gbk or utf-8, not \"" + encoding + "\"");
    const auto number = [&](const std::string& key, std::uint64_t& value) {
        const std::string given = text(tree, key);
        if (!given.empty() && !wholeNumber(given, value))
            refusals.add(key + " needs a whole number, not \"" + given + "\"");
    };
    number("concurrent_downloads", settings.group.concurrentDownloads);
    number("patch_releases", settings.patchReleases);
    number("valid_days", settings.validDays);
    for (const auto& node : tree) {
        if (node.first == "host") {
            settings.group.hosts.push_back(node.second.data());
        } else if (node.first == "package") {
            PackageSource package{text(node.second, "name"), at(text(node.second, "source"))};
            if (package.name.empty() || package.source.empty())
                refusals.add("a package needs a name and a source");
            settings.packages.push_back(package);
        } else if (node.first == "server_file") {
            ServerFile server{at(text(node.second, "source")), text(node.second, "name"),
                              text(node.second, "place")};
            if (server.source.empty())
                refusals.add("a server_file needs a source");
            if (server.name.empty())
                server.name = server.source.filename().string();
            settings.serverFiles.push_back(server);
        } else if (node.first == "delete") {
            const std::string path = text(node.second, "path");
            const std::string stamp = text(node.second, "stamp");
            if (path.empty())
                refusals.add("a delete entry needs a path");
            settings.deletions[path] = stamp;
        }
    }
    if (settings.group.hosts.empty() ||
        std::count(settings.group.hosts.begin(), settings.group.hosts.end(), std::string()) > 0)
        refusals.add("at least one host is needed, and none may be empty");
    refusals.raise();
    return settings;
}

ReleaseReport makeRelease(const ReleaseSettings& settings, const ReleaseOptions& options, std::ostream& out)
{
    const Plan plan = check(settings, options);
    const std::string stamp = options.stamp.empty() ? nowStamp() : options.stamp;
    const std::string name = "r" + std::to_string(options.number);
    ReleaseReport report;
    report.directory = options.root / name;

    // Built under a name no server reads, and renamed once complete.
    const fs::path building = options.root / ("." + name + ".partial");
    Scratch scratch(building);
    boost::system::error_code ignored;
    fs::remove_all(building, ignored);
    const fs::path version = building / "version";
    const fs::path www = building / "www";
    const fs::path groupDirectory = www / settings.group.pathPrefix;
    fs::create_directories(version);
    fs::create_directories(groupDirectory);

    copyTree(settings.gameFiles, groupDirectory);
    for (const PackageSource& package : settings.packages) {
        const std::size_t entries =
            writePackage(package.source, groupDirectory / package.name, settings.group.nameEncoding);
        out << "package " << package.name << ": " << entries << " files\n";
    }

    std::vector<fs::path> olderWww;
    std::vector<std::uint64_t> earlier =
        earlierReleases(options.root, options.number, settings.patchReleases);
    for (const std::uint64_t number : earlier)
        olderWww.push_back(options.root / ("r" + std::to_string(number)) / "www");
    std::uint64_t indexSize = 0;
    const PatchSizes patches = writePatches(www, olderWww, out, indexSize);

    FileGroupSettings group = settings.group;
    group.httpDirectory = www;
    writeLauncherInfo(groupDirectory, group, version / "launcher_info.cfg");
    for (const ServerFile& file : settings.serverFiles)
        fs::copy_file(file.source, version / file.name, fs::copy_options::overwrite_existing);

    const GroupListing newGroup = readGroup(version / "launcher_info.cfg");
    const auto deletions = deletionsFor(settings, plan, newGroup, stamp, report.retired);
    if (!deletions.empty())
        writeEncodedDeletionList(deletions, version / "delete_config.txt");
    std::map<std::string, std::string> places{{"launcher_info.cfg", "updater"}};
    for (const ServerFile& file : settings.serverFiles) {
        if (!file.place.empty())
            places[file.name] = file.place;
    }
    writeManifest(version, places, version / "files.cfg", settings.group.nameEncoding);
    if (!options.privateKey.empty())
        signRelease(version, options.privateKey, options.number, settings.validDays,
                    settings.group.nameEncoding, www);

    for (const std::uint64_t number : earlier) {
        const std::string from = "r" + std::to_string(number);
        report.costs.push_back(costFrom(from,
                                        readGroup(options.root / from / "version" / "launcher_info.cfg"),
                                        newGroup, patches, indexSize));
    }
    report.costs.push_back(costFrom(std::string(), GroupListing(), newGroup, patches, indexSize));
    out << "release " << options.number << ": " << newGroup.files.size() << " files in the group, "
        << report.retired.size() << " retired\n";
    printCosts(out, report.costs);

    if (options.dryRun) {
        out << "dry run: nothing switched, " << quoted(building) << " removed\n";
        return report;
    }
    fs::remove_all(report.directory);
    fs::rename(building, report.directory);
    scratch.release();
    // One rename replaces the link, so every request sees one release or the other.
    const fs::path next = options.root / (std::string(kCurrent) + ".new");
    fs::remove(next, ignored);
    fs::create_directory_symlink(name, next);
    fs::rename(next, options.root / kCurrent);
    out << quoted(options.root / kCurrent) << " -> " << name << "\n";
    return report;
}

}  // namespace publish
