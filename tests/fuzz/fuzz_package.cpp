// Package extraction on any inflated content (or, when the first byte is odd, on
// any file bytes): it must never crash, and never write outside its directory.

#include "support/Package.h"
#include "support/TextConvert.h"
#include "tests/fuzz/ScratchDirectory.h"

#include <boost/filesystem.hpp>

#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace fs = boost::filesystem;

namespace {

// One directory per process: "pkg" and "root/out" are all that may appear in it.
const fs::path& workDirectory()
{
    static const fuzzing::ScratchDirectory scratch("fuzz-package-%%%%-%%%%");
    return scratch.path();
}

std::string compress(const std::uint8_t* data, std::size_t size)
{
    uLongf packedSize = compressBound(static_cast<uLong>(size));
    std::vector<Bytef> packed(packedSize);
    if (compress2(packed.data(), &packedSize, data, static_cast<uLong>(size), 1) != Z_OK)
        std::abort();
    return std::string(reinterpret_cast<const char*>(packed.data()), packedSize);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    initPathConversion();
    fs::create_directories(workDirectory() / "root");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const fs::path& dir = workDirectory();
    std::string file = data[0] & 1 ? std::string(reinterpret_cast<const char*>(data + 1), size - 1)
                                   : compress(data + 1, size - 1);
    {
        std::ofstream out((dir / "pkg").string(), std::ios::binary | std::ios::trunc);
        out.write(file.data(), static_cast<std::streamsize>(file.size()));
    }
    extractPackage((dir / "root" / "out").wstring(), (dir / "pkg").wstring());

    for (fs::directory_iterator it(dir), end; it != end; ++it)
        if (it->path().filename() != "pkg" && it->path().filename() != "root")
            std::abort();
    for (fs::directory_iterator it(dir / "root"), end; it != end; ++it)
        if (it->path().filename() != "out")
            std::abort();
    fs::remove_all(dir / "root" / "out");
    return 0;
}
