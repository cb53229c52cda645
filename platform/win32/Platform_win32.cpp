// Process-level calls of the Windows program.

#include "platform/Platform.h"

#include "support/FileManager.h"
#include "support/SelfReplacement.h"
#include "support/TextConvert.h"

#include <windows.h>
#include <shellapi.h>

#include <cstring>
#include <string>
#include <vector>

namespace platform {

namespace {

bool shellExecute(const std::wstring& file, const std::wstring& parameters, const wchar_t* directory,
                  int show)
{
    SHELLEXECUTEINFOW info;
    std::memset(&info, 0, sizeof info);
    info.cbSize = sizeof info;
    info.lpFile = file.c_str();
    info.lpParameters = parameters.c_str();
    info.lpDirectory = directory;
    info.nShow = show;
    return ShellExecuteExW(&info) == TRUE;
}

}  // namespace

bool isWow64()
{
    // Looked up at run time: systems without WOW64 lack the export.
    typedef BOOL(WINAPI * IsWow64ProcessFunction)(HANDLE, PBOOL);
    HMODULE kernel = GetModuleHandleW(L"kernel32");
    if (!kernel)
        return false;
    const FARPROC address = GetProcAddress(kernel, "IsWow64Process");
    if (!address)
        return false;
    const IsWow64ProcessFunction isWow64Process =
        reinterpret_cast<IsWow64ProcessFunction>(reinterpret_cast<void (*)()>(address));
    BOOL wow64 = FALSE;
    return isWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

std::wstring modulePath()
{
    wchar_t buffer[MAX_PATH];
    std::memset(buffer, 0, sizeof buffer);
    DWORD length = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    if (length < MAX_PATH)
        return std::wstring(buffer, length);

    // A truncated path would name the wrong directory; the long form fits in 32767.
    std::vector<wchar_t> large(32768, L'\0');
    length = GetModuleFileNameW(nullptr, large.data(), static_cast<DWORD>(large.size()));
    if (length == 0 || length >= large.size())
        return std::wstring();
    return std::wstring(large.data(), length);
}

std::wstring commandLine(int /*argc*/, char** /*argv*/)
{
    const wchar_t* text = GetCommandLineW();
    return text ? std::wstring(text) : std::wstring();
}

bool acquireSingleInstance(const std::wstring& name)
{
    HANDLE mutex = CreateMutexW(nullptr, TRUE, name.c_str());
    const DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_ACCESS_DENIED) {
        if (mutex)
            CloseHandle(mutex);
        return false;
    }
    // The handle stays open on purpose: the mutex is held until the process ends.
    return true;
}

bool startProgram(const StartRequest& request)
{
    // Relative paths are taken from the installation directory, as the file
    // utilities take them; a relative program lies in the given directory.
    const FileManager& files = FileManager::instance();
    const std::wstring directory =
        request.directory.empty() ? request.directory : files.resolve(request.directory);
    const std::wstring file = FileManager::isAbsolute(request.file)
                                  ? request.file
                                  : files.resolve(joinPath(request.directory, request.file));
    return shellExecute(file, request.parameters, directory.empty() ? nullptr : directory.c_str(),
                        request.hidden ? SW_HIDE : SW_SHOWNORMAL);
}

bool startSelfReplacement(const std::wstring& exeDir, const std::wstring& argument)
{
    // The shell inherits this process's environment and reads the argument from it.
    // An empty argument is not named by the script, and no stale value is left.
    const wchar_t* value = argument.empty() ? nullptr : argument.c_str();
    if (!SetEnvironmentVariableW(kSelfReplacePlan.argumentVariable, value) && value)
        return false;

    // The system's own cmd.exe, not one found in the starter's directory.
    wchar_t system[MAX_PATH];
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return false;
    const std::wstring shell = std::wstring(system, length) + L"\\" + kSelfReplacePlan.commandShell;
    std::wstring commandLine = kSelfReplacePlan.commandShell + buildSelfReplaceParameters(argument);

    // CreateProcess rather than ShellExecuteEx: its working directory is taken as
    // it stands (wine's ShellExecuteEx expands %NAME% in it), so the directory's
    // name never passes through any parsing. No console window, and no hidden
    // show state that the new build, started by the shell, could inherit.
    STARTUPINFOW startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    std::memset(&process, 0, sizeof process);
    if (!CreateProcessW(shell.c_str(), &commandLine[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        FileManager::instance().resolve(exeDir).c_str(), &startup, &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

}  // namespace platform
