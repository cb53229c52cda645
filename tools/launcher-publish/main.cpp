// launcher-publish: prepares the files of a release for the version server and
// the download host.

#include "tools/launcher-publish/BlockIndexWriter.h"
#include "tools/launcher-publish/Delta.h"
#include "tools/launcher-publish/Publish.h"
#include "tools/launcher-publish/Release.h"
#include "tools/launcher-publish/Signing.h"

#include "support/TextConvert.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <map>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "usage (every command also takes --name-encoding gbk|utf-8):\n"
    "  launcher-publish package SOURCE-DIR PACKAGE.quiv\n"
    "      pack every file below SOURCE-DIR into one package\n"
    "  launcher-publish launcher-info FILES-DIR --updater-name NAME --host HOST [--host HOST]...\n"
    "                   [--save-dir DIR] [--gameclient-path TEXT] [--path-prefix PREFIX]\n"
    "                   [--concurrent-downloads N] [--http-dir WWW-DIR] [-o FILE]\n"
    "      describe the files below FILES-DIR (as installed below DIR; on the host at\n"
    "      PREFIX followed by the name) in a launcher configuration (default launcher_info.cfg),\n"
    "      with the delta index that \"delta\" wrote below the host's root WWW-DIR (default\n"
    "      FILES-DIR)\n"
    "  launcher-publish delta WWW-DIR [--from OLD-WWW-DIR]...\n"
    "      patches under WWW-DIR/delta/ for every file of the download host's root WWW-DIR\n"
    "      that differs from the file at its path in an older release's root, a block index\n"
    "      for every file from 1 MiB, and their index; prints what a player on each older\n"
    "      release downloads with and without patches\n"
    "  launcher-publish manifest SERVER-DIR [--place NAME=DIR]... [-o FILE]\n"
    "      list the version server's files (default SERVER-DIR/files.cfg); DIR is where the\n"
    "      starter puts NAME (\"public\": the platform directory), empty by default; an\n"
    "      empty file is refused (the server's empty reply means \"current\")\n"
    "  launcher-publish deletion-list [-o FILE] PATH[=YYYYMMDD_HHMMSS]...\n"
    "      write the paths the starter is to delete (default delete_config.txt)\n"
    "  launcher-publish keygen [--private FILE] [--public FILE]\n"
    "      make a signing key pair (default release-private.pem, release-public.pem); keep\n"
    "      the private key offline, build the starter with the public one\n"
    "  launcher-publish sign SERVER-DIR --key PRIVATE.pem --release N [--valid-days D]\n"
    "                   [--http-dir DIR]\n"
    "      list release.sig in SERVER-DIR/files.cfg and write it: release N (raise it with\n"
    "      every release), valid for D days (default 30), covering every listed file and\n"
    "      every file below the download host's root DIR (which starters with a key need)\n"
    "  launcher-publish release RELEASE-CFG --release N [--root DIR] [--key PRIVATE.pem] [--dry-run]\n"
    "      make release N under DIR (default: the current directory) from RELEASE-CFG: DIR/rN/version\n"
    "      and DIR/rN/www with packages, launcher_info.cfg, files.cfg, the deletion list, patches from\n"
    "      the last releases and, with a key, release.sig; print what players on the last releases\n"
    "      will download; then switch DIR/current to rN (not with --dry-run)\n"
    "  launcher-publish blocks WWW-DIR\n"
    "      write a block index, WWW-DIR/delta/<SHA-256>.blocks, for every file of the\n"
    "      download directory from 1 MiB to 2 GiB (outside delta/), and list them\n"
    "  --name-encoding: how the starters read names and paths: gbk (code page 936, the\n"
    "      Windows starter; default) or utf-8 (the native starter). It applies to every name\n"
    "      written for them: package entries, manifest keys, NAME=DIR places, deletion-list\n"
    "      paths, the updater name, save directory and gameclient path. Files keep UTF-8\n"
    "      names on disk; each path in launcher_info.cfg is the UTF-8 prefix and name\n"
    "      percent-encoded\n";

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Arguments {
    std::vector<std::string> positional;
    std::multimap<std::string, std::string> options;

    std::string single(const std::string& name, const std::string& fallback) const
    {
        if (options.count(name) > 1)
            throw UsageError(name + " given more than once");
        const auto it = options.find(name);
        return it == options.end() ? fallback : it->second;
    }

    std::vector<std::string> all(const std::string& name) const
    {
        std::vector<std::string> values;
        const auto range = options.equal_range(name);
        for (auto it = range.first; it != range.second; ++it)
            values.push_back(it->second);
        return values;
    }
};

