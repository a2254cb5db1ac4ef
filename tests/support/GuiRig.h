// Driving Wine windows from a test as a person would: the input agent of
// scripts/gui-run.sh (LUMO_XINPUT) moves the X pointer and types through
// xdotool; screenshots; waits poll a condition with a deadline.
#ifndef LUMO_TESTS_GUIRIG_H
#define LUMO_TESTS_GUIRIG_H

#include <windows.h>

#include <functional>
#include <string>

#include "ControlClient.h"
#include "Wait.h"

namespace lumo_test {

// A window's text, and UTF-8 for test messages.
std::wstring Text(HWND window);
std::string Utf8(const std::wstring& text);

// Real mouse and keyboard input through the agent.
class XInput {
 public:
  XInput();
  // Sends one agent command; a reply other than "ok ..." fails the test.
  std::string Do(const std::string& command);
  void ClickAt(int x, int y);
  // A click in the middle of the window's rectangle on the screen.
  void Click(HWND window);
  // xdotool key names, e.g. "Escape", "Tab", "ctrl+a", "BackSpace".
  void Key(const std::string& keys);
  // Types ASCII text as key presses.
  void Type(const std::string& text);
  // Saves a screenshot as build/screenshots/NAME.bmp (NAME.png once
  // gui-run.sh ends): of the whole screen, or of the window's rectangle on it.
  void Shot(const std::string& name, HWND window = nullptr);

 private:
  ControlClient client_;
};

}  // namespace lumo_test

#endif
