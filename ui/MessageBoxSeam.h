// The library's one way of showing a message box. Tests install a handler
// that records the box and answers it without a window.
#ifndef LUMO_UI_MESSAGEBOXSEAM_H
#define LUMO_UI_MESSAGEBOXSEAM_H

#include <windows.h>

#include <string>

namespace lumo::ui {

// Same contract as MessageBoxW: returns the button's id. owner is the window
// the box belongs to (may be null).
using MessageBoxHandler = int (*)(HWND owner, const wchar_t* text, const wchar_t* caption,
                                  unsigned flags);

// Shows the box through the installed handler, else through MessageBoxW,
// owned by owner. A null owner stands for the calling thread's active window
// (none on a thread without windows).
int ShowMessageBox(HWND owner, const wchar_t* text, const wchar_t* caption, unsigned flags);

// Installs a handler (nullptr restores MessageBoxW); returns the previous one.
MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler);

// Texts and flags of the boxes the library shows.
inline constexpr wchar_t kErrorCaption[] = L"Ошибка";
inline constexpr unsigned kErrorFlags = 16;  // MB_OK | MB_ICONERROR
inline constexpr unsigned kInfoFlags = 64;   // MB_OK | MB_ICONINFORMATION

// An error box ("Ошибка", OK, error icon) with the given text. Never throws.
void ShowErrorBox(HWND owner, const wchar_t* text) noexcept;
// The library's 8-bit texts (exception messages) are Windows-1251.
std::wstring WideFromCp1251(const char* text);
// Inside a catch block: the text for an error box about the exception being
// handled (its message, or "Неизвестная ошибка" for one that has none).
std::wstring CurrentErrorText();

}  // namespace lumo::ui

#endif
