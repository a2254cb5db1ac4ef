// The library's one way of showing a message box. Tests install a handler
// that records the box and answers it without a window.
#ifndef LUMO_UI_MESSAGEBOXSEAM_H
#define LUMO_UI_MESSAGEBOXSEAM_H

#include <string>

namespace lumo::ui {

// Same contract as MessageBoxW without an owner: returns the button's id.
using MessageBoxHandler = int (*)(const wchar_t* text, const wchar_t* caption, unsigned flags);

// Shows the box through the installed handler, else through MessageBoxW.
int ShowMessageBox(const wchar_t* text, const wchar_t* caption, unsigned flags);

// Installs a handler (nullptr restores MessageBoxW); returns the previous one.
MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler);

// Texts and flags of the boxes the library shows.
inline constexpr wchar_t kErrorCaption[] = L"Ошибка";
inline constexpr unsigned kErrorFlags = 16;  // MB_OK | MB_ICONERROR
inline constexpr unsigned kInfoFlags = 64;   // MB_OK | MB_ICONINFORMATION

// An error box ("Ошибка", OK, error icon) with the given text. Never throws.
void ShowErrorBox(const wchar_t* text) noexcept;
// The library's 8-bit texts (exception messages) are Windows-1251.
std::wstring WideFromCp1251(const char* text);
// Inside a catch block: the text for an error box about the exception being
// handled (its message, or "Неизвестная ошибка" for one that has none).
std::wstring CurrentErrorText();

}  // namespace lumo::ui

#endif
