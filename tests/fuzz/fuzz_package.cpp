// Package extraction on any inflated content (or, when the first byte is odd, on
// any file bytes): it must never crash, and never write outside its directory.

#include "support/Package.h"
#include "support/TextConvert.h"

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
// It is removed when the fuzzer exits.
std::string& workPath()
{
    static std::string path;
    return path;
}

void removeWorkDirectory()
{
    boost::system::error_code ignored;
    fs::remove_all(workPath(), ignored);
}

fs::path workDirectory()
{
    if (workPath().empty()) {
        initPathConversion();
        fs::path path = fs::temp_directory_path() / fs::unique_path("fuzz-package-%%%%-%%%%");
        fs::create_directories(path / "root");
        workPath() = path.string();
        std::atexit(removeWorkDirectory);
    }
    return workPath();
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

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const fs::path dir = workDirectory();
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
