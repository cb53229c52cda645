#include "platform/Platform.h"

#include <mutex>
#include <utility>

namespace platform {

void showSystemMessageBox(const std::wstring& text, const std::wstring& caption, unsigned style);

namespace {

struct HandlerSlot {
    std::mutex mutex;
    MessageBoxHandler handler;
};

HandlerSlot& slot()
{
    static HandlerSlot instance;
    return instance;
}

}  // namespace

void showMessageBox(const std::wstring& text, const std::wstring& caption, unsigned style)
{
    MessageBoxHandler handler;
    {
        std::lock_guard<std::mutex> lock(slot().mutex);
        handler = slot().handler;
    }
    if (handler)
        handler(text, caption, style);
    else
        showSystemMessageBox(text, caption, style);
}

MessageBoxHandler setMessageBoxHandler(MessageBoxHandler handler)
{
    std::lock_guard<std::mutex> lock(slot().mutex);
    std::swap(slot().handler, handler);
    return handler;
}

}  // namespace platform
