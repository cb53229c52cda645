#include "support/SelfReplacement.h"

#include "support/Log.h"
#include "support/TextConvert.h"

namespace {

// A name as one word of /bin/sh text: in single quotes, in which nothing is
// special but the single quote itself.
std::wstring shellWord(const std::wstring& text)
{
    std::wstring word = L"'";
    for (wchar_t c : text) {
        if (c == L'\'')
            word += L"'\\''";
        else
            word += c;
    }
    return word + L"'";
}

}  // namespace

// The new build reads its last double-quoted part: a double quote inside would
// end the argument early. Such an argument cannot travel whole, so it travels
// without them.
std::wstring selfReplaceArgument(const std::wstring& passThroughArg)
{
    std::wstring inert;
    for (wchar_t c : passThroughArg) {
        if (c != L'"')
            inert += c;
    }
    if (inert.size() != passThroughArg.size())
        Log::instance().write("启动参数含有双引号，去掉双引号后传给新版本:", wideToNarrow(inert));
    return inert;
}

// Nobody here can run the real cmd.exe, so each piece says why it is there.
// - No directory: the shell starts in the starter's directory (the caller makes
//   it the working directory), so no directory name is ever read as shell text.
// - "/v:on": delayed expansion. The argument comes from the environment as
//   !NAME!, which is expanded after the line has been split at & | < > and after
//   ^ and %...% have been dealt with, so nothing in it is read as shell syntax.
//   Putting it into the text itself would need quoting rules that cmd does not have.
// - "ping": about one second, so that the starter has ended and released its file.
// - "copy" then "move": the new build under both names, no staging file left behind.
// - The new build runs as a plain command, not through "start": cmd hands the
//   command text on as it stands, so the new build's command line ends with the
//   argument in double quotes and it reads its last double-quoted argument, as
//   from a shortcut. wine's start quotes again only the arguments with a blank.
//   The hidden shell ends when the new build does. An empty argument adds nothing.
// The names hold no blank and nothing cmd would read, so they stand bare.
std::wstring buildSelfReplaceParameters(const std::wstring& argument)
{
    const SelfReplacePlan& plan = kSelfReplacePlan;
    std::wstring text = L" /v:on /c ping -n 2 127.0.0.1";
    text += std::wstring(L" & copy /y ") + plan.staging + L" " + plan.starter;
    text += std::wstring(L" & move /y ") + plan.staging + L" " + plan.restart;
    text += std::wstring(L" & ") + plan.restart;
    if (!argument.empty())
        text += std::wstring(L" \"!") + plan.argumentVariable + L"!\"";
    return text;
}

// The same steps for /bin/sh. A delivered build carries no execute bit, so the
// restart name gets one for its owner. "$@" is the argument as one word, or
// nothing, as the cmd text adds nothing for an empty one.
std::vector<std::wstring> buildSelfReplaceShellCommand(const std::wstring& argument)
{
    const SelfReplacePlan& plan = kSelfReplacePlan;
    const std::wstring staging = shellWord(plan.staging);
    const std::wstring restart = shellWord(plan.restart);
    std::wstring script = L"sleep 1\n";
    script += L"cp -f " + staging + L" " + shellWord(plan.starter) + L"\n";
    script += L"mv -f " + staging + L" " + restart + L"\n";
    script += L"chmod u+x " + restart + L"\n";
    script += L"exec ./" + restart + L" \"$@\"\n";

    std::vector<std::wstring> command{L"/bin/sh", L"-c", script, L"sh"};
    if (!argument.empty())
        command.push_back(argument);
    return command;
}
