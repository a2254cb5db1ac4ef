#include "GuiRig.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "ScreenCapture.h"

namespace lumo_test {

std::wstring Text(HWND window) {
  wchar_t buffer[512] = {};
  GetWindowTextW(window, buffer, 512);
  return buffer;
}

std::string Utf8(const std::wstring& text) {
  char buffer[2048] = {};
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, buffer, sizeof buffer - 1, nullptr, nullptr);
  return buffer;
}

XInput::XInput() : client_("LUMO_XINPUT") {}

std::string XInput::Do(const std::string& command) {
  const std::string reply = client_.Exchange(command);
  EXPECT_EQ(reply.rfind("ok", 0), 0u) << command << " -> " << reply;
  return reply.size() > 3 ? reply.substr(3) : std::string();
}

void XInput::ClickAt(int x, int y) {
  const std::string where = std::to_string(x) + " " + std::to_string(y);
  // mousemove --sync waits for a motion, which never comes when the pointer
  // is there already.
  const std::string location = Do("xdotool getmouselocation");
  if (location.rfind("x:" + std::to_string(x) + " y:" + std::to_string(y) + " ", 0) == 0)
    Do("xdotool click 1");
  else
    Do("xdotool mousemove --sync " + where + " click 1");
}

void XInput::Click(HWND window) {
  RECT r;
  ASSERT_TRUE(GetWindowRect(window, &r));
  ClickAt((r.left + r.right) / 2, (r.top + r.bottom) / 2);
}

void XInput::Key(const std::string& keys) { Do("xdotool key --delay 30 " + keys); }

void XInput::Type(const std::string& text) { Do("xdotool type --delay 30 '" + text + "'"); }

void XInput::Shot(const std::string& name, HWND window) {
  const char* root = std::getenv("LUMO_ROOT");
  if (!root) return;
  const std::string dir = "Z:" + std::string(root) + "/build/screenshots";
  CreateDirectoryA(dir.c_str(), nullptr);
  RECT r{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
  if (window) {
    EXPECT_TRUE(GetWindowRect(window, &r)) << name;
  }
  const std::string path = dir + "/" + name + ".bmp";
  EXPECT_TRUE(lumo_tools::SaveScreenBmp(r, std::wstring(path.begin(), path.end()))) << path;
}

}  // namespace lumo_test
