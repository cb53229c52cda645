// The starter with a terminal for its window.

#include "app/CLauncherApp.h"
#include "app/console/ConsoleWindow.h"
#include "platform/Platform.h"
#include "support/TextConvert.h"

int main(int argc, char** argv)
{
    initPathConversion();
    ConsoleWindow window(ConsoleWindow::detect());
    CLauncherApp::Options options;
    options.installationDirectory = CLauncherApp::currentDirectory();
    CLauncherApp app(window, platform::commandLine(argc, argv), options);
    // Returns only when the start was refused; otherwise the process ends inside.
    app.InitInstance();
    return app.exitStatus();
}
