#pragma once
// Start-up: one starter at a time, only where it can write, the pass-through
// argument cut out of the command line, then the progress dialog.

#include "app/CLauncherDlg.h"

#include <memory>
#include <string>

class DialogWindow;

class CLauncherApp {
public:
    static const wchar_t kInstanceName[];   // "Global\QUIVLauncher"
    static const wchar_t kWriteTestFile[];  // "writeTest.txt", in the installation directory
    static const wchar_t kRegistryKey[];    // the profile key the framework is given

    // Exit statuses, so that scripts can tell the outcomes apart.
    enum ExitStatus {
        ExitSuccess = 0,
        ExitUpdateFailed = 1,       // the engine reported a failure other than 2
        ExitServerUnreachable = 2,  // ResultCode 2
        ExitClosedEarly = 3,        // the window was closed before the engine finished
        ExitAlreadyRunning = 4,
        ExitNotWritable = 5,
    };

    struct Options {
        std::wstring instanceName = kInstanceName;
        CLauncherDlg::WorkerSetup workerSetup;
        // Where the starter works; empty: the current directory.
        std::wstring installationDirectory;
    };

    // The directory the player started the starter in, which the front ends give
    // as the installation directory; empty when the system cannot tell.
    static std::wstring currentDirectory();

    // `commandLine` is the whole command line as Windows gives it.
    CLauncherApp(DialogWindow& window, std::wstring commandLine);
    CLauncherApp(DialogWindow& window, std::wstring commandLine, Options options);

    // Runs the start-up checks and the dialog. Returns false, as the framework's
    // dialog applications do: no message loop follows. After the dialog's window is
    // gone the process is ended at once with exitStatus(), so the still running
    // engine can never reach a destroyed window.
    bool InitInstance();

    int exitStatus() const { return m_exitStatus; }
    const std::wstring& passThroughArg() const { return m_passThroughArg; }
    const std::wstring& registryKey() const { return m_registryKey; }
    // The dialog once InitInstance has created it; it lives as long as the app.
    CLauncherDlg* dialog() const { return m_dialog.get(); }

    // The last double-quoted part of the command line, without its quotes; the
    // whole command line when it holds fewer than two double quotes.
    static std::wstring extractPassThroughArg(const std::wstring& commandLine);

private:
    void SetRegistryKey(const wchar_t* key) { m_registryKey = key; }

    DialogWindow& m_window;
    std::wstring m_commandLine;
    Options m_options;
    std::wstring m_passThroughArg;
    std::wstring m_registryKey;
    std::unique_ptr<CLauncherDlg> m_dialog;
    int m_exitStatus = ExitSuccess;
};
