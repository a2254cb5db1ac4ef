// What the tuning dialog does: its modal run, its messages, the form
// operations and the values of its fields. The form itself is built in
// TuneLayout.cpp.
#include "ui/TuneParams.h"

#include <commctrl.h>

#include <cstdio>
#include <exception>
#include <string>

#include "ui/MessageBoxSeam.h"
#include "ui/TuneLayout.h"
#include "ui/TuneTexts.h"
#include "ui/TuneWorkers.h"

namespace lumo::ui {

namespace {

// Private messages of the form.
constexpr UINT kMsgRunStep = WM_APP + 0x4C0;
constexpr UINT kMsgExitCheck = WM_APP + 0x4C1;

struct Step {
  const std::function<void()>* run;
  std::exception_ptr error;
};

std::wstring WindowText(HWND window) {
  const int length = GetWindowTextLengthW(window);
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  text.resize(static_cast<size_t>(GetWindowTextW(window, &text[0], length + 1)));
  return text;
}

// Windows' own text for an error code, without its line end.
std::wstring SystemErrorText(unsigned long code) {
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text = length && buffer ? std::wstring(buffer, length) : std::wstring();
  if (buffer) LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' '))
    text.pop_back();
  return text.empty() ? text::kNoSystemText : text;
}

// The box for a cnf.ini that could not be written: which file, why, and for
// access denied what an administrator can do about it.
std::wstring ConfigWriteFailedText(const ConfigWriteFailure& failure) {
  const bool denied = failure.error == ERROR_ACCESS_DENIED;
  std::wstring text = text::kConfigNotWritten + failure.path + text::kWindowsError +
                      std::to_wstring(failure.error) + L"):\n";
  text += denied ? std::wstring(text::kConfigAccessDenied) : SystemErrorText(failure.error);
  text += std::wstring(L"\n") + text::kConnectionUnchanged;
  if (denied) text += std::wstring(L"\n") + text::kConfigAccessHint;
  return text;
}

bool IsHexDigit(wchar_t c) {
  return (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F') || (c >= L'a' && c <= L'f');
}

}  // namespace

// ---------------------------------------------------------------------------
// Modal run

