#pragma once
// What a publisher prepares for a release: packages, the launcher configuration
// of a file group, the version server's manifest and its deletion list.
//
// Files keep UTF-8 names on disk. Every name or path written for the starters
// (package entries, configuration values, manifest keys and places, deletion
// paths) is in the starters' NameEncoding; one the encoding cannot hold is an
// Error naming it, and nothing is written.

#include "tools/common/NameEncoding.h"

#include <boost/filesystem/path.hpp>

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace publish {

// Bad input or a failed write; the text names the file concerned.
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The path in double quotes, for error texts.
std::string quoted(const boost::filesystem::path& path);

// Writes `content` as the whole of `path`, which it replaces in one rename only
// once complete; an Error gives the system's reason.
void writeOutput(const boost::filesystem::path& path, const std::string& content);

// The regular files below `directory`, as relative names with forward slashes in
// byte-wise order. Anything that is neither a file nor a directory is an Error, and
// so is `exclude` never: a file with that path is left out (the output itself).
std::vector<std::string> listFiles(const boost::filesystem::path& directory,
                                   const boost::filesystem::path& exclude = boost::filesystem::path());

// Writes a ".quiv" package of every file below `sourceDirectory`, entry names in
// `encoding`; returns the number of entries.
std::size_t writePackage(const boost::filesystem::path& sourceDirectory,
                         const boost::filesystem::path& packagePath,
                         NameEncoding encoding = NameEncoding::Gbk);

struct FileGroupSettings {
    std::string updaterName;  // required
    std::string gameClientPath;
    std::vector<std::string> hosts;  // at least one, none empty
    std::string saveDir;
    std::string pathPrefix;  // put before each name to form its path on the host
    // How the starters read names and paths; each `path` is the UTF-8 prefix and
    // name percent-encoded.
    NameEncoding nameEncoding = NameEncoding::Gbk;
    // How many files the starters download at once; 0 leaves it to them.
    std::uint64_t concurrentDownloads = 0;
    // The download host's root, where `delta` wrote delta/ (empty: the files
    // directory itself).
    boost::filesystem::path httpDirectory;
};

struct ListedFile {
    std::string name;
    std::string path;
    std::string sha1;
    std::uint64_t size = 0;
};

// Writes "launcher_info.cfg" for the files below `filesDirectory`, which holds them
// as they are to be installed below the save directory. Returns the files listed.
// The delta index in the host root's delta/ (one at most; two are an Error) is
// named in the "delta_index" entry; nothing under the host root's delta/ is a
// file of the group.
std::vector<ListedFile> writeLauncherInfo(const boost::filesystem::path& filesDirectory,
                                          const FileGroupSettings& settings,
                                          const boost::filesystem::path& output);

// Writes the manifest "files.cfg" for the version server's directory: one entry per
// file in it (not in subdirectories), valued with the local directory from `places`
// (file name to directory; "public" for the platform directory) or empty. Keys come
// back to the server in the starters' encoding; the names returned are the UTF-8
// names on disk. An empty file is an Error: the server's empty reply means "your
// copy is current", so no starter could receive it.
std::vector<std::string> writeManifest(const boost::filesystem::path& serverDirectory,
                                       const std::map<std::string, std::string>& places,
                                       const boost::filesystem::path& output,
                                       NameEncoding encoding = NameEncoding::Gbk);

// Writes a deletion list: each path with its release time stamp (YYYYMMDD_HHMMSS,
// or empty to act on every run).
void writeDeletionList(const std::map<std::string, std::string>& entries,
                       const boost::filesystem::path& output, NameEncoding encoding = NameEncoding::Gbk);

}  // namespace publish
