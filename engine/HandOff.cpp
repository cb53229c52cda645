// The end of a successful run: start the configured program, or replace the
// starter with the new build the version server delivered and start that.

#include "engine/StarterWorker.h"

#include "platform/Platform.h"
#include "support/FileManager.h"
#include "support/SelfReplacement.h"
#include "support/TextConvert.h"

#include <boost/filesystem/path.hpp>

namespace {

// The directory of the running executable; a drive's root keeps its separator.
std::wstring executableDirectory()
{
    initPathConversion();
    return boost::filesystem::path(platform::modulePath()).parent_path().wstring();
}

}  // namespace

bool StarterWorker::handOff(const std::wstring& passThroughArg)
{
    const std::wstring exeDir = executableDirectory();

    const StarterSettings& configured = settings();
    if (configured.selfUpdatePending) {
        const std::wstring argument = selfReplaceArgument(passThroughArg);
        return platform::startSelfReplacement(exeDir, argument);
    }

    const std::wstring name = narrowToWide(configured.updaterName);
    platform::StartRequest request;
    request.file = joinPath(exeDir, name);
    request.directory = exeDir;

    // A program below the configured save directory wins over the one beside the starter.
    const std::shared_ptr<FileGroup> group = configured.updaterGroup;
    const std::wstring saveDir = joinPath(exeDir, group ? group->saveDir : std::wstring());
    const std::wstring candidate = joinPath(saveDir, name);
    if (FileManager::instance().isFile(candidate)) {
        request.file = candidate;
        request.directory = saveDir;
    }

    request.parameters = narrowToWide(configured.gameClientPath);
    if (!passThroughArg.empty())
        request.parameters += L" " + passThroughArg;
    request.hidden = false;
    return platform::startProgram(request);
}
