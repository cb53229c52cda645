#include "platform/Platform.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

// The self-replacement script is run for real by the app tests
// (SelfReplacementArguments), with the text the engine builds.

TEST(CommandLineWin32, IsTheProcessCommandLineWhateverArgvHolds)
{
    char program[] = "ignored";
    char* argv[] = {program, nullptr};
    EXPECT_EQ(std::wstring(GetCommandLineW()), platform::commandLine(1, argv));
}
