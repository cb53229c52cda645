#pragma once
// What a publisher prepares for a release: packages, the launcher configuration
// of a file group, the version server's manifest and its deletion list.

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

// The regular files below `directory`, as relative names with forward slashes in
// byte-wise order. Anything that is neither a file nor a directory is an Error, and
// so is `exclude` never: a file with that path is left out (the output itself).
std::vector<std::string> listFiles(const boost::filesystem::path& directory,
                                   const boost::filesystem::path& exclude = boost::filesystem::path());

// Writes a ".quiv" package of every file below `sourceDirectory`; returns the
// number of entries.
std::size_t writePackage(const boost::filesystem::path& sourceDirectory,
                         const boost::filesystem::path& packagePath);

struct FileGroupSettings {
    std::string updaterName;  // required
    std::string gameClientPath;
    std::vector<std::string> hosts;  // at least one, none empty
    std::string saveDir;
    std::string pathPrefix;  // put before each name to form its path on the host
    // How the starters read `name`s; each `path` is the UTF-8 name percent-encoded.
    NameEncoding nameEncoding = NameEncoding::Gbk;
};

struct ListedFile {
    std::string name;
    std::string path;
    std::string sha1;
    std::uint64_t size = 0;
};

// Writes "launcher_info.cfg" for the files below `filesDirectory`, which holds them
// as they are to be installed below the save directory. Returns the files listed.
// A name that the starters' encoding cannot hold is an Error.
std::vector<ListedFile> writeLauncherInfo(const boost::filesystem::path& filesDirectory,
                                          const FileGroupSettings& settings,
                                          const boost::filesystem::path& output);

// Writes the manifest "files.cfg" for the version server's directory: one entry per
// file in it (not in subdirectories), valued with the local directory from `places`
// (file name to directory; "public" for the platform directory) or empty. Keys are
// written in the starters' encoding, in which they also come back to the server;
// the names returned are the UTF-8 names on disk.
std::vector<std::string> writeManifest(const boost::filesystem::path& serverDirectory,
                                       const std::map<std::string, std::string>& places,
                                       const boost::filesystem::path& output,
                                       NameEncoding encoding = NameEncoding::Gbk);

// Writes a deletion list: each path with its release time stamp (YYYYMMDD_HHMMSS,
// or empty to act on every run).
void writeDeletionList(const std::map<std::string, std::string>& entries,
                       const boost::filesystem::path& output);

}  // namespace publish
