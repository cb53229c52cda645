#include <windows.h>

#include <string>

namespace platform {

void showSystemMessageBox(const std::wstring& text, const std::wstring& caption, unsigned style)
{
    MessageBoxW(nullptr, text.c_str(), caption.c_str(), style);
}

}  // namespace platform