int TfmTuneParams::ShowModal() {
  FormShow();
  RECT frame;
  GetWindowRect(hwnd_, &frame);
  const int width = frame.right - frame.left;
  const int height = frame.bottom - frame.top;
  SetWindowPos(hwnd_, nullptr, (GetSystemMetrics(SM_CXSCREEN) - width) / 2,
               (GetSystemMetrics(SM_CYSCREEN) - height) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  const bool owner_enabled = owner_ && IsWindowEnabled(owner_);
  if (owner_enabled) EnableWindow(owner_, FALSE);
  ShowWindow(hwnd_, SW_SHOW);
  SetForegroundWindow(hwnd_);
  SetFocus(bbtCancel);

  bool quit = false;
  WPARAM quit_code = 0;
  MSG msg;
  while (!(close_requested_ && workers_running_ == 0)) {
    const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got == -1) break;
    if (got == 0) {
      // The application is ending: close, let the workers finish, then pass
      // the quit on to the host's own loop.
      quit = true;
      quit_code = msg.wParam;
      bbtCancelClick();
      continue;
    }
    // Ctrl+Tab and Ctrl+Shift+Tab switch pages.
    if (msg.message == WM_KEYDOWN && msg.wParam == VK_TAB && GetKeyState(VK_CONTROL) < 0 &&
        (msg.hwnd == hwnd_ || IsChild(hwnd_, msg.hwnd))) {
      const int page = static_cast<int>(SendMessageW(pgTuneParams, TCM_GETCURSEL, 0, 0));
      const int next = (page + 1) % 2;
      SendMessageW(pgTuneParams, TCM_SETCURSEL, static_cast<WPARAM>(next), 0);
      ShowPage(next);
      continue;
    }
    if (!IsDialogMessageW(hwnd_, &msg)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  if (owner_enabled) EnableWindow(owner_, TRUE);
  ShowWindow(hwnd_, SW_HIDE);
  if (owner_) SetActiveWindow(owner_);
  if (quit) PostQuitMessage(static_cast<int>(quit_code));
  return modal_result_;
}

void TfmTuneParams::RequestClose() const { PostMessageW(hwnd_, WM_CLOSE, 0, 0); }

void TfmTuneParams::bbtCancelClick() {
  // Closing waits for a running worker: the loop ends once it has finished.
  modal_result_ = IDCANCEL;
  close_requested_ = true;
}

void TfmTuneParams::RunOnUiThread(const std::function<void()>& step) {
  Step message{&step, nullptr};
  if (GetWindowThreadProcessId(hwnd_, nullptr) == GetCurrentThreadId())
    step();
  else
    SendMessageW(hwnd_, kMsgRunStep, 0, reinterpret_cast<LPARAM>(&message));
  if (message.error) std::rethrow_exception(message.error);
}

void TfmTuneParams::WorkerStarting(HANDLE thread) {
  worker_threads_.push_back(thread);
  ++workers_running_;
}

void TfmTuneParams::WorkerEnded() {
  --workers_running_;
  ++workers_ended_;
  // The focus was parked on the page control while the inputs were off (or
  // went nowhere): back to where it was, else to the page's default button.
  const HWND focus = GetFocus();
  if ((!focus || focus == pgTuneParams) && GetActiveWindow() == hwnd_) {
    const auto usable = [](HWND w) { return w && IsWindowEnabled(w) && IsWindowVisible(w); };
    HWND back = usable(focus_before_worker_) ? focus_before_worker_
                : usable(bbtRead)            ? bbtRead
                                             : pgTuneParams;
    SetFocus(back);
  }
  // Wake the modal loop so that a pending close is seen.
  PostMessageW(hwnd_, WM_NULL, 0, 0);
}

// ---------------------------------------------------------------------------
// Window procedures

LRESULT CALLBACK TfmTuneParams::FormProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lp);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    static_cast<TfmTuneParams*>(create->lpCreateParams)->hwnd_ = hwnd;
  }
  auto* form = reinterpret_cast<TfmTuneParams*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (!form) return DefWindowProcW(hwnd, msg, wp, lp);
  // No exception may unwind into the window manager.
  try {
    return form->HandleMessage(msg, wp, lp);
  } catch (...) {
    ShowErrorBox(hwnd, CurrentErrorText().c_str());
  }
  return 0;
}

// Pages pass their controls' notifications on to the form.
LRESULT CALLBACK TfmTuneParams::PageProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  auto* form = reinterpret_cast<TfmTuneParams*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (form) {
    switch (msg) {
      case WM_COMMAND:
      case WM_NOTIFY:
      case WM_CTLCOLORSTATIC:
      case WM_CTLCOLOREDIT:
      case WM_CTLCOLORBTN:
        return SendMessageW(form->hwnd_, msg, wp, lp);
      default:
        break;
    }
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

LRESULT CALLBACK TfmTuneParams::EditSubclassProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp,
                                                 UINT_PTR kind, DWORD_PTR self) {
  auto* form = reinterpret_cast<TfmTuneParams*>(self);
  switch (msg) {
    case WM_CHAR:
      if (kind == kExitIdent) {
        auto key = static_cast<wchar_t>(wp);
        form->eT1IdentKeyPress(key);
        if (key == 0) return 0;
        wp = key;
      }
      break;
    case WM_KEYDOWN:
      // The arrow keys step a height through its up-down control, which
      // would make a number out of an empty field, or clamp one out of range:
      // a marked field takes typed digits only.
      if (kind == kExitLevel && form->IsMarked(hwnd) &&
          (wp == VK_UP || wp == VK_DOWN || wp == VK_PRIOR || wp == VK_NEXT))
        return 0;
      break;
    case WM_KILLFOCUS: {
      // Checked once the focus has moved on to another control of the form,
      // as a control's exit event is.
      const auto next = reinterpret_cast<HWND>(wp);
      if (next && (next == form->hwnd_ || IsChild(form->hwnd_, next)))
        PostMessageW(form->hwnd_, kMsgExitCheck, kind, reinterpret_cast<LPARAM>(hwnd));
      break;
    }
    case WM_NCDESTROY:
      RemoveWindowSubclass(hwnd, &EditSubclassProc, kind);
      break;
    default:
      break;
  }
  return DefSubclassProc(hwnd, msg, wp, lp);
}

