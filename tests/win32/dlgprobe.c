/* Looks at the starter's windows from outside, as a user would see them.
 *   dlgprobe state [CAPTION]   prints the dialog's caption, status line, bar
 *                              position, the line under the bar, message-box
 *                              text and styles as "key=value" UTF-8 lines
 *   dlgprobe close [CAPTION]   asks it to close (WM_CLOSE, as the close box does)
 * CAPTION picks the dialog-class window by its title, "Launcher" by default.
 * Exit status 0 when the window was found, 1 when there is none. */

#include <windows.h>
#include <commctrl.h>

#include <stdio.h>
#include <string.h>

static void printUtf8(const char* key, const wchar_t* value)
{
    char buffer[4096];
    DWORD written = 0;
    int length = WideCharToMultiByte(CP_UTF8, 0, value, -1, buffer, (int)sizeof buffer, NULL, NULL);
    char line[4200];
    if (length <= 0)
        buffer[0] = 0;
    length = snprintf(line, sizeof line, "%s=%s\n", key, buffer);
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, (DWORD)length, &written, NULL);
}

static void printNumber(const char* key, unsigned long long value, int hex)
{
    char line[128];
    DWORD written = 0;
    int length = snprintf(line, sizeof line, hex ? "%s=0x%llx\n" : "%s=%llu\n", key, value);
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, (DWORD)length, &written, NULL);
}

int wmain(int argc, wchar_t** argv)
{
    HWND window;
    wchar_t text[1024];

    if (argc != 2 && argc != 3) {
        fputs("usage: dlgprobe state|close [CAPTION]\n", stderr);
        return 2;
    }
    /* The dialog class of the system; message boxes have it too. */
    window = FindWindowW(L"#32770", argc == 3 ? argv[2] : L"Launcher");
    if (!window) {
        printNumber("window", 0, 0);
        return 1;
    }
    if (wcscmp(argv[1], L"close") == 0)
        return PostMessageW(window, WM_CLOSE, 0, 0) ? 0 : 3;
    if (wcscmp(argv[1], L"state") != 0) {
        fputs("usage: dlgprobe state|close [CAPTION]\n", stderr);
        return 2;
    }

    printNumber("window", 1, 0);
    GetWindowTextW(window, text, 1024);
    printUtf8("caption", text);
    GetDlgItemTextW(window, 1001, text, 1024);
    printUtf8("status", text);
    printNumber("progress", (unsigned long long)SendDlgItemMessageW(window, 1000, PBM_GETPOS, 0, 0), 0);
    text[0] = 0;
    GetDlgItemTextW(window, 1002, text, 1024);
    printUtf8("transfer", text);
    /* A message box shows its text in the static control 0xFFFF. */
    text[0] = 0;
    GetDlgItemTextW(window, 0xFFFF, text, 1024);
    printUtf8("text", text);
    printNumber("style", (unsigned long)GetWindowLongW(window, GWL_STYLE), 1);
    printNumber("exstyle", (unsigned long)GetWindowLongW(window, GWL_EXSTYLE), 1);
    printNumber("visible", IsWindowVisible(window) != 0, 0);
    return 0;
}
