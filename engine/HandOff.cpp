// The end of a successful run: start the configured program, or replace the
// starter with the new build the version server delivered and start that.

#include "engine/StarterWorker.h"

#include "platform/Platform.h"
#include "support/FileManager.h"
#include "support/TextConvert.h"

#include <boost/filesystem/path.hpp>

namespace {

// The name under which the version server delivers the starter ("Launcher.exe"
// with ".tmp" appended), and the second name under which it is started again.
const char kStarterFileName[] = "Launcher.exe";
const wchar_t kRestartFileName[] = L"Ruvezuv.exe";
// Names the new file and separates it from the next name in the script.
const wchar_t kNewFileSuffix[] = L".tmp ";

// The directory of the running executable; a drive's root keeps its separator.
std::wstring executableDirectory()
{
    initPathConversion();
    return boost::filesystem::path(platform::modulePath()).parent_path().wstring();
}

}  // namespace

std::wstring buildSelfReplaceParameters(const std::wstring& exeDir, const std::wstring& passThroughArg)
{
    const std::wstring starter = narrowToWide(kStarterFileName);
    std::wstring text = L" /c cd /d \"";
    text += exeDir;
    text += L"\" & ping -n 2 127.0.0.1";
    text += L" & copy /y " + starter + kNewFileSuffix + starter;
    text += L" & move /y " + starter + kNewFileSuffix + kRestartFileName;
    text += L" & start ";
    text += kRestartFileName;
    if (!passThroughArg.empty()) {
        text += L' ';
        text += passThroughArg;
    }
    return text;
}

bool StarterWorker::handOff(const std::wstring& passThroughArg)
{
    const std::wstring exeDir = executableDirectory();

    if (selfUpdatePending()) {
        return platform::startSelfReplacement(buildSelfReplaceParameters(exeDir, passThroughArg), exeDir,
                                              passThroughArg);
    }

    const std::wstring name = narrowToWide(updaterName());
    platform::StartRequest request;
    request.file = joinPath(exeDir, name);
    request.directory = exeDir;

    // A program below the configured save directory wins over the one beside the starter.
    const std::shared_ptr<FileGroup> group = updaterGroup();
    const std::wstring saveDir = joinPath(exeDir, group ? group->saveDir : std::wstring());
    const std::wstring candidate = joinPath(saveDir, name);
    if (FileManager::instance().isFile(candidate)) {
        request.file = candidate;
        request.directory = saveDir;
    }

    request.parameters = narrowToWide(gameClientPath());
    if (!passThroughArg.empty())
        request.parameters += L" " + passThroughArg;
    request.hidden = false;
    return platform::startProgram(request);
}