// Every command knows --name-encoding, besides its own `known` options.
Arguments parse(int argc, char** argv, const std::vector<std::string>& known)
{
    Arguments arguments;
    for (int i = 2; i < argc; ++i) {
        const std::string word = argv[i];
        if (word.size() > 1 && word[0] == '-') {
            bool found = word == "--name-encoding";
            for (const std::string& name : known)
                found = found || name == word;
            if (!found)
                throw UsageError("unknown option " + word);
            if (i + 1 >= argc)
                throw UsageError(word + " needs a value");
            arguments.options.emplace(word, argv[++i]);
        } else {
            arguments.positional.push_back(word);
        }
    }
    return arguments;
}

std::pair<std::string, std::string> splitAssignment(const std::string& text, const std::string& what)
{
    const std::string::size_type equals = text.find('=');
    if (equals == std::string::npos || equals == 0)
        throw UsageError(what + " \"" + text + "\" is not NAME=VALUE");
    return {text.substr(0, equals), text.substr(equals + 1)};
}

NameEncoding encodingOption(const Arguments& a)
{
    const std::string text = a.single("--name-encoding", "gbk");
    NameEncoding encoding;
    if (!parseNameEncoding(text, encoding))
        throw UsageError("--name-encoding is gbk or utf-8, not \"" + text + "\"");
    return encoding;
}

std::uint64_t number(const std::string& text, const std::string& what)
{
    std::uint64_t value = 0;
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    if (text.empty() || result.ec != std::errc() || result.ptr != end)
        throw UsageError(what + " needs a whole number, not \"" + text + "\"");
    return value;
}

