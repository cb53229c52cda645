#include "tests/platform/TestSupport.h"

#include <windows.h>

namespace platformtest {

int runAndWait(const boost::filesystem::path& program, const std::vector<std::string>& args)
{
    std::wstring commandLine = L"\"" + program.wstring() + L"\"";
    for (const std::string& arg : args)
        commandLine += L" \"" + std::wstring(arg.begin(), arg.end()) + L"\"";

    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    ZeroMemory(&process, sizeof process);
    if (!CreateProcessW(program.wstring().c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process))
        return -1;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    const BOOL known = GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return known ? static_cast<int>(code) : -1;
}

}  // namespace platformtest
