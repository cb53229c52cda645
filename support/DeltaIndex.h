#pragma once
// The delta index of a release: for each file of the download host, the patches
// that make it from an older copy and the block index it can be synced from. It
// is a plain file of the host (delta/index-<16 hex>.cfg, INFO format), named by
// launcher_info.cfg's "delta_index" entry; the patches and block indexes it lists
// are plain files under delta/ too.
//
//   format 1
//   file                      ; one per file that has a patch or a block index
//   {
//       path "pack/data.quiv" ; the file's path on the host, as in launcher_info.cfg
//       size 123456           ; the file's size and SHA-1 digest text
//       sha1 <40 hex>
//       patch                 ; zero or more, one per older copy it starts from
//       {
//           from_sha1 <40 hex>
//           from_size 120000
//           path "delta/<64 hex>.patch"
//           size 2345
//           sha256 <64 hex>
//       }
//       blocks                ; zero or one
//       {
//           path "delta/<64 hex>.blocks"
//           size 34567
//           sha256 <64 hex>
//       }
//   }
//
// The index comes from outside and is refused whole, with a reason for the log,
// when it breaks any rule: it is at most kMaxDeltaIndexBytes long (checked before
// it is read), holds at most kMaxDeltaFiles files of at most kMaxPatchesPerFile
// patches each, every number is a plain decimal within 64 bits, every digest is
// lower-case hexadecimal of exactly its length, no key appears twice where one is
// meant, every path is confined (PathSafety.h), and patch and block paths lie
// under delta/. Keys it does not know are passed over, so a later publisher can
// add some; a patch in pieces ("segments") is one this starter cannot apply, and
// is left out. Nothing here throws.

#include <boost/optional.hpp>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

const std::uint64_t kMaxDeltaIndexBytes = 16 * 1024 * 1024;
const std::size_t kMaxDeltaFiles = 65536;
const std::size_t kMaxPatchesPerFile = 64;

// Where the release's delta files lie on the host, below its root.
constexpr char kDeltaDirectory[] = "delta/";

// A file of the host, as the index lists a patch or block index.
struct DeltaPiece {
    std::string path;  // on the host, under delta/
    std::uint64_t size = 0;
    std::string sha256;  // 64 lower-case hexadecimal digits
};

struct DeltaPatch {
    std::string fromSha1;  // digest text of the copy the patch starts from
    std::uint64_t fromSize = 0;
    DeltaPiece patch;
};

struct DeltaFile {
    std::uint64_t size = 0;
    std::string sha1;  // the new file's digest text
    std::vector<DeltaPatch> patches;
    boost::optional<DeltaPiece> blocks;
};

struct DeltaIndex {
    std::map<std::string, DeltaFile> files;  // by path on the host
};

// Reads the index at `path`. False with a reason (Chinese, for the log) when it
// is missing, too long, malformed or breaks a rule above; `index` is then empty.
bool readDeltaIndex(const std::wstring& path, DeltaIndex& index, std::string& reason);

// The INFO text of `index`, which readDeltaIndex reads back as it is. The
// publisher writes indexes only through this.
std::string deltaIndexText(const DeltaIndex& index);

// The patch that makes the file at `hostPath`, as launcher_info.cfg lists it
// (`size`, `sha1`), from a local copy of `localSize` bytes with digest text
// `localSha1`; null when the index has none. An index entry that describes
// another file than the one listed is not used.
const DeltaPatch* findPatch(const DeltaIndex& index, const std::string& hostPath, std::uint64_t size,
                            const std::string& sha1, std::uint64_t localSize, const std::string& localSha1);
