// The end of a successful run: start the configured program, or replace the
// starter with the new build the version server delivered and start that.

#include "engine/StarterWorker.h"

#include "platform/Platform.h"
#include "support/FileManager.h"
#include "support/Log.h"
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

// The new build reads its last double-quoted part: a double quote inside would
// end the argument early. Such an argument cannot travel whole, so it travels
// without them.
std::wstring selfReplaceArgument(const std::wstring& argument)
{
    std::wstring inert;
    for (wchar_t c : argument) {
        if (c != L'"')
            inert += c;
    }
    if (inert.size() != argument.size())
        Log::instance().write("启动参数含有双引号，去掉双引号后传给新版本:", wideToNarrow(inert));
    return inert;
}

// Nobody here can run the real cmd.exe, so each piece says why it is there.
// - No directory: the shell starts in the starter's directory
//   (platform::startSelfReplacement makes it the working directory), so no
//   directory name is ever read as shell text.
// - "/v:on": delayed expansion. The argument comes from the environment
//   (platform::startSelfReplacement sets it) as !NAME!, which is expanded after
//   the line has been split at & | < > and after ^ and %...% have been dealt
//   with, so nothing in it is read as shell syntax. Putting it into the text
//   itself would need quoting rules that cmd does not have.
// - "ping": about one second, so that this process has ended and released its file.
// - "copy" then "move": the new build under both names, no ".tmp" left behind.
// - The new build runs as a plain command, not through "start": cmd hands the
//   command text on as it stands, so the new build's command line ends with the
//   argument in double quotes and it reads its last double-quoted argument, as
//   from a shortcut. wine's start quotes again only the arguments with a blank.
//   The hidden shell ends when the new build does. An empty argument adds nothing.
std::wstring buildSelfReplaceParameters(const std::wstring& passThroughArg)
{
    const std::wstring starter = narrowToWide(kStarterFileName);
    std::wstring text = L" /v:on /c ping -n 2 127.0.0.1";
    text += L" & copy /y " + starter + kNewFileSuffix + starter;
    text += L" & move /y " + starter + kNewFileSuffix + kRestartFileName;
    text += L" & ";
    text += kRestartFileName;
    if (!passThroughArg.empty()) {
        text += L" \"!";
        text += platform::kSelfReplaceArgumentVariable;
        text += L"!\"";
    }
    return text;
}

bool StarterWorker::handOff(const std::wstring& passThroughArg)
{
    const std::wstring exeDir = executableDirectory();

    if (selfUpdatePending()) {
        const std::wstring argument = selfReplaceArgument(passThroughArg);
        return platform::startSelfReplacement(buildSelfReplaceParameters(argument), exeDir, argument);
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
