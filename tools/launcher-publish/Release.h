#pragma once
// A whole release in one step: the release directory ROOT/rN (the version
// server's files in version/, the download host's in www/), its packages,
// launcher configuration, manifest, deletion list, patches and signature, a
// table of what players on the last releases will download, and the switch of
// ROOT/current to it in one rename.
//
// Everything is checked before anything is written; every reason to refuse is
// reported at once, in one Error, and nothing is switched. The release is built
// beside the served ones and takes its name only when complete, so a failure
// part-way leaves ROOT as it was.

#include "tools/launcher-publish/Publish.h"

#include <boost/filesystem/path.hpp>

#include <cstdint>
#include <iosfwd>
#include <map>
#include <string>
#include <vector>

namespace publish {

// A file of the version server's directory and where the starter puts it
// ("" the installation, "updater", "public" the platform directory).
struct ServerFile {
    boost::filesystem::path source;
    std::string name;
    std::string place;
};

struct PackageSource {
    std::string name;  // the package's name in the group ("maps.quiv")
    boost::filesystem::path source;
};

// What the operator keeps beside the game's build (an INFO file); relative
// paths in it are taken from the file's own directory.
struct ReleaseSettings {
    boost::filesystem::path gameFiles;  // the group's files, as installed below save_dir
    std::vector<PackageSource> packages;
    std::vector<ServerFile> serverFiles;
    FileGroupSettings group;
    // Retirements the operator names: path (UTF-8) to time stamp (empty: the release's).
    std::map<std::string, std::string> deletions;
    // How many of the last releases a patch is made from.
    std::uint64_t patchReleases = 3;
    std::uint64_t validDays = 30;
};

// Reads RELEASE_CFG; an Error names every missing or malformed setting.
ReleaseSettings readReleaseSettings(const boost::filesystem::path& file);

struct ReleaseOptions {
    boost::filesystem::path root;
    std::uint64_t number = 0;
    boost::filesystem::path privateKey;  // empty: not signed
    bool dryRun = false;
    std::string stamp;  // YYYYMMDD_HHMMSS of this release; now when empty
};

// What a player on an earlier release downloads from the host.
struct UpdateCost {
    std::string from;  // "r41", or "" for a fresh installation
    std::uint64_t files = 0;
    std::uint64_t wholeBytes = 0;
    std::uint64_t patchedBytes = 0;
};

struct ReleaseReport {
    boost::filesystem::path directory;  // ROOT/rN (removed again after a dry run)
    std::vector<std::string> retired;   // deletion-list paths added by this release
    std::vector<UpdateCost> costs;
};

// Makes release `options.number` under `options.root`; prints its steps and the
// table to `out`.
ReleaseReport makeRelease(const ReleaseSettings& settings, const ReleaseOptions& options, std::ostream& out);

}  // namespace publish
