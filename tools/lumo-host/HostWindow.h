// The main window of the reference host: a menu bar the drivers extend
// (slot 15), a list view with one row per gauge, and one poll thread per gauge.
//
// Threads: Create, RunMessageLoop, the destructor and everything that touches
// windows run on one thread, the UI thread (the one that called Create).
// PollCount, LastLinkState, Snapshot and ReleaseGauge may be called from any
// thread. Drivers are released on the UI thread only, after their poller has
// stopped, because releasing one removes its menu item and window subclass.
#ifndef LUMO_HOST_HOSTWINDOW_H
#define LUMO_HOST_HOSTWINDOW_H

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "lumo.h"

namespace lumo_host {

struct Gauge {
  lumo::Driver* driver;  // owned by the HostWindow from then on (null: shown as released)
  std::wstring label;
  // Why the factory gave no driver (its exception's message): the row then
  // shows "not opened" and this error, and is never polled.
  std::wstring open_error = {};
};

struct HostOptions {
  unsigned poll_interval_ms = 1000;  // pause between poll rounds; 0 polls continuously
  int x = 40, y = 40;                // top-left corner of the main window on the screen
};

// The results of a gauge's last completed poll round.
struct GaugeSnapshot {
  bool released = false;
  bool not_opened = false;  // the factory failed; error holds its message
  uint64_t rounds = 0;      // completed poll rounds
  bool has_state = false;   // the state read came with a valid reply
  int32_t state = 0;        // slot 8 result
  bool has_value = false;   // the value read came with a valid reply
  double value = 0;         // slot 9, channel 0
  uint32_t link_state = 0;  // slot 4 after the round; 0 before the first round
  std::wstring error;       // exception message of the last round, empty when none
};

class HostWindow {
 public:
  // Command identifiers of the host's own menu items (outside the drivers'
  // range lumo::kMenuCommandFirst..kMenuCommandLast).
  static constexpr UINT kCmdExit = 100;
  static constexpr UINT kCmdPollSettings = 101;
  // List view columns.
  enum Column : int { kColLabel, kColState, kColValue, kColLink, kColRounds, kColError, kColumnCount };

  HostWindow(std::vector<Gauge> gauges, HostOptions options);  // does not create windows yet
  ~HostWindow();  // on the UI thread once Create was called: destroys the window if it still exists
  HostWindow(const HostWindow&) = delete;
  HostWindow& operator=(const HostWindow&) = delete;

  // On the calling thread, which becomes the UI thread: creates the main
  // window "Lumo host" with its menu bar, hands the menu bar to slot 15 of
  // every driver, shows the window and starts the pollers. False on failure.
  bool Create();
  // GetMessage loop until WM_QUIT; returns its wParam.
  int RunMessageLoop();

  HWND hwnd() const { return hwnd_.load(); }
  HMENU menu_bar() const { return menu_bar_; }
  HWND list_view() const { return list_view_; }
  size_t GaugeCount() const { return slots_.size(); }

  uint64_t PollCount(size_t gauge) const;       // completed poll rounds (0 for an unknown index)
  uint32_t LastLinkState(size_t gauge) const;   // slot 4 after the last round, 0 before any
  GaugeSnapshot Snapshot(size_t gauge) const;

  // Stops that gauge's poller and releases its driver on the UI thread; from
  // another thread it sends a private message to the window and returns once
  // the UI thread has done it. The row then shows "released".
  void ReleaseGauge(size_t gauge);

  // Calls before_close on the UI thread once delay_ms have passed and every
  // gauge still held has completed a poll round (or delay_ms + 30 s have
  // passed), then closes the window. Call after Create.
  void CloseAfter(unsigned delay_ms, std::function<void()> before_close);

  // Writes what the screen shows in the window's rectangle as a 24-bit BMP file.
  bool SaveScreenshot(const std::wstring& path) const;

 private:
  struct Slot;

  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT HandleMessage(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT HandleServiceMessage(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
  void CloseNow();
  bool CreateMenuBar();
  bool CreateListView();
  void AttachDriverMenus();
  void StartPoller(size_t gauge);
  void StopPoller(size_t gauge);
  void PollLoop(size_t gauge);
  void PollOnce(Slot& slot);
  void ReleaseOnUiThread(size_t gauge);
  void Shutdown();
  void RefreshRow(size_t gauge);
  void OnCloseTimer();
  bool AllPolledOnce() const;

  std::vector<std::unique_ptr<Slot>> slots_;
  HostOptions options_;
  std::atomic<HWND> hwnd_{nullptr};
  HMENU menu_bar_ = nullptr;
  HWND list_view_ = nullptr;
  HWND message_window_ = nullptr;  // private messages; no driver subclasses it
  DWORD ui_thread_ = 0;
  bool created_ = false;
  bool shut_down_ = false;
  unsigned close_delay_ms_ = 0;
  ULONGLONG close_armed_at_ = 0;
  std::function<void()> before_close_;
};

}  // namespace lumo_host

#endif