LRESULT TfmTuneParams::HandleMessage(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_COMMAND:
      if (HandleCommand(LOWORD(wp), HIWORD(wp), reinterpret_cast<HWND>(lp))) return 0;
      break;
    case WM_NOTIFY: {
      const auto* header = reinterpret_cast<const NMHDR*>(lp);
      if (header->hwndFrom == pgTuneParams && header->code == TCN_SELCHANGE) {
        ShowPage(static_cast<int>(SendMessageW(pgTuneParams, TCM_GETCURSEL, 0, 0)));
        return 0;
      }
      break;
    }
    case WM_CLOSE:
      bbtCancelClick();
      return 0;
    case DM_GETDEFID:
      // No default by identifier: Enter arrives as IDOK and is routed below.
      return 0;
    case WM_CTLCOLORSTATIC: {
      const auto dc = reinterpret_cast<HDC>(wp);
      const auto control = reinterpret_cast<HWND>(lp);
      SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
      if (IsMarked(control)) {
        SetBkColor(dc, kMarkColor);
        return reinterpret_cast<LRESULT>(mark_brush_);
      }
      if (control == lbVers2) SetTextColor(dc, code_unknown_ ? kUnknownCodeColor : kVersionColor);
      else if (control == pnTune) SetTextColor(dc, kStatusColor);
      else if (IsWindowEnabled(control)) SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
      else break;  // disabled edits draw as the system draws them
      return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    }
    case WM_CTLCOLOREDIT:
      // A field the gauge did not give (or gave out of range) stands out.
      if (IsMarked(reinterpret_cast<HWND>(lp))) {
        const auto dc = reinterpret_cast<HDC>(wp);
        SetBkColor(dc, kMarkColor);
        SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
        return reinterpret_cast<LRESULT>(mark_brush_);
      }
      break;
    case kMsgRunStep: {
      auto* step = reinterpret_cast<Step*>(lp);
      try {
        (*step->run)();
      } catch (...) {
        step->error = std::current_exception();
      }
      return 0;
    }
    case kMsgExitCheck:
      if (wp == kExitIdent) eT1IdentExit(reinterpret_cast<HWND>(lp));
      else LevelExit(reinterpret_cast<HWND>(lp));
      return 0;
    default:
      break;
  }
  return DefWindowProcW(hwnd_, msg, wp, lp);
}

bool TfmTuneParams::HandleCommand(int id, int code, HWND control) {
  if ((id >= kIdLevelFirst && id < kIdLevelFirst + kSensorRows) ||
      (id >= kIdIdentFirst && id < kIdIdentFirst + kSensorRows)) {
    if (code == EN_CHANGE) {
      if (!filling_) FieldTyped(control);
      seLevelTopChange();
    }
    return true;
  }
  switch (id) {
    case IDCANCEL:
      bbtCancelClick();
      return true;
    case IDOK: {
      // Enter: the focused button, or the default button of the visible page.
      HWND focus = GetFocus();
      wchar_t cls[16] = {};
      if (focus && GetClassNameW(focus, cls, 16) && lstrcmpiW(cls, WC_BUTTONW) == 0) {
        SendMessageW(focus, BM_CLICK, 0, 0);
      } else if (IsWindowVisible(tsTuneParams)) {
        if (IsWindowEnabled(bbtRead)) bbtReadClick();
      } else if (IsWindowEnabled(bbtSave)) {
        bbtSaveClick();
      }
      return true;
    }
    case kIdSave:
      if (code == BN_CLICKED) bbtSaveClick();
      return true;
    case kIdRead:
      if (code == BN_CLICKED) bbtReadClick();
      return true;
    case kIdWrite:
      if (code == BN_CLICKED) bbtWriteClick();
      return true;
    case kIdConnectionType:
      if (code == CBN_SELCHANGE) seCriticalTimeChange();
      return true;
    case kIdChannel:
      if (code == CBN_SELCHANGE) cbSiloNumChange();
      return true;
    default:
      (void)control;
      return false;
  }
}

