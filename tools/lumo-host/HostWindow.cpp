#include "HostWindow.h"

#include <commctrl.h>

#include <cstdio>
#include <cwchar>
#include <exception>
#include <mutex>
#include <thread>

#include "HostSide.h"
#include "ScreenCapture.h"

namespace lumo_host {

using lumo_tools::WideFrom;

namespace {

constexpr wchar_t kClassName[] = L"LumoHostWindow";
constexpr wchar_t kMessageClassName[] = L"LumoHostMessages";
constexpr wchar_t kTitle[] = L"Lumo host";
constexpr UINT_PTR kCloseTimerId = 1;
constexpr unsigned kCloseRecheckMs = 200;
constexpr ULONGLONG kCloseGraceMs = 30000;

// Private messages, registered so that they cannot collide with the messages
// of a driver that subclasses the window.
UINT RefreshMessage() {
  static const UINT message = RegisterWindowMessageW(L"LumoHost.Refresh");
  return message;
}
UINT ReleaseMessage() {
  static const UINT message = RegisterWindowMessageW(L"LumoHost.ReleaseGauge");
  return message;
}
UINT CloseMessage() {
  static const UINT message = RegisterWindowMessageW(L"LumoHost.Close");
  return message;
}

bool RegisterWindowClass(const wchar_t* name, WNDPROC proc, bool visible) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = proc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = name;
  if (visible) {
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hIcon = LoadIcon(nullptr, IDI_APPLICATION);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  }
  return RegisterClassExW(&wc) || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

void DropQuitMessage() {
  MSG msg;
  PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
}

const wchar_t* LinkText(uint32_t state) {
  switch (state) {
    case 0: return L"";
    case lumo::kLinkValidReply: return L"1 valid";
    case lumo::kLinkNoReply: return L"2 no reply";
    case lumo::kLinkBadReply: return L"3 bad reply";
    default: return L"?";
  }
}

}  // namespace

// One gauge: its driver, its poller and the results of its last round.
struct HostWindow::Slot {
  lumo::Driver* driver = nullptr;  // changed on the UI thread only, with no poller running
  std::wstring label;
  HANDLE stop = nullptr;  // manual-reset: set to end the poller
  std::thread poller;
  std::atomic<uint64_t> rounds{0};
  std::atomic<uint32_t> link_state{0};
  std::atomic<bool> refresh_posted{false};  // one refresh message in the queue at a time
  mutable std::mutex lock;                  // guards last and released
  GaugeSnapshot last;
  bool released = false;
};

HostWindow::HostWindow(std::vector<Gauge> gauges, HostOptions options) : options_(options) {
  for (Gauge& g : gauges) {
    auto slot = std::make_unique<Slot>();
    slot->driver = g.driver;
    slot->label = std::move(g.label);
    slot->released = g.driver == nullptr;
    if (!g.driver && !g.open_error.empty()) {
      slot->last.not_opened = true;
      slot->last.error = std::move(g.open_error);
    }
    slots_.push_back(std::move(slot));
  }
}

HostWindow::~HostWindow() {
  Shutdown();
  if (HWND w = hwnd_.load()) {
    DestroyWindow(w);
    // The quit message posted by that destruction is meant for nobody: a later
    // message loop on this thread must not end at once because of it.
    DropQuitMessage();
  }
  if (message_window_) DestroyWindow(message_window_);
  for (auto& slot : slots_) {
    if (slot->stop) CloseHandle(slot->stop);
  }
}

bool HostWindow::Create() {
  if (created_) return false;
  created_ = true;
  ui_thread_ = GetCurrentThreadId();

  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_LISTVIEW_CLASSES};
  InitCommonControlsEx(&icc);

  const HINSTANCE instance = GetModuleHandleW(nullptr);
  if (!RegisterWindowClass(kClassName, &HostWindow::WindowProc, true) ||
      !RegisterWindowClass(kMessageClassName, &HostWindow::WindowProc, false)) {
    return false;
  }
  // The host's private messages go to a message-only window that no driver
  // subclasses: a driver released from there has none of its code on the stack.
  message_window_ = CreateWindowExW(0, kMessageClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                    nullptr, instance, this);
  if (!message_window_) return false;
  const HWND w = CreateWindowExW(0, kClassName, kTitle, WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN,
                                 options_.x, options_.y, 780, 120 + 22 * static_cast<int>(slots_.size()),
                                 nullptr, nullptr, instance, this);
  if (!w) return false;
  if (!CreateMenuBar() || !CreateListView()) {
    DestroyWindow(w);
    DropQuitMessage();
    return false;
  }
  AttachDriverMenus();
  ShowWindow(w, SW_SHOW);
  UpdateWindow(w);
  for (size_t i = 0; i < slots_.size(); ++i) StartPoller(i);
  return true;
}

