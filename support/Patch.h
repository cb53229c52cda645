#pragma once
// Applying a patch: a zstd frame that, decoded with the old file's whole content
// as its raw prefix, gives the new file (the frames zstd's "--patch-from" makes,
// and the publisher's "delta" command).
//
// The old file is mapped read-only and the staged new file is mapped for
// writing at exactly its listed size; the patch is read in small pieces. Neither
// file is ever held in the program's own memory: the decoder writes straight
// into the mapped output (zstd's stable output buffer), so it keeps no window
// buffer of its own, and applying takes well under 1 MiB of memory for any file
// size. The frame must come out at exactly the listed size: one that would write
// past it is refused there, and so is one that ends short, one whose checksum
// shows a wrong result (a wrong old file, a damaged patch), one cut short, and
// anything after the frame. Every failure discards the staged file and leaves
// the old file as it was; the caller then takes the whole file. Never throws,
// logs nothing: the result says what went wrong.

#include "support/StagedFile.h"

#include <cstdint>
#include <string>

// zstd refers back at most 2 GiB (its largest window): an older copy beyond
// that is no reference, and the publisher makes no patch from it.
const std::uint64_t kMaxPatchReference = std::uint64_t(1) << 31;

// A 32-bit program maps the old and the new file at once into an address space
// of 2 GiB that its libraries have already cut up; beyond this much for the two
// together, it does not try and takes the whole file (a later block sync from
// the old copy needs no mapping).
const std::uint64_t kMaxMappedPatchBytes32 = 768ull * 1024 * 1024;

enum class PatchOutcome {
    Applied,
    TooLarge,         // the old and new file do not fit this program's address space
    OldUnreadable,    // the old file cannot be mapped
    PatchUnreadable,  // the patch file cannot be opened or read
    OutputFailed,     // the staged file cannot be made or mapped at its size
    NotAFrame,        // no zstd frame, or one this decoder cannot take
    PastListedSize,   // the frame gives more than the listed size
    ShortOfListedSize,
    WrongResult,   // the frame's checksum does not match: a wrong old file or a damaged patch
    Corrupt,       // the frame does not decode
    Truncated,     // the patch ends inside its frame
    TrailingData,  // bytes after the frame
};

struct PatchResult {
    PatchOutcome outcome = PatchOutcome::Applied;
    std::string reason;  // Chinese, for the log; empty when applied
    explicit operator bool() const { return outcome == PatchOutcome::Applied; }
};

// True when this program can map an old file of `oldSize` and a new one of
// `newSize` bytes together (and the old one is a reference zstd can use).
bool patchFitsAddressSpace(std::uint64_t oldSize, std::uint64_t newSize);

// Applies the patch at `patchPath` to the old file at `oldPath`, writing the
// new file of exactly `newSize` bytes into `staged` (its staging file is made
// afresh). On success the staged content awaits its check and place(); on
// failure it is discarded.
PatchResult applyPatch(const std::wstring& oldPath, const std::wstring& patchPath, std::uint64_t newSize,
                       StagedFile& staged);