void TfmTuneParams::ShowPage(int index) {
  ShowWindow(tsOther, index == 0 ? SW_SHOW : SW_HIDE);
  ShowWindow(tsTuneParams, index == 1 ? SW_SHOW : SW_HIDE);
}

// ---------------------------------------------------------------------------
// Form operations

void TfmTuneParams::FormShow() {
  SendMessageW(cbSiloNum, CB_SETCURSEL, static_cast<WPARAM>(-1), 0);
  SetWindowTextW(cbSiloNum, L"");
  SetWindowTextW(pnTune, L"");
  AccessOnOff(false);
  // A type beyond the list (a hand-edited cnf.ini) selects nothing.
  const uint8_t type = Driver ? Driver->ConnectionType() : 0;
  const auto items = SendMessageW(cbConnetionType, CB_GETCOUNT, 0, 0);
  SendMessageW(cbConnetionType, CB_SETCURSEL, type < items ? type : static_cast<WPARAM>(-1), 0);
  DisableButton(bbtWrite);
  DisableButton(bbtSave);
  EnableWindow(bbtRead, TRUE);
  EnableWindow(cbSiloNum, TRUE);
}

void TfmTuneParams::AccessOnOff(bool on) {
  const BOOL enable = on ? TRUE : FALSE;
  // A focused control of the page that goes off would take the keys with it.
  const HWND focus = GetFocus();
  if (!on && focus && IsChild(tsTuneParams, focus)) SetFocus(pgTuneParams);
  for (const Row& row : rows_) {
    EnableWindow(row.level, enable);
    EnableWindow(row.spin, on && !IsMarked(row.level) ? TRUE : FALSE);
  }
  for (const Row& row : rows_) EnableWindow(row.ident, enable);
  ShowWindow(lbVers, on ? SW_SHOW : SW_HIDE);
  ShowWindow(lbVers2, on ? SW_SHOW : SW_HIDE);
  EnableWindow(bbtRead, enable);
  EnableWindow(bbtWrite, enable);
  EnableWindow(cbSiloNum, enable);
}

void TfmTuneParams::cbSiloNumChange() {
  // One worker at a time; the inputs go off here already, so that nothing
  // can start a second one before the worker's first step runs.
  if (workers_running_ > 0) return;
  focus_before_worker_ = GetFocus();
  AccessOnOff(false);
  if (!(new TGetThread(this))->Start()) AccessOnOff(true);
}

void TfmTuneParams::bbtReadClick() {
  if (GetWindowTextLengthW(cbSiloNum) > 0)
    cbSiloNumChange();
  else
    ShowMessageBox(hwnd_, text::kChooseChannel, text::kInfoCaption, kInfoFlags);
  DisableButton(bbtWrite);
}

void TfmTuneParams::bbtWriteClick() {
  if (workers_running_ > 0) return;
  // Nothing is sent while a field holds no value of the gauge's or the
  // user's; every value is checked before anything is sent, so a write never
  // stops half-way over a bad entry.
  if (!CheckMarkedFields()) return;
  if (!CheckAllInputs()) return;
  focus_before_worker_ = GetFocus();
  AccessOnOff(false);
  if (!(new TSetThread(this))->Start()) AccessOnOff(true);
}

void TfmTuneParams::seLevelTopChange() { EnableWindow(bbtWrite, TRUE); }

void TfmTuneParams::seCriticalTimeChange() { EnableWindow(bbtSave, TRUE); }

