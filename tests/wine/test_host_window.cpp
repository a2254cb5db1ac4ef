// The reference host under Wine on a virtual display: polling, release from
// another thread, closing, real mouse and keyboard input through the input
// agent (LUMO_XINPUT), screenshots, and lumo-host.exe's command line.
// Run by scripts/gui-run.sh scripts/sim-run.sh (the simulated gauge on COM6).
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "ControlClient.h"
#include "GuiRig.h"
#include "HostWindow.h"
#include "LumoHost.h"
#include "SimGauge.h"

using lumo_host::HostWindow;
using namespace lumo_test;

namespace {


// Runs the message loop on this thread while script runs on another; the
// window is closed when the script returns, if the script has not closed it.
int RunWithScript(HostWindow& window, const std::function<void()>& script) {
  const HWND hwnd = window.hwnd();
  std::thread worker([&] {
    script();
    if (IsWindow(hwnd)) PostMessageW(hwnd, WM_CLOSE, 0, 0);
  });
  const int status = window.RunMessageLoop();
  worker.join();
  return status;
}

// A driver for a HostWindow, which owns it from then on.
lumo::Driver* NewDriver(uint32_t number, bool is_unit_number) {
  return LumoHost::Get().get_silo_ex3()(nullptr, number, is_unit_number ? 1 : 0);
}

std::wstring CellText(const HostWindow& window, size_t row, int column) {
  wchar_t buffer[256] = L"";
  LVITEMW item{};
  item.iSubItem = column;
  item.pszText = buffer;
  item.cchTextMax = 256;
  SendMessageW(window.list_view(), LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item));
  return buffer;
}

std::wstring MenuText(HMENU menu, UINT position) {
  wchar_t buffer[128] = L"";
  GetMenuStringW(menu, position, buffer, 128, MF_BYPOSITION);
  return buffer;
}

bool HasCyrillic(const std::wstring& text) {
  for (wchar_t c : text) {
    if (c >= 0x0410 && c <= 0x044F) return true;
  }
  return false;
}

// A click in the middle of a rectangle on the screen.
void ClickAt(XInput& input, const RECT& rc) {
  input.ClickAt((rc.left + rc.right) / 2, (rc.top + rc.bottom) / 2);
}

}  // namespace

