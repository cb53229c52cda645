#include "support/TextConvert.h"

#include <cstdio>
#include <string>

namespace platform {

// Without a window system the box is the caption and the text on standard error.
void showSystemMessageBox(const std::wstring& text, const std::wstring& caption, unsigned /*style*/)
{
    std::string line = "[" + wideToNarrow(caption) + "] " + wideToNarrow(text) + "\n";
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
}

}  // namespace platform