void TfmTuneParams::bbtSaveClick() {
  if (!Driver) return;
  const auto type = static_cast<int32_t>(SendMessageW(cbConnetionType, CB_GETCURSEL, 0, 0));
  if (type < 0) return;
  ConfigWriteFailure failure;
  if (!Driver->SaveConnectionType(type, hwnd_, failure)) {
    // The file was not written: nothing switched, Save stays enabled.
    ShowErrorBox(hwnd_, ConfigWriteFailedText(failure).c_str());
    return;
  }
  // A serial port that did not open (its box has been shown) leaves Save on:
  // pressing it again tries the open again.
  if (Driver->ConnectionType() >= 3 && !Driver->HasGaugePort()) return;
  DisableButton(bbtSave);
}

void TfmTuneParams::eT1IdentKeyPress(wchar_t& key) {
  // Backspace, hexadecimal digits, and the editing keys Ctrl+A, C, V, X, Z.
  const bool editing = key == 1 || key == 3 || key == 0x16 || key == 0x18 || key == 0x1A;
  if (key == 8 || editing || IsHexDigit(key)) return;
  key = 0;
}

void TfmTuneParams::eT1IdentExit(HWND sender) {
  // A marked field is empty (or out of range) by the dialog's doing; Write
  // names it, leaving it is no error.
  if (!IsWindowEnabled(sender) || !IsWindowVisible(sender) || IsMarked(sender)) return;
  for (int row = 1; row <= kSensorRows; ++row) {
    int64_t value = 0;
    if (IdentEdit(row) == sender && !IdentValue(row, value)) {
      SetFocus(sender);
      ShowErrorBox(hwnd_, text::kBadIdent);
      return;
    }
  }
}

void TfmTuneParams::LevelExit(HWND sender) {
  if (!IsWindowEnabled(sender) || !IsWindowVisible(sender) || IsMarked(sender)) return;
  for (int row = 1; row <= kSensorRows; ++row) {
    uint16_t value = 0;
    if (LevelEdit(row) == sender && !LevelValue(row, value)) {
      SetFocus(sender);
      ShowErrorBox(hwnd_, text::kBadHeight);
      return;
    }
  }
}

bool TfmTuneParams::CheckAllInputs() {
  for (int row = 1; row <= kSensorRows; ++row) {
    uint16_t height = 0;
    int64_t ident = 0;
    if (!LevelValue(row, height)) {
      SetFocus(LevelEdit(row));
      ShowErrorBox(hwnd_, text::kBadHeight);
      return false;
    }
    if (!IdentValue(row, ident)) {
      SetFocus(IdentEdit(row));
      ShowErrorBox(hwnd_, text::kBadIdent);
      return false;
    }
  }
  return true;
}

// ---------------------------------------------------------------------------
// Row values

bool TfmTuneParams::LevelValue(int row, uint16_t& value) const {
  const std::wstring text = WindowText(LevelEdit(row));
  if (text.empty() || text.size() > 5) return false;
  uint32_t number = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return false;
    number = number * 10 + static_cast<uint32_t>(c - L'0');
  }
  if (number > 65535) return false;
  value = static_cast<uint16_t>(number);
  return true;
}


bool TfmTuneParams::IdentValue(int row, int64_t& value) const {
  const std::wstring text = WindowText(IdentEdit(row));
  if (text.empty() || text.size() > 16) return false;
  uint64_t bits = 0;
  for (wchar_t c : text) {
    if (!IsHexDigit(c)) return false;
    const wchar_t lower = c | 0x20;
    bits = (bits << 4) | static_cast<uint64_t>(c <= L'9' ? c - L'0' : lower - L'a' + 10);
  }
  value = static_cast<int64_t>(bits);
  return true;
}

// ---------------------------------------------------------------------------
// Fields the gauge did not give

void TfmTuneParams::SetFieldText(HWND edit, const std::wstring& text) {
  filling_ = true;
  SetWindowTextW(edit, text.c_str());
  filling_ = false;
}

