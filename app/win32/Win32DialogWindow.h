#pragma once
// The progress dialog as a Win32 dialog box: the template 102 of the program's
// resources, run modally with DialogBoxParamW. Its dialog procedure does what the
// framework's message map would: centring, icons, minimized painting, the two
// messages of the controller, the progress timer, and OK/Cancel/close ending the
// dialog.

#include "app/DialogWindow.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

class Win32DialogWindow : public DialogWindow {
public:
    // `instance` holds the dialog template and the icon.
    explicit Win32DialogWindow(HINSTANCE instance);
    ~Win32DialogWindow() override;
    Win32DialogWindow(const Win32DialogWindow&) = delete;
    Win32DialogWindow& operator=(const Win32DialogWindow&) = delete;

    std::intptr_t runModal(CLauncherDlg& dialog) override;
    void setStatusText(const std::wstring& text) override;
    void setProgressPos(int position) override;
    void setTransferText(const std::wstring& text) override;
    void setTimer(unsigned id, unsigned periodMs) override;
    void killTimer(unsigned id) override;
    std::intptr_t sendMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override;
    void messageBox(const std::wstring& text, const std::wstring& caption, unsigned style) override;
    void exitProcess(int status) override;

    // The dialog box while it is up, otherwise null.
    HWND handle() const { return m_window.load(); }
    HICON icon() const { return m_icon; }

private:
    static INT_PTR CALLBACK dialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR handleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void centre(HWND window);
    bool paintMinimized(HWND window);
    void endDialog(HWND window, INT_PTR result);

    HINSTANCE m_instance;
    HICON m_icon;
    CLauncherDlg* m_dialog = nullptr;
    // Read by the engine's thread when it sends; cleared before the window goes.
    std::atomic<HWND> m_window{nullptr};
    bool m_ending = false;
    // Set again only when it changes: a static control flickers on every set.
    std::wstring m_transferText;
};
