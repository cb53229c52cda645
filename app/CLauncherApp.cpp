#include "app/CLauncherApp.h"

#include "app/DialogWindow.h"
#include "engine/EngineTypes.h"
#include "platform/Platform.h"
#include "support/FileManager.h"
#include "support/TextConvert.h"

#include <boost/filesystem/operations.hpp>

#include <utility>

const wchar_t CLauncherApp::kInstanceName[] = L"Global\\QUIVLauncher";
const wchar_t CLauncherApp::kWriteTestFile[] = L"writeTest.txt";
const wchar_t CLauncherApp::kRegistryKey[] = L"应用程序向导生成的本地应用程序";

CLauncherApp::CLauncherApp(DialogWindow& window, std::wstring commandLine)
    : CLauncherApp(window, std::move(commandLine), Options())
{
}

CLauncherApp::CLauncherApp(DialogWindow& window, std::wstring commandLine, Options options)
    : m_window(window), m_commandLine(std::move(commandLine)), m_options(std::move(options))
{
}

bool CLauncherApp::InitInstance()
{
    if (!platform::acquireSingleInstance(m_options.instanceName)) {
        m_window.messageBox(L"不能多次启动登录器", L"错误", platform::BoxIconError);
        m_exitStatus = ExitAlreadyRunning;
        return false;
    }

    {
        FileManager& files = FileManager::instance();
        const std::wstring probePath = joinPath(m_options.installationDirectory, kWriteTestFile);
        std::unique_ptr<FileManager::File> probe = files.openFile(probePath, false);
        if (!probe) {
            m_window.messageBox(L"没有写文件权限，更改游戏目录", L"错误", platform::BoxIconError);
            m_exitStatus = ExitNotWritable;
            return false;
        }
        probe.reset();
        files.deleteFile(probePath);  // a leftover test file harms no one
    }

    m_passThroughArg = extractPassThroughArg(m_commandLine);
    SetRegistryKey(kRegistryKey);

    m_dialog.reset(new CLauncherDlg(m_window, m_options.workerSetup, m_options.installationDirectory));
    m_dialog->m_passThroughArg = m_passThroughArg;
    m_dialog->DoModal();

    // Success never comes back here: the dialog ends the process after the hand-off.
    if (!m_dialog->hasResult())
        m_exitStatus = ExitClosedEarly;
    else if (m_dialog->resultCode() == ResultServerUnreachable)
        m_exitStatus = ExitServerUnreachable;
    else if (m_dialog->resultCode() != ResultSuccess)
        m_exitStatus = ExitUpdateFailed;
    else
        m_exitStatus = ExitSuccess;

    // The engine may still be working and would report to a window that is gone.
    m_window.exitProcess(m_exitStatus);
    return false;
}

std::wstring CLauncherApp::currentDirectory()
{
    boost::system::error_code error;
    const boost::filesystem::path directory = boost::filesystem::current_path(error);
    return error ? std::wstring() : directory.wstring();
}

std::wstring CLauncherApp::extractPassThroughArg(const std::wstring& commandLine)
{
    std::string text;
    WideToUtf8(commandLine.c_str(), text);

    std::string argument = text;
    const std::string::size_type last = text.rfind('"');
    if (last != std::string::npos && last > 0) {
        const std::string::size_type previous = text.rfind('"', last - 1);
        if (previous != std::string::npos)
            argument = text.substr(previous + 1, last - previous - 1);
    }

    std::wstring result;
    Utf8ToWide(argument, result);
    return result;
}
