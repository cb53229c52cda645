#include "tests/engine/TestHost.h"

#include <windows.h>

bool runningUnderWine()
{
    // wine's ntdll exports its version; Windows' does not.
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}
