#include "ui/MessageBoxSeam.h"

#include <windows.h>

#include <atomic>
#include <exception>

#include "ui/TuneTexts.h"

namespace lumo::ui {
namespace {
std::atomic<MessageBoxHandler> g_handler{nullptr};
}  // namespace

int ShowMessageBox(HWND owner, const wchar_t* text, const wchar_t* caption, unsigned flags) {
  if (!owner) owner = GetActiveWindow();
  if (const MessageBoxHandler handler = g_handler.load()) return handler(owner, text, caption, flags);
  return MessageBoxW(owner, text, caption, flags);
}

void ShowErrorBox(HWND owner, const wchar_t* text) noexcept {
  try {
    ShowMessageBox(owner, text, kErrorCaption, kErrorFlags);
  } catch (...) {
  }
}

std::wstring WideFromCp1251(const char* text) {
  const int length = MultiByteToWideChar(1251, 0, text, -1, nullptr, 0);
  if (length <= 1) return std::wstring();
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(1251, 0, text, -1, &wide[0], length);
  wide.resize(static_cast<size_t>(length - 1));
  return wide;
}

std::wstring CurrentErrorText() {
  try {
    throw;
  } catch (const std::exception& error) {
    return WideFromCp1251(error.what());
  } catch (...) {
    return text::kUnknownError;
  }
}

MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler) {
  return g_handler.exchange(handler);
}

}  // namespace lumo::ui
