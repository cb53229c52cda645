// The block index as a starter reads it, on any bytes: whole, and in the parts
// it fetches (the top, then groups from any offset). An index that is taken
// whole is planned against a local copy, and the plan must account for every
// byte of the new file within its bounds.

#include "support/BlockSync.h"

#include "ScratchDirectory.h"

#include <boost/filesystem/fstream.hpp>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// The local copy the seeds were made from, with blocks changed: see corpus/fuzz_block_index.
std::string localContent()
{
    std::string bytes(1024 * 1024 + 5000, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>((i * 7 + i / 4096 + (i >> 13) * (i >> 3)) & 0xff);
    return bytes;
}

const fuzzing::ScratchDirectory& scratch()
{
    static const fuzzing::ScratchDirectory directory("fuzz_block_index-%%%%%%%%");
    static const bool written = [] {
        boost::filesystem::ofstream out(directory.path() / "local.bin", std::ios::binary);
        const std::string content = localContent();
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        return true;
    }();
    (void)written;
    return directory;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    BlockIndex whole;
    std::string reason;
    const bool taken = whole.parseWhole(data, size, reason);
    if (taken && (size != BlockIndex::indexSize(whole.fileSize()) || !whole.hasGroup(whole.largeCount() - 1)))
        std::abort();

    BlockIndex parts;
    if (parts.parseTop(data, size, reason)) {
        // Groups handed in from an offset the input chooses, as a hostile host might.
        std::uint64_t offset = 0;
        std::memcpy(&offset, data + size - 8, 8);
        if (offset < size)
            parts.addGroups(offset, data + offset, size - offset, reason);
        for (std::uint32_t i = 0; i < parts.largeCount(); ++i) {
            const ByteRange range = parts.groupRange(i);
            if (range.end() <= size && !parts.addGroups(range.offset, data + range.offset, range.size, reason) &&
                taken)
                std::abort();
        }
    }

    if (taken) {
        const std::wstring local = (scratch().path() / "local.bin").wstring();
        LargeComparison comparison;
        BlockPlan plan;
        if (!compareLargeBlocks(local, whole, comparison, reason) ||
            !planBlocks(local, whole, comparison, BlockSyncOptions(), plan, reason))
            std::abort();
        if (plan.missingBytes + plan.localBytes != whole.fileSize() ||
            plan.source.size() != whole.smallCount() ||
            (!plan.missing.empty() && plan.missing.back().end() > whole.fileSize()))
            std::abort();
    }
    return 0;
}