int run(int argc, char** argv)
{
    if (argc < 2)
        throw UsageError("no command");
    const std::string command = argv[1];

    if (command == "package") {
        const Arguments a = parse(argc, argv, {});
        if (a.positional.size() != 2)
            throw UsageError("package needs SOURCE-DIR and PACKAGE");
        const std::size_t count = publish::writePackage(a.positional[0], a.positional[1], encodingOption(a));
        std::cout << a.positional[1] << ": " << count << " files\n";
        return 0;
    }
    if (command == "launcher-info") {
        const Arguments a = parse(argc, argv,
                                  {"--updater-name", "--host", "--save-dir", "--gameclient-path",
                                   "--path-prefix", "--concurrent-downloads", "--http-dir", "-o"});
        if (a.positional.size() != 1)
            throw UsageError("launcher-info needs one FILES-DIR");
        publish::FileGroupSettings settings;
        settings.updaterName = a.single("--updater-name", "");
        settings.hosts = a.all("--host");
        settings.saveDir = a.single("--save-dir", "");
        settings.gameClientPath = a.single("--gameclient-path", "");
        settings.pathPrefix = a.single("--path-prefix", "");
        const std::string concurrent = a.single("--concurrent-downloads", "");
        if (!concurrent.empty()) {
            settings.concurrentDownloads = number(concurrent, "--concurrent-downloads");
            if (settings.concurrentDownloads == 0)
                throw UsageError("--concurrent-downloads needs at least 1");
        }
        settings.nameEncoding = encodingOption(a);
        settings.httpDirectory = a.single("--http-dir", "");
        const std::string output = a.single("-o", "launcher_info.cfg");
        const auto files = publish::writeLauncherInfo(a.positional[0], settings, output);
        std::cout << output << ": " << files.size() << " files\n";
        return 0;
    }
    if (command == "delta") {
        const Arguments a = parse(argc, argv, {"--from"});
        if (a.positional.size() != 1)
            throw UsageError("delta needs one WWW-DIR");
        std::vector<boost::filesystem::path> olds;
        for (const std::string& old : a.all("--from"))
            olds.push_back(old);
        const publish::DeltaReport report = publish::writeDelta(a.positional[0], olds);
        std::cout << a.positional[0] << "/" << report.indexPath << ": " << report.patches << " patches, "
                  << report.blockIndexes << " block indexes\n";
        for (const publish::DeltaSavings& release : report.releases)
            std::cout << "from " << release.oldDirectory.string() << ": " << release.withPatches
                      << " bytes with patches, " << release.withoutPatches << " without\n";
        return 0;
    }
    if (command == "manifest") {
        const Arguments a = parse(argc, argv, {"--place", "-o"});
        if (a.positional.size() != 1)
            throw UsageError("manifest needs one SERVER-DIR");
        std::map<std::string, std::string> places;
        for (const std::string& place : a.all("--place")) {
            const auto assignment = splitAssignment(place, "--place");
            if (!places.insert(assignment).second)
                throw UsageError("--place names " + assignment.first + " twice");
        }
        const std::string output =
            a.single("-o", (boost::filesystem::path(a.positional[0]) / "files.cfg").string());
        const auto names = publish::writeManifest(a.positional[0], places, output, encodingOption(a));
        std::cout << output << ": " << names.size() << " files\n";
        return 0;
    }
    if (command == "deletion-list") {
        const Arguments a = parse(argc, argv, {"-o"});
        if (a.positional.empty())
            throw UsageError("deletion-list needs at least one PATH");
        std::map<std::string, std::string> entries;
        for (const std::string& word : a.positional) {
            const std::string::size_type equals = word.rfind('=');
            const std::string path = equals == std::string::npos ? word : word.substr(0, equals);
            const std::string stamp = equals == std::string::npos ? std::string() : word.substr(equals + 1);
            if (!entries.emplace(path, stamp).second)
                throw UsageError("deletion-list names " + path + " twice");
        }
        const std::string output = a.single("-o", "delete_config.txt");
        publish::writeDeletionList(entries, output, encodingOption(a));
        std::cout << output << ": " << entries.size() << " paths\n";
        return 0;
    }
    if (command == "blocks") {
        const Arguments a = parse(argc, argv, {});
        if (a.positional.size() != 1)
            throw UsageError("blocks needs one WWW-DIR");
        for (const auto& written : publish::writeBlockIndexes(a.positional[0]))
            std::cout << written.first << ": " << written.second.path << " " << written.second.size << " "
                      << written.second.sha256 << "\n";
        return 0;
    }
    if (command == "keygen") {
        const Arguments a = parse(argc, argv, {"--private", "--public"});
        if (!a.positional.empty())
            throw UsageError("keygen takes no SERVER-DIR or other words");
        encodingOption(a);  // writes no names, but a bad value is still a mistake to report
        const std::string privateKey = a.single("--private", "release-private.pem");
        const std::string publicKey = a.single("--public", "release-public.pem");
        publish::writeKeyPair(privateKey, publicKey);
        std::cout << privateKey << ", " << publicKey << ": ECDSA P-256 key pair\n";
        return 0;
    }
    if (command == "sign") {
        const Arguments a = parse(argc, argv, {"--key", "--release", "--valid-days", "--http-dir"});
        if (a.positional.size() != 1)
            throw UsageError("sign needs one SERVER-DIR");
        const std::string key = a.single("--key", "");
        if (key.empty())
            throw UsageError("sign needs --key PRIVATE.pem");
        const std::uint64_t release = number(a.single("--release", ""), "--release");
        const std::uint64_t days = number(a.single("--valid-days", "30"), "--valid-days");
        const std::size_t count = publish::signRelease(a.positional[0], key, release, days, encodingOption(a),
                                                       a.single("--http-dir", ""));
        std::cout << (boost::filesystem::path(a.positional[0]) / "release.sig").string() << ": release "
                  << release << ", " << count << " files\n";
        return 0;
    }
    if (command == "release") {
        // The one option without a value.
        std::vector<char*> words(argv, argv + argc);
        const auto dry = std::remove_if(words.begin() + 2, words.end(),
                                        [](const char* word) { return std::string(word) == "--dry-run"; });
        publish::ReleaseOptions options;
        options.dryRun = dry != words.end();
        words.erase(dry, words.end());
        const Arguments a = parse(int(words.size()), words.data(), {"--release", "--root", "--key"});
        if (a.positional.size() != 1)
            throw UsageError("release needs one RELEASE-CFG");
        if (a.options.count("--name-encoding"))
            throw UsageError("release takes the name encoding from RELEASE-CFG");
        options.number = number(a.single("--release", ""), "--release");
        options.root = a.single("--root", ".");
        options.privateKey = a.single("--key", "");
        publish::makeRelease(publish::readReleaseSettings(a.positional[0]), options, std::cout);
        return 0;
    }
    if (command == "-h" || command == "--help" || command == "help") {
        std::cout << kUsage;
        return 0;
    }
    throw UsageError("unknown command " + command);
}

}  // namespace

int main(int argc, char** argv)
{
    initPathConversion();
    try {
        return run(argc, argv);
    } catch (const UsageError& e) {
        std::cerr << "launcher-publish: " << e.what() << "\n" << kUsage;
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "launcher-publish: " << e.what() << "\n";
        return 1;
    }
}
