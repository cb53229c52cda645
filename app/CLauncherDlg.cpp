#include "app/CLauncherDlg.h"

#include "app/DialogWindow.h"
#include "app/TransferRate.h"
#include "app/UpdateController.h"
#include "engine/EngineTypes.h"
#include "engine/StarterWorker.h"
#include "platform/Platform.h"

#include <atomic>

const wchar_t CLauncherDlg::kCaption[] = L"Launcher";
const wchar_t CLauncherDlg::kCheckingText[] = L"正在检测更新...";
const wchar_t CLauncherDlg::kSlogan[] = L"望楚汉峥嵘，筑王朝霸业！给你不一样的认知，KelvaOnline！";

struct CLauncherDlg::InnerData {
    UpdateController* controller = nullptr;
    std::wstring statusText;
    WorkerSetup workerSetup;
    std::wstring installationDirectory;
    // Set on the UI thread when the window goes; read by the engine's thread.
    std::atomic<bool> windowGone{false};
    bool hasResult = false;
    std::int32_t resultCode = 0;
    TransferRate rate;
};

CLauncherDlg::CLauncherDlg(DialogWindow& window, WorkerSetup workerSetup, std::wstring installationDirectory)
    : m_window(window), m_data(new InnerData)
{
    m_data->workerSetup = std::move(workerSetup);
    m_data->installationDirectory = std::move(installationDirectory);
}

// The program never gets here: it ends the process while the window is up or right
// after it is gone. Whoever else destroys a dialog waits for its engine first, since
// the engine reports to the controller until its thread ends.
CLauncherDlg::~CLauncherDlg()
{
    if (m_data->controller) {
        m_data->windowGone.store(true);
        m_data->controller->worker()->join();
        delete m_data->controller;
    }
    delete m_data;
}

std::intptr_t CLauncherDlg::DoModal()
{
    return m_window.runModal(*this);
}

bool CLauncherDlg::OnInitDialog()
{
    m_window.setStatusText(kCheckingText);
    m_data->controller = new UpdateController(this, m_data->installationDirectory);
    StarterWorker& worker = *m_data->controller->worker();
    if (m_data->workerSetup)
        m_data->workerSetup(worker);
    worker.start();
    return true;
}

std::intptr_t CLauncherDlg::onUpdateProgress()
{
    m_window.setTimer(kProgressTimerId, kProgressTimerPeriodMs);
    return 1;
}

std::intptr_t CLauncherDlg::onUpdateFinished(std::int32_t resultCode)
{
    m_window.killTimer(kProgressTimerId);
    m_data->hasResult = true;
    m_data->resultCode = resultCode;

    if (resultCode == ResultSuccess) {
        m_window.setStatusText(L"更新完成");
        m_window.setProgressPos(100);
        m_window.updateWindow();
        const bool started = m_data->controller && m_data->controller->worker()->handOff(m_passThroughArg);
        if (!started)
            m_window.messageBox(L"启动登陆器失败", L"严重错误", platform::BoxIconError);
        m_window.exitProcess(0);
    } else if (resultCode == ResultServerUnreachable) {
        m_window.setStatusText(std::wstring(L"更新失败") + L",无法连接到服务器");
    } else {
        m_window.setStatusText(L"更新失败");
    }
    return 1;
}

std::intptr_t CLauncherDlg::onOperationRefused()
{
    m_window.messageBox(L"目前不支持该操作", L"错误", platform::BoxOk);
    return 1;
}

void CLauncherDlg::onTimer(unsigned /*timerId*/)
{
    if (!m_data->controller)
        return;  // no progress has been reported; the timer is only set by the controller
    std::int32_t percent = 0;
    m_data->controller->pollProgress(m_data->statusText, percent);
    m_window.setStatusText(m_data->statusText);
    m_window.setProgressPos(percent);
    std::uint64_t received = 0, total = 0;
    m_data->controller->pollBytes(received, total);
    m_data->rate.sample(TransferRate::Clock::now(), received, total);
    m_window.setTransferText(m_data->rate.text());
}

bool CLauncherDlg::dispatchMessage(unsigned message, std::uintptr_t wParam, std::intptr_t /*lParam*/,
                                   std::intptr_t& result)
{
    switch (message) {
    case WM_UPDATE_PROGRESS:
        result = onUpdateProgress();
        return true;
    case WM_UPDATE_FINISHED:
        result = onUpdateFinished(static_cast<std::int32_t>(static_cast<std::intptr_t>(wParam)));
        return true;
    case WM_UPDATE_REFUSED:
        result = onOperationRefused();
        return true;
    default:
        return false;
    }
}

void CLauncherDlg::onWindowGone()
{
    m_data->windowGone.store(true);
}

std::intptr_t CLauncherDlg::sendMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam)
{
    if (m_data->windowGone.load())
        return 0;
    return m_window.sendMessage(message, wParam, lParam);
}

UpdateController* CLauncherDlg::controller() const
{
    return m_data->controller;
}

const std::wstring& CLauncherDlg::statusText() const
{
    return m_data->statusText;
}

bool CLauncherDlg::hasResult() const
{
    return m_data->hasResult;
}

std::int32_t CLauncherDlg::resultCode() const
{
    return m_data->resultCode;
}
