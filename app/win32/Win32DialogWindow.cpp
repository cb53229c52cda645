#include "app/win32/Win32DialogWindow.h"

#include "app/CLauncherDlg.h"
#include "app/UpdateController.h"
#include "platform/Platform.h"
#include "res/resource.h"
#include "support/Log.h"

#include <commctrl.h>

#include <cstdio>
#include <string>

Win32DialogWindow::Win32DialogWindow(HINSTANCE instance)
    : m_instance(instance), m_icon(LoadIconW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME)))
{
}

// Icons loaded by LoadIconW are shared resources of the module: nothing to free.
Win32DialogWindow::~Win32DialogWindow() = default;

std::intptr_t Win32DialogWindow::runModal(CLauncherDlg& dialog)
{
    // The progress bar's window class comes from the common controls library.
    INITCOMMONCONTROLSEX controls;
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_PROGRESS_CLASS;
    InitCommonControlsEx(&controls);

    m_dialog = &dialog;
    m_ending = false;
    m_transferText.clear();
    const INT_PTR result = DialogBoxParamW(m_instance, MAKEINTRESOURCEW(IDD_LAUNCHER_DIALOG), nullptr,
                                           &Win32DialogWindow::dialogProc, reinterpret_cast<LPARAM>(this));
    if (result == -1) {
        // Without its window nobody would ever learn why the starter did nothing.
        Log::instance().write("创建窗口失败", std::to_string(GetLastError()));
    }
    m_window.store(nullptr);
    m_dialog = nullptr;
    return result;
}

INT_PTR CALLBACK Win32DialogWindow::dialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG)
        SetWindowLongPtrW(window, DWLP_USER, lParam);
    Win32DialogWindow* self = reinterpret_cast<Win32DialogWindow*>(GetWindowLongPtrW(window, DWLP_USER));
    // Messages before WM_INITDIALOG (the font, for one) need nothing of ours.
    if (!self)
        return FALSE;
    return self->handleMessage(window, message, wParam, lParam);
}

INT_PTR Win32DialogWindow::handleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        m_window.store(window);
        centre(window);
        SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_icon));
        SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_icon));
        m_dialog->OnInitDialog();
        return TRUE;  // the system sets the default focus

    case WM_PAINT:
        if (IsIconic(window))
            return paintMinimized(window);
        return FALSE;

    case WM_QUERYDRAGICON:
        return reinterpret_cast<INT_PTR>(m_icon);

    case WM_TIMER:
        if (!m_ending)
            m_dialog->onTimer(static_cast<unsigned>(wParam));
        return FALSE;

    case WM_COMMAND:
        // Enter, Esc and the close box arrive here as IDOK and IDCANCEL.
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            endDialog(window, LOWORD(wParam));
            return TRUE;
        }
        return FALSE;

    case WM_DESTROY:
        m_window.store(nullptr);
        m_dialog->onWindowGone();
        return FALSE;

    default:
        break;
    }

    std::intptr_t result = 0;
    if (m_ending) {
        // The controller's messages are no longer wanted once the dialog ends.
        if (message == WM_UPDATE_PROGRESS || message == WM_UPDATE_FINISHED || message == WM_UPDATE_REFUSED) {
            SetWindowLongPtrW(window, DWLP_MSGRESULT, 0);
            return TRUE;
        }
        return FALSE;
    }
    if (m_dialog->dispatchMessage(message, wParam, lParam, result)) {
        SetWindowLongPtrW(window, DWLP_MSGRESULT, result);
        return TRUE;
    }
    return FALSE;
}

void Win32DialogWindow::centre(HWND window)
{
    // A template placed at 0,0 asks for no position: the dialog framework centres
    // such a dialog, on the work area of its monitor as it has no owner.
    RECT box;
    MONITORINFO monitor;
    monitor.cbSize = sizeof monitor;
    if (!GetWindowRect(window, &box) ||
        !GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTOPRIMARY), &monitor))
        return;  // it stays where the template put it
    const RECT& area = monitor.rcWork;
    const int x = area.left + ((area.right - area.left) - (box.right - box.left)) / 2;
    const int y = area.top + ((area.bottom - area.top) - (box.bottom - box.top)) / 2;
    SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

bool Win32DialogWindow::paintMinimized(HWND window)
{
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    SendMessageW(window, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);

    const int iconWidth = GetSystemMetrics(SM_CXICON);
    const int iconHeight = GetSystemMetrics(SM_CYICON);
    RECT client;
    GetClientRect(window, &client);
    const int x = (client.right - client.left - iconWidth + 1) / 2;
    const int y = (client.bottom - client.top - iconHeight + 1) / 2;
    DrawIcon(dc, x, y, m_icon);
    EndPaint(window, &paint);
    return true;
}

void Win32DialogWindow::endDialog(HWND window, INT_PTR result)
{
    // From here on the engine's sends return 0 without reaching the dialog.
    m_ending = true;
    m_window.store(nullptr);
    m_dialog->onWindowGone();
    EndDialog(window, result);
}

void Win32DialogWindow::setStatusText(const std::wstring& text)
{
    if (HWND window = m_window.load())
        SetDlgItemTextW(window, IDC_STATUS, text.c_str());
}

void Win32DialogWindow::setProgressPos(int position)
{
    if (HWND window = m_window.load())
        SendDlgItemMessageW(window, IDC_PROGRESS, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void Win32DialogWindow::setTransferText(const std::wstring& text)
{
    HWND window = m_window.load();
    if (window && text != m_transferText) {
        m_transferText = text;
        SetDlgItemTextW(window, IDC_TRANSFER, text.c_str());
    }
}

void Win32DialogWindow::setTimer(unsigned id, unsigned periodMs)
{
    if (HWND window = m_window.load())
        SetTimer(window, id, periodMs, nullptr);
}

void Win32DialogWindow::killTimer(unsigned id)
{
    if (HWND window = m_window.load())
        KillTimer(window, id);
}

std::intptr_t Win32DialogWindow::sendMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam)
{
    HWND window = m_window.load();
    if (!window)
        return 0;
    // Waits until the UI thread has handled it; a window destroyed meanwhile makes
    // the call return 0.
    return SendMessageW(window, message, wParam, lParam);
}

void Win32DialogWindow::messageBox(const std::wstring& text, const std::wstring& caption, unsigned style)
{
    platform::showMessageBox(text, caption, style);
}

void Win32DialogWindow::exitProcess(int status)
{
    // Ends at once: the engine's thread may still be running, and the static objects
    // it uses must not be destroyed under it. Every log line is already on disk.
    std::fflush(nullptr);
    ExitProcess(static_cast<UINT>(status));
}
