/* Stands in for the program the starter hands over to: writes its working
 * directory and its whole command line, as UTF-8 lines, to a file beside itself
 * named after it with ".record" appended. The file appears complete or not at all. */

#include <windows.h>

#include <string.h>

static int appendUtf8(HANDLE file, const wchar_t* text)
{
    char buffer[4 * 32768];
    DWORD written = 0;
    int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer, (int)sizeof buffer - 1, NULL, NULL);
    if (length <= 0)
        return 0;
    buffer[length - 1] = '\n'; /* the terminator becomes the line's end */
    return WriteFile(file, buffer, (DWORD)length, &written, NULL) && written == (DWORD)length;
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR commandLine, int show)
{
    wchar_t self[32768];
    wchar_t partial[32800];
    wchar_t record[32800];
    wchar_t directory[32768];
    HANDLE file;
    int ok;
    DWORD length;
    (void)instance;
    (void)previous;
    (void)commandLine;
    (void)show;

    length = GetModuleFileNameW(NULL, self, 32768);
    if (length == 0 || length >= 32768)
        return 2;
    if (!GetCurrentDirectoryW(32768, directory))
        return 2;
    lstrcpyW(partial, self);
    lstrcatW(partial, L".partial");
    lstrcpyW(record, self);
    lstrcatW(record, L".record");

    file = CreateFileW(partial, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 3;
    ok = appendUtf8(file, directory) && appendUtf8(file, GetCommandLineW());
    CloseHandle(file);
    if (!ok || !MoveFileExW(partial, record, MOVEFILE_REPLACE_EXISTING))
        return 4;
    return 0;
}