void TfmTuneParams::MarkField(HWND edit, FieldState& slot, FieldState state) {
  slot = state;
  const bool marked = IsMarked(edit);
  // The reason stands in the empty field itself, also while it has the focus.
  SendMessageW(edit, EM_SETCUEBANNER, TRUE,
               reinterpret_cast<LPARAM>(marked ? ReasonText(state) : L""));
  for (const Row& row : rows_)
    if (row.level == edit) EnableWindow(row.spin, IsWindowEnabled(edit) && !marked ? TRUE : FALSE);
  InvalidateRect(edit, nullptr, TRUE);
}

bool TfmTuneParams::IsMarked(HWND edit) const {
  for (int i = 0; i < kSensorRows; ++i) {
    FieldState state;
    if (rows_[i].level == edit) state = level_state_[i];
    else if (rows_[i].ident == edit) state = ident_state_[i];
    else continue;
    return state != FieldState::kKnown && state != FieldState::kNotRead;
  }
  return false;
}

void TfmTuneParams::ShowReadLevel(int row, FieldState state, int64_t value) {
  // A value the gauge sent is shown whole; one that no height field can hold
  // stays marked until the user types a height over it.
  if (state == FieldState::kKnown && (value < 0 || value > 65535)) state = FieldState::kOutOfRange;
  const bool has_value = state == FieldState::kKnown || state == FieldState::kOutOfRange;
  SetFieldText(LevelEdit(row), has_value ? std::to_wstring(value) : std::wstring());
  MarkField(LevelEdit(row), level_state_[row - 1], state);
}

void TfmTuneParams::ShowReadIdent(int row, FieldState state, int64_t value) {
  wchar_t text[17] = {};
  if (state == FieldState::kKnown) swprintf(text, 17, L"%016llX", static_cast<unsigned long long>(value));
  SetFieldText(IdentEdit(row), text);
  MarkField(IdentEdit(row), ident_state_[row - 1], state);
}

void TfmTuneParams::FieldTyped(HWND edit) {
  for (int i = 0; i < kSensorRows; ++i) {
    if (rows_[i].level == edit && level_state_[i] != FieldState::kKnown)
      MarkField(edit, level_state_[i], FieldState::kKnown);
    else if (rows_[i].ident == edit && ident_state_[i] != FieldState::kKnown)
      MarkField(edit, ident_state_[i], FieldState::kKnown);
    else
      continue;
    ShowMarkSummary();
    return;
  }
}

std::wstring TfmTuneParams::FieldName(int row, bool ident) {
  return std::wstring(kSensorRowLayout[row - 1].caption) + L", " +
         (ident ? text::kIdentField : text::kHeightField);
}

const wchar_t* TfmTuneParams::ReasonText(FieldState state) {
  switch (state) {
    case FieldState::kKnown: return L"";
    case FieldState::kNotRead: return text::kNotReadYet;
    case FieldState::kNoReply: return text::kNoReply;
    case FieldState::kBadReply: return text::kBadReply;
    case FieldState::kOutOfRange: return text::kOutOfRange;
  }
  return L"";
}

std::wstring TfmTuneParams::MarkedFieldLines() const {
  std::wstring lines;
  for (int row = 1; row <= kSensorRows; ++row) {
    for (const bool ident : {false, true}) {
      const FieldState state = ident ? IdentState(row) : LevelState(row);
      if (state == FieldState::kKnown) continue;
      lines += FieldName(row, ident) + L": " + ReasonText(state);
      if (state == FieldState::kOutOfRange) lines += L" (" + WindowText(LevelEdit(row)) + L")";
      lines += L"\n";
    }
  }
  return lines;
}

