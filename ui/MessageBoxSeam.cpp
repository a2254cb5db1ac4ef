#include "ui/MessageBoxSeam.h"

#include <windows.h>

#include <atomic>

namespace lumo::ui {
namespace {
std::atomic<MessageBoxHandler> g_handler{nullptr};
}  // namespace

int ShowMessageBox(const wchar_t* text, const wchar_t* caption, unsigned flags) {
  if (const MessageBoxHandler handler = g_handler.load()) return handler(text, caption, flags);
  return MessageBoxW(GetActiveWindow(), text, caption, flags);
}

MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler) {
  return g_handler.exchange(handler);
}

}  // namespace lumo::ui