TEST(HostWindow, PollsShowsReleasesFromAnotherThreadAndCloses) {
  SimGauge sim;
  sim.Ok("set ch=0 code=4 int=123 tenths=4 status=0");
  sim.Ok("set state=A");
  lumo_host::HostOptions options;
  options.poll_interval_ms = 50;
  HostWindow window({{NewDriver(SimGauge::Com(), false), L"sim"},
                     {NewDriver(1, true), L"no unit"},
                     {nullptr, L"COM200", L"Невозможно открыть COM200"}},
                    options);
  ASSERT_TRUE(window.Create());

  // The menu bar the drivers were handed: exact captions, host ids outside the drivers' range.
  HMENU bar = window.menu_bar();
  ASSERT_EQ(GetMenu(window.hwnd()), bar);
  ASSERT_EQ(GetMenuItemCount(bar), 2);
  EXPECT_EQ(MenuText(bar, 0), L"&Файл");
  EXPECT_EQ(MenuText(bar, 1), L"&Настройка");
  HMENU tuning = GetSubMenu(bar, 1);
  EXPECT_EQ(MenuText(tuning, 0), L"Параметры опроса");
  EXPECT_EQ(GetMenuItemID(tuning, 0), HostWindow::kCmdPollSettings);
  for (UINT id : {HostWindow::kCmdExit, HostWindow::kCmdPollSettings}) {
    EXPECT_TRUE(id < lumo::kMenuCommandFirst || id > lumo::kMenuCommandLast) << id;
  }

  const int status = RunWithScript(window, [&] {
    ASSERT_TRUE(WaitFor([&] { return window.PollCount(0) >= 3 && window.PollCount(1) >= 3; }));
    EXPECT_EQ(window.LastLinkState(0), lumo::kLinkValidReply);
    EXPECT_EQ(window.LastLinkState(1), lumo::kLinkNoReply);
    const lumo_host::GaugeSnapshot sim_row = window.Snapshot(0);
    EXPECT_TRUE(sim_row.has_value);
    EXPECT_DOUBLE_EQ(sim_row.value, 123.4);
    EXPECT_EQ(sim_row.state, 'A');
    EXPECT_TRUE(sim_row.has_state);
    EXPECT_TRUE(sim_row.error.empty()) << sim_row.error.size();
    // The library's Windows-1251 message arrives as Cyrillic, not as Latin-1 debris.
    const lumo_host::GaugeSnapshot unit_row = window.Snapshot(1);
    EXPECT_FALSE(unit_row.has_state);
    EXPECT_FALSE(unit_row.has_value);
    EXPECT_TRUE(HasCyrillic(unit_row.error));

    // What the list shows once the UI thread has caught up.
    EXPECT_TRUE(WaitFor([&] { return CellText(window, 0, HostWindow::kColValue) == L"123.4"; }));
    EXPECT_EQ(CellText(window, 0, HostWindow::kColLabel), L"sim");
    EXPECT_EQ(CellText(window, 0, HostWindow::kColState), L"A");
    EXPECT_EQ(CellText(window, 0, HostWindow::kColLink), L"1 valid");
    EXPECT_EQ(CellText(window, 1, HostWindow::kColLink), L"2 no reply");
    EXPECT_EQ(CellText(window, 1, HostWindow::kColValue), L"");
    EXPECT_EQ(CellText(window, 1, HostWindow::kColState), L"");
    EXPECT_EQ(CellText(window, 1, HostWindow::kColError), unit_row.error);
    // A gauge whose factory failed: a row with its error, never polled.
    EXPECT_EQ(CellText(window, 2, HostWindow::kColLabel), L"COM200");
    EXPECT_EQ(CellText(window, 2, HostWindow::kColLink), L"not opened");
    EXPECT_EQ(CellText(window, 2, HostWindow::kColError), L"Невозможно открыть COM200");
    EXPECT_TRUE(window.Snapshot(2).not_opened);
    EXPECT_EQ(window.PollCount(2), 0u);

    // Released from this thread: the poller stops, the other gauge goes on.
    window.ReleaseGauge(1);
    EXPECT_TRUE(window.Snapshot(1).released);
    EXPECT_EQ(CellText(window, 1, HostWindow::kColLink), L"released");
    const uint64_t frozen = window.PollCount(1);
    const uint64_t before = window.PollCount(0);
    EXPECT_TRUE(WaitFor([&] { return window.PollCount(0) >= before + 2; }));
    EXPECT_EQ(window.PollCount(1), frozen);
    window.ReleaseGauge(1);   // twice: nothing left to do
    window.ReleaseGauge(99);  // no such gauge
    EXPECT_EQ(window.PollCount(99), 0u);
    PostMessageW(window.hwnd(), WM_CLOSE, 0, 0);
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(window.hwnd(), nullptr);
  EXPECT_TRUE(window.Snapshot(0).released);
}

TEST(HostWindow, ContinuousPollingKeepsTheWindowResponsive) {
  lumo_host::HostOptions options;
  options.poll_interval_ms = 0;
  std::vector<lumo_host::Gauge> gauges;
  for (uint32_t unit = 1; unit <= 3; ++unit) {
    gauges.push_back({NewDriver(unit, true), L"unit " + std::to_wstring(unit)});
  }
  HostWindow window(std::move(gauges), options);
  ASSERT_TRUE(window.Create());
  RunWithScript(window, [&] {
    ASSERT_TRUE(WaitFor([&] { return window.PollCount(0) >= 200; }));
    // Refreshes are coalesced: the UI thread answers at once and the rows are current.
    DWORD_PTR result = 0;
    EXPECT_NE(SendMessageTimeoutW(window.hwnd(), WM_NULL, 0, 0, SMTO_BLOCK, 2000, &result), 0);
    EXPECT_TRUE(WaitFor([&] {
      return std::wcstoull(CellText(window, 2, HostWindow::kColRounds).c_str(), nullptr, 10) >= 200;
    }));
  });
}

TEST(HostWindow, LifetimeWithoutMessageLoop) {
  {  // Never created: the destructor still releases the driver.
    HostWindow window({{NewDriver(1, true), L"a"}}, {});
    window.ReleaseGauge(0);
    EXPECT_TRUE(window.Snapshot(0).released);
  }
  {  // Created and destroyed without a loop: no stray WM_QUIT for the next loop.
    HostWindow window({{NewDriver(1, true), L"a"}, {nullptr, L"none"}}, {});
    ASSERT_TRUE(window.Create());
    EXPECT_FALSE(window.Create());
    EXPECT_TRUE(window.Snapshot(1).released);
  }
  MSG msg;
  EXPECT_FALSE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
}

// The one way screenshots are taken (lumo_tools::SaveScreenBmp; the GUI
// tests' XInput::Shot too): the window's rectangle as a 24-bit BMP file.
TEST(HostWindow, SaveScreenshotWritesTheWindowAsBmp) {
  HostWindow window({{NewDriver(1, true), L"unit 1"}}, {});
  ASSERT_TRUE(window.Create());
  const std::wstring path = TempPath(L"host.bmp");
  RECT rc;
  GetWindowRect(window.hwnd(), &rc);
  bool saved = false;
  window.CloseAfter(100, [&] { saved = window.SaveScreenshot(path); });
  EXPECT_EQ(window.RunMessageLoop(), 0);
  ASSERT_TRUE(saved);
  EXPECT_FALSE(window.SaveScreenshot(TempPath(L"gone.bmp")));  // the window is gone
  const std::string bmp = ReadFileBytes(path);
  DeleteFileW(path.c_str());
  ASSERT_GT(bmp.size(), sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER));
  BITMAPFILEHEADER file;
  BITMAPINFOHEADER info;
  memcpy(&file, bmp.data(), sizeof file);
  memcpy(&info, bmp.data() + sizeof file, sizeof info);
  EXPECT_EQ(file.bfType, 0x4D42);
  EXPECT_EQ(file.bfSize, bmp.size());
  EXPECT_EQ(info.biWidth, rc.right - rc.left);
  EXPECT_EQ(info.biHeight, rc.bottom - rc.top);
  EXPECT_EQ(info.biBitCount, 24);
  // Mostly the window's light surfaces, not a black (failed) capture.
  size_t bright = 0;
  for (size_t i = file.bfOffBits; i < bmp.size(); ++i) bright += static_cast<unsigned char>(bmp[i]) > 128;
  EXPECT_GT(bright * 2, bmp.size() - file.bfOffBits);
}

// Real input through the agent, the way GUI tests drive Wine windows.
TEST(HostWindowInput, MouseThroughTheMenuBarEndsTheHost) {
  XInput x;
  HostWindow window({{NewDriver(1, true), L"unit 1"}}, {});
  ASSERT_TRUE(window.Create());
  const int status = RunWithScript(window, [&] {
    const HWND hwnd = window.hwnd();
    HMENU file = GetSubMenu(window.menu_bar(), 0);
    RECT rc;
    ASSERT_TRUE(GetMenuItemRect(hwnd, window.menu_bar(), 0, &rc));
    ClickAt(x, rc);
    // A popup's item rectangle exists only while the popup is shown.
    ASSERT_TRUE(WaitFor([&] { return GetMenuItemRect(hwnd, file, 0, &rc) != 0; }, 10000));
    ClickAt(x, rc);
    EXPECT_TRUE(WaitFor([&] { return !IsWindow(hwnd); }, 10000));
  });
  EXPECT_EQ(status, 0);
}

// gui-run.sh has Wine manage its windows itself: keys go to the window Wine
// activated, wherever the pointer is, with no window manager on the display.
TEST(HostWindowInput, KeysReachTheActiveWindowWhereverThePointerIs) {
  ControlClient x("LUMO_XINPUT");
  ASSERT_TRUE(x.Connected()) << x.Error();
  HostWindow window({{NewDriver(1, true), L"unit 1"}}, {});
  ASSERT_TRUE(window.Create());
  const int status = RunWithScript(window, [&] {
    const HWND hwnd = window.hwnd();
    ASSERT_TRUE(WaitFor([&] { return GetForegroundWindow() == hwnd; }, 10000));
    EXPECT_EQ(x.Exchange("xdotool mousemove --sync 1270 1010"), "ok");
    // F10 enters the menu bar, Down opens "Файл", Return picks "Выход".
    EXPECT_EQ(x.Exchange("xdotool key --delay 50 F10 Down Return"), "ok");
    EXPECT_EQ(x.Exchange("bogus").rfind("err ", 0), 0u);
    EXPECT_TRUE(WaitFor([&] { return !IsWindow(hwnd); }, 10000));
  });
  EXPECT_EQ(status, 0);
}

// lumo-host.exe as a user runs it.
namespace {

ProgramRun RunHost(const std::wstring& args) {
  const std::wstring dir = ProgramDir();
  return RunProgram(dir + L"\\lumo-host.exe", args, dir);
}

}  // namespace

TEST(LumoHostProgram, CommandLine) {
  struct Case {
    const wchar_t* args;
    DWORD status;
    const char* err_contains;  // UTF-8
  } const cases[] = {
      {L"com:0", 2, "bad gauge 'com:0'"},
      {L"com:256", 2, "bad gauge"},
      {L"unit:4", 2, "bad gauge"},
      {L"com:x1", 2, "bad gauge"},
      {L"unit:1 serial", 2, "bad gauge 'serial'"},
      {L"--no-such-option", 2, "--no-such-option"},
      // The factory throws: its Windows-1251 message comes out as UTF-8, and
      // with no gauge created at all the host ends with 1.
      {L"com:200", 1, "com:200: Невозможно открыть COM200"},
      {L"com:200 com:201", 1, "com:201: Невозможно открыть COM201"},
  };
  for (const Case& c : cases) {
    const ProgramRun run = RunHost(c.args);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_NE(run.err.find(c.err_contains), std::string::npos) << run.err;
  }
}

TEST(LumoHostProgram, ScreenshotAfterPollingThenExit) {
  // The second list: one gauge fails to open, the host runs on with the
  // other, polls it (the screenshot waits for its round) and ends with 0.
  for (const wchar_t* gauges : {L"unit:1 ini", L"unit:1 com:200"}) {
    const std::wstring bmp = TempPath(L"cli.bmp");
    const ProgramRun run =
        RunHost(L"--poll-ms 100 --screenshot-after-ms 300 --screenshot-file \"" + bmp + L"\" " + gauges);
    EXPECT_EQ(run.status, 0u) << run.err;
    EXPECT_NE(run.out.find("lumo-host: screenshot"), std::string::npos) << run.out;
    const std::string data = ReadFileBytes(bmp);
    DeleteFileW(bmp.c_str());
    EXPECT_EQ(data.substr(0, 2), "BM");
    if (std::wstring(gauges).find(L"com:200") != std::wstring::npos) {
      EXPECT_NE(run.err.find("com:200: Невозможно открыть COM200"), std::string::npos) << run.err;
    }
  }
}