bool HostWindow::CreateMenuBar() {
  HMENU bar = CreateMenu();
  HMENU file = CreatePopupMenu();
  HMENU tuning = CreatePopupMenu();
  if (!bar || !file || !tuning) {
    if (bar) DestroyMenu(bar);
    if (file) DestroyMenu(file);
    if (tuning) DestroyMenu(tuning);
    return false;
  }
  AppendMenuW(file, MF_STRING, kCmdExit, L"Выход");
  AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(file), L"&Файл");
  // The host's own item; the drivers append theirs below it.
  AppendMenuW(tuning, MF_STRING | MF_GRAYED, kCmdPollSettings, L"Параметры опроса");
  AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(tuning), L"&Настройка");
  if (!SetMenu(hwnd_.load(), bar)) {
    DestroyMenu(bar);
    return false;
  }
  menu_bar_ = bar;
  return true;
}

bool HostWindow::CreateListView() {
  RECT rc;
  GetClientRect(hwnd_.load(), &rc);
  list_view_ = CreateWindowExW(WS_EX_CLIENTEDGE, WC_LISTVIEWW, L"",
                               WS_CHILD | WS_VISIBLE | LVS_REPORT | LVS_SINGLESEL | LVS_NOSORTHEADER,
                               0, 0, rc.right, rc.bottom, hwnd_.load(), nullptr,
                               GetModuleHandleW(nullptr), nullptr);
  if (!list_view_) return false;
  SendMessageW(list_view_, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES);
  struct {
    const wchar_t* title;
    int width;
  } const columns[kColumnCount] = {{L"Gauge", 110}, {L"State", 50},  {L"Value", 80},
                                   {L"Link", 90},   {L"Rounds", 60}, {L"Last error", 360}};
  for (int c = 0; c < kColumnCount; ++c) {
    LVCOLUMNW col{};
    col.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
    col.pszText = const_cast<wchar_t*>(columns[c].title);
    col.cx = columns[c].width;
    col.iSubItem = c;
    SendMessageW(list_view_, LVM_INSERTCOLUMNW, static_cast<WPARAM>(c), reinterpret_cast<LPARAM>(&col));
  }
  for (size_t i = 0; i < slots_.size(); ++i) {
    LVITEMW item{};
    item.mask = LVIF_TEXT;
    item.iItem = static_cast<int>(i);
    item.pszText = const_cast<wchar_t*>(slots_[i]->label.c_str());
    SendMessageW(list_view_, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
    RefreshRow(i);
  }
  return true;
}

void HostWindow::AttachDriverMenus() {
  for (size_t i = 0; i < slots_.size(); ++i) {
    Slot& slot = *slots_[i];
    if (!slot.driver) continue;
    try {
      lumo::SlotAs<lumo::AddMenuItemsFn>(slot.driver, lumo::kSlotAddMenuItems)(slot.driver, menu_bar_, 0);
    } catch (const std::exception& e) {
      std::lock_guard<std::mutex> hold(slot.lock);
      slot.last.error = L"menu: " + WideFrom(1251, e.what());
    } catch (...) {
      std::lock_guard<std::mutex> hold(slot.lock);
      slot.last.error = L"menu: unknown exception";
    }
    RefreshRow(i);
  }
  DrawMenuBar(hwnd_.load());
}

int HostWindow::RunMessageLoop() {
  MSG msg;
  BOOL got;
  while ((got = GetMessageW(&msg, nullptr, 0, 0)) != 0) {
    if (got == -1) return -1;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return static_cast<int>(msg.wParam);
}

uint64_t HostWindow::PollCount(size_t gauge) const {
  return gauge < slots_.size() ? slots_[gauge]->rounds.load() : 0;
}

uint32_t HostWindow::LastLinkState(size_t gauge) const {
  return gauge < slots_.size() ? slots_[gauge]->link_state.load() : 0;
}

GaugeSnapshot HostWindow::Snapshot(size_t gauge) const {
  if (gauge >= slots_.size()) return {};
  const Slot& slot = *slots_[gauge];
  std::lock_guard<std::mutex> hold(slot.lock);
  GaugeSnapshot s = slot.last;
  s.released = slot.released;
  return s;
}

void HostWindow::ReleaseGauge(size_t gauge) {
  if (gauge >= slots_.size()) return;
  if (message_window_ && GetCurrentThreadId() != ui_thread_) {
    SendMessageW(message_window_, ReleaseMessage(), gauge, 0);
    return;
  }
  ReleaseOnUiThread(gauge);
}

void HostWindow::CloseAfter(unsigned delay_ms, std::function<void()> before_close) {
  if (!hwnd_.load()) return;
  close_delay_ms_ = delay_ms;
  close_armed_at_ = GetTickCount64();
  before_close_ = std::move(before_close);
  SetTimer(message_window_, kCloseTimerId, delay_ms > 0 ? delay_ms : 1, nullptr);
}

bool HostWindow::SaveScreenshot(const std::wstring& path) const {
  const HWND w = hwnd_.load();
  RECT rc;
  return w && GetWindowRect(w, &rc) && lumo_tools::SaveScreenBmp(rc, path);
}

// ---------------------------------------------------------------------------
// Pollers.

void HostWindow::StartPoller(size_t gauge) {
  Slot& slot = *slots_[gauge];
  if (!slot.driver || slot.poller.joinable()) return;
  if (!slot.stop) slot.stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!slot.stop) return;
  ResetEvent(slot.stop);
  try {
    slot.poller = std::thread([this, gauge] { PollLoop(gauge); });
  } catch (const std::exception& e) {
    std::lock_guard<std::mutex> hold(slot.lock);
    slot.last.error = L"poller: " + WideFrom(1251, e.what());
  }
}

void HostWindow::StopPoller(size_t gauge) {
  Slot& slot = *slots_[gauge];
  if (!slot.poller.joinable()) return;
  SetEvent(slot.stop);
  slot.poller.join();
}

// The thread entry: nothing may leave it.
void HostWindow::PollLoop(size_t gauge) {
  Slot& slot = *slots_[gauge];
  try {
    do {
      PollOnce(slot);
      if (!slot.refresh_posted.exchange(true)) {
        if (!PostMessageW(message_window_, RefreshMessage(), gauge, 0)) slot.refresh_posted = false;
      }
    } while (WaitForSingleObject(slot.stop, options_.poll_interval_ms) == WAIT_TIMEOUT);
  } catch (...) {
    // PollOnce catches what the driver throws; this is allocation failure and the like.
  }
}

void HostWindow::PollOnce(Slot& slot) {
  lumo::Driver* d = slot.driver;
  GaugeSnapshot r;
  try {
    r.state = lumo::SlotAs<lumo::ReadStateFn>(d, lumo::kSlotReadState)(d);
    r.has_state = lumo::SlotAs<lumo::GetLinkStateFn>(d, lumo::kSlotGetLinkState)(d) == lumo::kLinkValidReply;
    const double value = lumo::SlotAs<lumo::QueryValue4Fn>(d, lumo::kSlotQueryValue4)(d, 0);
    r.link_state = lumo::SlotAs<lumo::GetLinkStateFn>(d, lumo::kSlotGetLinkState)(d);
    r.has_value = r.link_state == lumo::kLinkValidReply;
    r.value = value;
  } catch (const std::exception& e) {
    r.error = WideFrom(1251, e.what());
  } catch (...) {
    r.error = L"unknown exception";
  }
  if (!r.error.empty()) {
    try {
      r.link_state = lumo::SlotAs<lumo::GetLinkStateFn>(d, lumo::kSlotGetLinkState)(d);
    } catch (...) {
      r.link_state = 0;
    }
  }
  {
    std::lock_guard<std::mutex> hold(slot.lock);
    r.rounds = slot.rounds.load() + 1;
    slot.last = std::move(r);
    slot.link_state = slot.last.link_state;
    slot.rounds = slot.last.rounds;
  }
}

// ---------------------------------------------------------------------------
// UI thread.

void HostWindow::ReleaseOnUiThread(size_t gauge) {
  Slot& slot = *slots_[gauge];
  StopPoller(gauge);
  lumo::Driver* d = slot.driver;
  slot.driver = nullptr;
  if (d) {
    try {
      lumo::Release(d);
    } catch (...) {
      // A destructor that throws leaves nothing for the host to do.
    }
  }
  {
    std::lock_guard<std::mutex> hold(slot.lock);
    slot.released = true;
  }
  RefreshRow(gauge);
}

void HostWindow::Shutdown() {
  if (shut_down_) return;
  shut_down_ = true;
  // All pollers first, so that no request is in flight while drivers go.
  for (size_t i = 0; i < slots_.size(); ++i) {
    if (slots_[i]->poller.joinable()) SetEvent(slots_[i]->stop);
  }
  for (size_t i = 0; i < slots_.size(); ++i) StopPoller(i);
  for (size_t i = 0; i < slots_.size(); ++i) ReleaseOnUiThread(i);
}

void HostWindow::RefreshRow(size_t gauge) {
  if (!list_view_) return;
  const GaugeSnapshot s = Snapshot(gauge);
  wchar_t state[16] = L"";
  wchar_t value[32] = L"";
  wchar_t rounds[24];
  if (s.has_state) {
    if (s.state > 0x20 && s.state < 0x7F) {
      std::swprintf(state, 16, L"%c", static_cast<wchar_t>(s.state));
    } else {
      std::swprintf(state, 16, L"%ld", static_cast<long>(s.state));
    }
  }
  if (s.has_value) std::swprintf(value, 32, L"%.1f", s.value);
  std::swprintf(rounds, 24, L"%llu", static_cast<unsigned long long>(s.rounds));
  const std::wstring cells[kColumnCount] = {
      slots_[gauge]->label, state, value, s.not_opened ? L"not opened" : s.released ? L"released" : LinkText(s.link_state), rounds, s.error};
  for (int c = 1; c < kColumnCount; ++c) {
    LVITEMW item{};
    item.iSubItem = c;
    item.pszText = const_cast<wchar_t*>(cells[c].c_str());
    SendMessageW(list_view_, LVM_SETITEMTEXTW, gauge, reinterpret_cast<LPARAM>(&item));
  }
}

bool HostWindow::AllPolledOnce() const {
  for (const auto& slot : slots_) {
    if (slot->driver && slot->rounds.load() == 0) return false;
  }
  return true;
}

void HostWindow::OnCloseTimer() {
  if (!AllPolledOnce() && GetTickCount64() - close_armed_at_ < close_delay_ms_ + kCloseGraceMs) {
    SetTimer(message_window_, kCloseTimerId, kCloseRecheckMs, nullptr);
    return;
  }
  KillTimer(message_window_, kCloseTimerId);
  std::function<void()> before = std::move(before_close_);
  before_close_ = nullptr;
  if (before) before();
  CloseNow();
}

void HostWindow::CloseNow() {
  Shutdown();
  if (HWND w = hwnd_.load()) DestroyWindow(w);
}

LRESULT CALLBACK HostWindow::WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  // No C++ exception may unwind into the system's frames.
  try {
    HostWindow* self;
    if (message == WM_NCCREATE) {
      self = static_cast<HostWindow*>(reinterpret_cast<CREATESTRUCTW*>(lparam)->lpCreateParams);
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
      // The message-only window is created first, the main window second.
      if (!self->message_window_) {
        self->message_window_ = hwnd;
      } else {
        self->hwnd_ = hwnd;
      }
    } else {
      self = reinterpret_cast<HostWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    }
    if (self) {
      const LRESULT result = hwnd == self->message_window_
                                 ? self->HandleServiceMessage(hwnd, message, wparam, lparam)
                                 : self->HandleMessage(hwnd, message, wparam, lparam);
      if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        if (hwnd == self->message_window_) {
          self->message_window_ = nullptr;
        } else {
          self->hwnd_ = nullptr;
          self->list_view_ = nullptr;
          self->menu_bar_ = nullptr;
        }
      }
      return result;
    }
  } catch (...) {
    return 0;
  }
  return DefWindowProcW(hwnd, message, wparam, lparam);
}

