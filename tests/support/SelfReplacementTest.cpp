#include "SupportTestUtil.h"

#include "support/SelfReplacement.h"

#include <string>
#include <vector>

struct ScriptCase {
    const char* name;
    const wchar_t* argument;
    const wchar_t* commandShellText;
    std::vector<std::wstring> positional;  // after /bin/sh, -c, the script and its name
};

class SelfReplaceScript : public ::testing::TestWithParam<ScriptCase> {};

// Neither the directory nor the argument enters either script: the shell starts
// in the directory, and reads the argument from its environment (cmd.exe) or as
// its one positional parameter (/bin/sh).
TEST_P(SelfReplaceScript, MatchesTheShellTextByteForByte)
{
    const ScriptCase& c = GetParam();
    EXPECT_EQ(buildSelfReplaceParameters(c.argument), c.commandShellText);

    std::vector<std::wstring> expected{L"/bin/sh", L"-c",
                                       L"sleep 1\n"
                                       L"cp -f 'Launcher.exe.tmp' 'Launcher.exe'\n"
                                       L"mv -f 'Launcher.exe.tmp' 'Ruvezuv.exe'\n"
                                       L"chmod u+x 'Ruvezuv.exe'\n"
                                       L"exec ./'Ruvezuv.exe' \"$@\"\n",
                                       L"sh"};
    expected.insert(expected.end(), c.positional.begin(), c.positional.end());
    EXPECT_EQ(buildSelfReplaceShellCommand(c.argument), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, SelfReplaceScript,
    ::testing::Values(
        ScriptCase{"Argument",
                   L"a=1&b=2",
                   L" /v:on /c ping -n 2 127.0.0.1 & copy /y Launcher.exe.tmp Launcher.exe & move /y "
                   L"Launcher.exe.tmp Ruvezuv.exe & Ruvezuv.exe \"!STARTER_ARG!\"",
                   {L"a=1&b=2"}},
        ScriptCase{"Empty",
                   L"",
                   L" /v:on /c ping -n 2 127.0.0.1 & copy /y Launcher.exe.tmp Launcher.exe & move /y "
                   L"Launcher.exe.tmp Ruvezuv.exe & Ruvezuv.exe",
                   {}}),
    [](const ::testing::TestParamInfo<ScriptCase>& info) { return std::string(info.param.name); });
