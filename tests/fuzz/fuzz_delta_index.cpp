// The delta index reader on any bytes: it never crashes or holds more than its
// bounds, and an index it takes keeps every rule, and reads back the same from
// the text the publisher would write for it.

#include "support/DeltaIndex.h"
#include "support/PathSafety.h"
#include "support/TextConvert.h"
#include "tests/fuzz/ScratchDirectory.h"

#include <boost/filesystem.hpp>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

namespace fs = boost::filesystem;

namespace {

const fs::path& scratch()
{
    static const fuzzing::ScratchDirectory directory("fuzz-delta-%%%%-%%%%");
    return directory.path();
}

void write(const fs::path& path, const std::string& text)
{
    std::ofstream out(path.string(), std::ios::binary | std::ios::trunc);
    out << text;
}

bool underDelta(const std::string& path)
{
    return path.compare(0, 6, kDeltaDirectory) == 0 && path.size() > 6 && isConfinedRelativePath(path);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    initPathConversion();
    scratch();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const fs::path input = scratch() / "index.cfg";
    write(input, std::string(reinterpret_cast<const char*>(data), size));
    DeltaIndex index;
    std::string reason;
    if (!readDeltaIndex(input.wstring(), index, reason)) {
        if (reason.empty() || !index.files.empty())
            std::abort();
        return 0;
    }
    if (index.files.size() > kMaxDeltaFiles)
        std::abort();
    for (const auto& file : index.files) {
        if (!isConfinedRelativePath(file.first) || file.second.sha1.size() != 40 ||
            file.second.patches.size() > kMaxPatchesPerFile)
            std::abort();
        for (const DeltaPatch& patch : file.second.patches) {
            if (!underDelta(patch.patch.path) || patch.fromSha1.size() != 40 ||
                patch.patch.sha256.size() != 64)
                std::abort();
        }
        if (file.second.blocks && !underDelta(file.second.blocks->path))
            std::abort();
    }

    const std::string text = deltaIndexText(index);
    const fs::path again = scratch() / "again.cfg";
    write(again, text);
    DeltaIndex reread;
    if (!readDeltaIndex(again.wstring(), reread, reason) || deltaIndexText(reread) != text)
        std::abort();
    return 0;
}
