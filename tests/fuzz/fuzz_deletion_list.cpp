// The server's deletion list, on any bytes, applied in an installation of a few
// files: nothing beside the installation is touched, and the record it writes
// reads back with every path the list named with a time stamp.

#include "support/InfoFile.h"
#include "support/ObsoleteFiles.h"
#include "support/PathSafety.h"
#include "support/TextConvert.h"
#include "tests/fuzz/ScratchDirectory.h"

#include <boost/filesystem.hpp>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace fs = boost::filesystem;

namespace {

const char kSentinelText[] = "beside the installation";

// Holds the installation, which is the current directory (the fuzzer's own paths
// must be full ones; scripts/fuzz gives them), and a sentinel beside it.
const fs::path& scratch()
{
    static const fuzzing::ScratchDirectory directory("fuzz-delete-%%%%-%%%%");
    return directory.path();
}

fs::path installation()
{
    return scratch() / "installation";
}

void write(const fs::path& path, const std::string& text)
{
    std::ofstream out(path.string(), std::ios::binary | std::ios::trunc);
    out << text;
}

// Puts back what the last list deleted and takes away what it wrote: most lists
// delete nothing, and making and removing files is most of a run's time.
void restore()
{
    const fs::path root = installation();
    const char* const kept[] = {"a.txt", "bin", "data", "updater"};
    for (fs::directory_iterator it(root), end; it != end; ++it)
        if (std::find(std::begin(kept), std::end(kept), it->path().filename()) == std::end(kept))
            fs::remove_all(it->path());
    fs::create_directories(root / "updater");
    for (fs::directory_iterator it(root / "updater"), end; it != end; ++it)
        fs::remove_all(it->path());
    fs::create_directories(root / "bin");
    fs::create_directories(root / "data" / "sub");
    for (const char* name : {"a.txt", "bin/old.dll", "data/sub/c.txt"})
        if (!fs::exists(root / name))
            write(root / name, name);
}

bool besideUntouched()
{
    std::size_t count = 0;
    for (fs::directory_iterator it(scratch()), end; it != end; ++it)
        ++count;
    std::ifstream in((scratch() / "sentinel").string(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return count == 2 && text.str() == kSentinelText && fs::is_directory(installation());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    initPathConversion();
    write(scratch() / "sentinel", kSentinelText);
    fs::create_directories(installation());
    fs::current_path(installation());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    restore();
    const fs::path list = installation() / "updater" / "delete_config.txt";
    write(list, std::string(reinterpret_cast<const char*>(data), size));
    InfoEntries named;
    std::string error;
    const bool listRead = readInfoFile(list.wstring(), named, error) == InfoRead::Read;

    const bool recorded = deleteObsoleteFiles(list.wstring());
    if (!besideUntouched())
        std::abort();
    if (!recorded || !listRead)
        return 0;

    // The record starts empty, so every confined entry with a time stamp is in it.
    const fs::path recordPath = installation() / "updater" / "file_delete_record.txt";
    InfoEntries record;
    bool readBack = false;
    for (const auto& entry : named) {
        if (entry.second.empty() || !confinedPath(entry.first))
            continue;
        if (!readBack && readInfoFile(recordPath.wstring(), record, error) != InfoRead::Read)
            std::abort();
        readBack = true;
        if (record.count(entry.first) == 0)
            std::abort();
    }
    return 0;
}
