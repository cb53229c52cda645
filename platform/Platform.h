#pragma once
// Process-level system calls. One implementation per system (win32/, posix/);
// everything above this header is the same code on both.

#include <functional>
#include <string>

namespace platform {

// Message box styles used by the program (values of the Win32 constants).
enum MessageBoxStyle : unsigned { BoxOk = 0x0, BoxIconError = 0x10 };

typedef std::function<void(const std::wstring& text, const std::wstring& caption, unsigned style)>
    MessageBoxHandler;

// Shows a box with no owner window and waits until it is closed. Tests and the
// terminal front end replace the handler; the previous handler is returned.
void showMessageBox(const std::wstring& text, const std::wstring& caption, unsigned style);
MessageBoxHandler setMessageBoxHandler(MessageBoxHandler handler);

// The running process is a 32-bit process on 64-bit Windows (false on POSIX).
bool isWow64();

// Full path of the running executable. A path too long for the classic 260-character
// buffer is read again with a larger one rather than cut short (a cut path would
// name the wrong directory).
std::wstring modulePath();

// The command line as Windows gives it. On POSIX it is composed from argv as a
// Windows shortcut passes it: the program and every argument in double quotes.
std::wstring commandLine(int argc, char** argv);

// Takes the named single-instance lock; false when another process holds it
// (or access to it is denied). The lock is held until the process ends.
bool acquireSingleInstance(const std::wstring& name);

// Starts a program and does not wait for it. `parameters` is split at blanks on
// POSIX; `directory` may be empty (the current directory).
struct StartRequest {
    std::wstring file;
    std::wstring parameters;
    std::wstring directory;
    bool hidden = false;
};
bool startProgram(const StartRequest& request);

// Runs the self-replacement steps of support/SelfReplacement.h in a detached
// shell started in `exeDir`: cmd.exe on Windows, which finds `argument` in the
// plan's environment variable (set only when the argument is not empty);
// /bin/sh on POSIX, which receives it as its positional parameter. `argument`
// comes from selfReplaceArgument. False when the shell could not be started.
bool startSelfReplacement(const std::wstring& exeDir, const std::wstring& argument);

}  // namespace platform
