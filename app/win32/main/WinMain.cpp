// The starter as a Windows program: its dialog box for the window.

#include "app/CLauncherApp.h"
#include "app/win32/Win32DialogWindow.h"
#include "platform/Platform.h"
#include "support/TextConvert.h"

#include <windows.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE /*previous*/, PWSTR /*commandLine*/, int /*show*/)
{
    initPathConversion();
    Win32DialogWindow window(instance);
    // The whole command line, program path included, as GetCommandLineW gives it.
    CLauncherApp::Options options;
    options.installationDirectory = CLauncherApp::currentDirectory();
    CLauncherApp app(window, platform::commandLine(0, nullptr), options);
    // Returns only when the start was refused; otherwise the process ends inside.
    app.InitInstance();
    return app.exitStatus();
}
