#pragma once
// The self-replacement plan. The update stores a new build of the running
// starter beside it under the staging name; once the starter has ended, a
// hidden shell in the starter's directory waits about a second, puts the new
// build in place under the starter's name and the restart name (so no staging
// file is left) and starts it under the restart name with the pass-through
// argument. Each step runs whether or not the one before worked: nobody is left
// to see a failure. cmd.exe and /bin/sh run the same steps; both scripts are
// built here, from the one record below.
//
// The argument never becomes script text: cmd.exe reads it from an environment
// variable, /bin/sh as its positional parameter. The directory is the shell's
// working directory and never appears in the script either.

#include <string>
#include <vector>

// The names are fixed on disk and in the version protocol: both builds use them.
struct SelfReplacePlan {
    const wchar_t* starter;           // the running starter's file
    const wchar_t* staging;           // the new build as the update stores it
    const wchar_t* restart;           // the second name, under which the new build starts
    const wchar_t* argumentVariable;  // where cmd.exe finds the argument
    const wchar_t* commandShell;      // the system's shell on Windows, in its system directory
};
inline constexpr SelfReplacePlan kSelfReplacePlan{L"Launcher.exe", L"Launcher.exe.tmp", L"Ruvezuv.exe",
                                                  L"STARTER_ARG", L"cmd.exe"};

// For the update check: the file that is the running starter, and where its new
// build goes instead.
inline std::wstring starterFileName()
{
    return kSelfReplacePlan.starter;
}
inline std::wstring starterStagingName()
{
    return kSelfReplacePlan.staging;
}

// The argument as the restarted build receives it: without double quotes, which
// would end it early; a log line says when any were taken out.
std::wstring selfReplaceArgument(const std::wstring& passThroughArg);

// Parameter text of cmd.exe, after its own name. `argument` (from
// selfReplaceArgument; empty: none) is not in the text: the shell reads it from
// the variable `kSelfReplacePlan.argumentVariable`, which the caller sets.
std::wstring buildSelfReplaceParameters(const std::wstring& argument);

// The whole command of the POSIX shell: /bin/sh, its options, the script, the
// script's name and `argument` (from selfReplaceArgument) as the one positional
// parameter when it is not empty.
std::vector<std::wstring> buildSelfReplaceShellCommand(const std::wstring& argument);
