// The INFO files the version server delivers, on any bytes, read by the readers
// the starter uses: the manifest files.cfg (readInfoFile) and the launcher
// configuration (the engine's readLauncherInfo). Neither may follow an include,
// and what the configuration accepts stays inside the installation.

#include "engine/StarterWorker.h"
#include "support/InfoFile.h"
#include "support/PathSafety.h"
#include "support/TextConvert.h"
#include "tests/fuzz/ScratchDirectory.h"

#include <boost/filesystem.hpp>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

namespace fs = boost::filesystem;

namespace {

// The installation, where the worker makes "Log" and "updater"; also the current
// directory, from which the INFO reader would open an include that slipped
// through. The fuzzer's own paths must be full ones (scripts/fuzz gives them).
const fs::path& installation()
{
    static const fuzzing::ScratchDirectory scratch("fuzz-info-%%%%-%%%%");
    return scratch.path();
}

StarterWorker& worker()
{
    static StarterWorker instance(nullptr, installation().wstring());
    return instance;
}

// A new file each time: ext4 writes a file truncated to zero out to disk when it
// is closed, which would take most of each run.
void deliver(const fs::path& path, const std::uint8_t* data, std::size_t size)
{
    fs::remove(path);
    std::ofstream out(path.string(), std::ios::binary);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    initPathConversion();
    fs::current_path(installation());
    worker();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // One file, read as the manifest files.cfg and as the launcher configuration.
    const fs::path path = installation() / "updater" / "launcher_info.cfg";
    deliver(path, data, size);
    InfoEntries entries;
    std::string error;
    readInfoFile(path.wstring(), entries, error);
    // No include file exists here: an include the directive scan missed fails to open.
    if (error.find("include file") != std::string::npos)
        std::abort();

    // Read by its full path, which the worker takes for a local file, whose
    // includes it follows; those are not the server's to send.
    if (hasIncludeDirective(path.wstring()) || !worker().readLauncherInfo(path.string()))
        return 0;
    const std::shared_ptr<FileGroup> group = worker().settings().updaterGroup;
    if (!confinedPath(worker().settings().updaterName) ||
        (!group->saveDir.empty() && !isConfinedRelativePath(group->saveDir)))
        std::abort();
    for (const gametool::FileInfo& file : group->files)
        if (!file.name.empty() && !confinedPath(file.name))
            std::abort();
    return 0;
}