// The message-only window: pollers' refreshes, releases, the close timer.
LRESULT HostWindow::HandleServiceMessage(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == RefreshMessage()) {
    if (wparam < slots_.size()) {
      slots_[wparam]->refresh_posted = false;
      RefreshRow(wparam);
    }
    return 0;
  }
  if (message == ReleaseMessage()) {
    if (wparam < slots_.size()) ReleaseOnUiThread(wparam);
    return 0;
  }
  if (message == CloseMessage()) {
    CloseNow();
    return 0;
  }
  if (message == WM_TIMER && wparam == kCloseTimerId) {
    OnCloseTimer();
    return 0;
  }
  return DefWindowProcW(hwnd, message, wparam, lparam);
}

// The main window. Its messages pass through the drivers' subclasses first.
LRESULT HostWindow::HandleMessage(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_SIZE:
      if (list_view_) MoveWindow(list_view_, 0, 0, LOWORD(lparam), HIWORD(lparam), TRUE);
      return 0;
    case WM_COMMAND:
      if (HIWORD(wparam) == 0 && LOWORD(wparam) == kCmdExit) {
        PostMessageW(message_window_, CloseMessage(), 0, 0);
        return 0;
      }
      break;
    case WM_CLOSE:
      // Closed from the message-only window, once this message has left the
      // drivers' subclass procedures: releasing a driver removes its subclass.
      PostMessageW(message_window_, CloseMessage(), 0, 0);
      return 0;
    case WM_DESTROY:
      Shutdown();  // already done unless someone called DestroyWindow directly
      PostQuitMessage(0);
      return 0;
    default:
      break;
  }
  return DefWindowProcW(hwnd, message, wparam, lparam);
}

}  // namespace lumo_host
