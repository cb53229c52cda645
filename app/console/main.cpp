// The starter with a terminal for its window.

#include "app/CLauncherApp.h"
#include "app/console/ConsoleWindow.h"
#include "platform/Platform.h"
#include "support/TextConvert.h"

int main(int argc, char** argv)
{
    initPathConversion();
    ConsoleWindow window(ConsoleWindow::detect());
    CLauncherApp app(window, platform::commandLine(argc, argv));
    // Returns only when the start was refused; otherwise the process ends inside.
    app.InitInstance();
    return app.exitStatus();
}