void TfmTuneParams::ShowMarkSummary() {
  std::wstring first;
  int more = 0;
  for (int row = 1; row <= kSensorRows; ++row) {
    for (const bool ident : {false, true}) {
      if (!IsMarked(ident ? IdentEdit(row) : LevelEdit(row))) continue;
      if (first.empty())
        first = FieldName(row, ident) + L": " + ReasonText(ident ? IdentState(row) : LevelState(row));
      else
        ++more;
    }
  }
  if (more > 0) first += text::kMoreMarked + std::to_wstring(more) + L")";
  SetStatus(first.c_str(), false);
}

bool TfmTuneParams::CheckMarkedFields() {
  const std::wstring lines = MarkedFieldLines();
  if (lines.empty()) return true;
  const std::wstring message = std::wstring(text::kWriteRefused) + L"\n" + lines + L"\n" + text::kOfferReread;
  if (ShowMessageBox(hwnd_, message.c_str(), text::kWarningCaption, MB_YESNO | MB_ICONWARNING) == IDYES) {
    bbtReadClick();
    return false;
  }
  // To the first field that needs typing.
  for (int row = 1; row <= kSensorRows; ++row) {
    for (const HWND edit : {LevelEdit(row), IdentEdit(row)}) {
      const FieldState state = edit == LevelEdit(row) ? LevelState(row) : IdentState(row);
      if (state != FieldState::kKnown && IsWindowEnabled(edit)) {
        SetFocus(edit);
        return false;
      }
    }
  }
  return false;
}

HWND TfmTuneParams::FocusFallback(HWND control) const {
  const auto usable = [](HWND w) { return IsWindowEnabled(w) && IsWindowVisible(w); };
  if (control == bbtSave && usable(cbConnetionType)) return cbConnetionType;
  if (control == bbtWrite && usable(bbtRead)) return bbtRead;
  return pgTuneParams;
}

void TfmTuneParams::DisableButton(HWND button) {
  if (GetFocus() == button) SetFocus(FocusFallback(button));
  EnableWindow(button, FALSE);
}

void TfmTuneParams::ShowProgramCode(const std::wstring& code) {
  // A code wider than the room left of the page's edge gets a smaller type
  // rather than losing its last digits.
  RECT room;
  GetClientRect(lbVers2, &room);
  HFONT chosen = version_font_;
  // Smaller sizes of the same face, without looking the face up again.
  LOGFONTW shape = {};
  GetObjectW(version_font_, sizeof shape, &shape);
  HDC dc = GetDC(lbVers2);
  for (int pixels = 19; pixels >= 8; --pixels) {
    shape.lfHeight = -MulDiv(pixels, dpi_, 96);
    HFONT candidate = pixels == 19 ? version_font_ : CreateFontIndirectW(&shape);
    HGDIOBJ old = SelectObject(dc, candidate);
    SIZE size = {0, 0};
    GetTextExtentPoint32W(dc, code.c_str(), static_cast<int>(code.size()), &size);
    SelectObject(dc, old);
    if (size.cx <= room.right || pixels == 8) {
      chosen = candidate;
      break;
    }
    if (candidate != version_font_) DeleteObject(candidate);
  }
  ReleaseDC(lbVers2, dc);
  SendMessageW(lbVers2, WM_SETFONT, reinterpret_cast<WPARAM>(chosen), FALSE);
  if (fitted_font_ && fitted_font_ != chosen) DeleteObject(fitted_font_);
  fitted_font_ = chosen != version_font_ ? chosen : nullptr;
  code_unknown_ = false;
  SetWindowTextW(lbVers2, code.c_str());
}

void TfmTuneParams::ShowProgramCodeUnknown(FieldState reason) {
  ShowProgramCode(ReasonText(reason));
  code_unknown_ = true;
  InvalidateRect(lbVers2, nullptr, TRUE);
}

int TfmTuneParams::SelectedChannel() const {
  return static_cast<int>(SendMessageW(cbSiloNum, CB_GETCURSEL, 0, 0));
}

void TfmTuneParams::SetStatus(const wchar_t* text, bool repaint_now) {
  SetWindowTextW(pnTune, text);
  if (repaint_now) UpdateWindow(pnTune);
}

}  // namespace lumo::ui
