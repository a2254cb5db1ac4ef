// TfmTuneParams: the modal tuning dialog of one driver object. Page
// "Настройки драйвера" chooses and saves the connection type; page
// "Настроечные параметры" reads and writes the heights and identifiers of a
// channel's eleven sensors through the workers of TuneWorkers.h.
//
// Everything here runs on the thread that created the form (the host's
// user-interface thread), except RunOnUiThread, which workers call.
#ifndef LUMO_UI_TUNEPARAMS_H
#define LUMO_UI_TUNEPARAMS_H

#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ui/TuneLayout.h"
#include "ui/TuneTarget.h"

namespace lumo::ui {

// What a field of a sensor row (a height or an identifier) holds. Only a
// known field may be written: one the gauge sent in a valid reply, or one the
// user has typed into since. Every other state shows the field marked and
// keeps Write from sending anything.
enum class FieldState : uint8_t {
  kNotRead,     // nothing read yet (before the first read)
  kKnown,       // read from the gauge, or typed by the user
  kNoReply,     // its request brought no reply ("нет ответа")
  kBadReply,    // its reply was bad or did not convert ("ошибка ответа")
  kOutOfRange,  // a height the gauge sent that does not fit 0 to 65535
};

// Control identifiers. bbtCancel is the dialog's cancel button, so Esc
// (IDCANCEL from the dialog manager) presses it.
enum ControlId : int {
  kIdCancel = IDCANCEL,
  kIdPages = 100,
  kIdConnectionType,
  kIdSave,
  kIdChannel,
  kIdRead,
  kIdWrite,
  kIdStatus,
  kIdVersionCaption,
  kIdVersion,
  kIdLevelFirst = 200,  // rows 1 to 11: 200 to 210
  kIdIdentFirst = 220,  // rows 1 to 11: 220 to 230
  kIdSpinFirst = 240,   // up-down buddies of the height edits
};

class TfmTuneParams {
 public:
  // Creates the form, hidden, with every control of both pages; owner is
  // the window the dialog is modal to (may be null).
  explicit TfmTuneParams(HWND owner);
  ~TfmTuneParams();
  TfmTuneParams(const TfmTuneParams&) = delete;
  TfmTuneParams& operator=(const TfmTuneParams&) = delete;

  // The driver object the dialog works on; set before ShowModal.
  TuneTarget* Driver = nullptr;

  // Disables the owner, shows the form and runs its message loop until the
  // dialog ends and its workers have finished. Returns the modal result.
  int ShowModal();
  // Ends the dialog as Esc does; callable from any thread.
  void RequestClose() const;
  // Whether the dialog has taken a request to close (Esc, Cancel, the close
  // box); it then ends once its workers have finished.
  bool CloseRequested() const { return close_requested_.load(); }
  // Read and write workers that have ended since the dialog opened.
  int WorkersEnded() const { return workers_ended_.load(); }

  HWND Handle() const { return hwnd_; }

  // Form operations.
  void FormShow();
  void AccessOnOff(bool on);
  void cbSiloNumChange();
  void bbtReadClick();
  void bbtWriteClick();
  void seLevelTopChange();
  void seCriticalTimeChange();
  void bbtSaveClick();
  void eT1IdentExit(HWND sender);
  void eT1IdentKeyPress(wchar_t& key);
  void LevelExit(HWND sender);
  void bbtCancelClick();

  // Runs step on the form's thread and returns when it has run; an exception
  // it raises is raised again here. Workers use it for their first and last
  // steps.
  void RunOnUiThread(const std::function<void()>& step);

  // Row helpers for the workers' steps (row 1 to 11).
  HWND LevelEdit(int row) const { return rows_[row - 1].level; }
  HWND IdentEdit(int row) const { return rows_[row - 1].ident; }
  // Height of a row; false when the text is not a whole number 0 to 65535.
  bool LevelValue(int row, uint16_t& value) const;
  // Identifier of a row: "$" + text converted; false when it does not convert.
  bool IdentValue(int row, int64_t& value) const;
  // Fill a row's field from a read: a known value is shown as it is (a
  // height out of range too, whole and marked); any other state empties
  // the field and marks it with its reason.
  void ShowReadLevel(int row, FieldState state, int64_t value);
  void ShowReadIdent(int row, FieldState state, int64_t value);
  FieldState LevelState(int row) const { return level_state_[row - 1]; }
  FieldState IdentState(int row) const { return ident_state_[row - 1]; }
  // "<row caption>, <height|identifier>" as boxes and the status line name a field.
  static std::wstring FieldName(int row, bool ident);
  // The reason shown for a field state ("нет ответа", ...); empty for known.
  static const wchar_t* ReasonText(FieldState state);
  // The marked fields, one line each ("5 термометр, высота: нет ответа");
  // empty when every field is known.
  std::wstring MarkedFieldLines() const;
  // Status line for the marked fields: the first of them in full and how
  // many more; empty when there are none.
  void ShowMarkSummary();
  int SelectedChannel() const;
  // Shows the program code in lbVers2, whole.
  void ShowProgramCode(const std::wstring& code);
  // Shows that the program code is unknown, with the reason, in its place.
  void ShowProgramCodeUnknown(FieldState reason);
  void SetStatus(const wchar_t* text, bool repaint_now);
  // Disables a button of a page; when it has the focus, the focus first
  // moves to a control of the same page that keeps Esc and Enter working.
  void DisableButton(HWND button);

  // Controls, named as the form's designer named them.
  HWND pgTuneParams = nullptr, tsOther = nullptr, tsTuneParams = nullptr;
  HWND Label17 = nullptr, cbConnetionType = nullptr, bbtSave = nullptr;
  HWND Label15 = nullptr, cbSiloNum = nullptr, lbVers = nullptr, lbVers2 = nullptr;
  HWND pnTune = nullptr, Bevel2 = nullptr, Label8 = nullptr, Label16 = nullptr;
  HWND bbtWrite = nullptr, bbtRead = nullptr, bbtCancel = nullptr;

 private:
  struct Row {
    HWND caption, level, spin, ident;
  };
  // Which check a field's edit control runs when the focus leaves it (its
  // subclass identifier).
  enum ExitKind : UINT_PTR { kExitIdent = 0, kExitLevel = 1 };
  friend class TWorkerThread;

  static LRESULT CALLBACK FormProc(HWND, UINT, WPARAM, LPARAM);
  static LRESULT CALLBACK PageProc(HWND, UINT, WPARAM, LPARAM);
  static LRESULT CALLBACK EditSubclassProc(HWND, UINT, WPARAM, LPARAM, UINT_PTR, DWORD_PTR);
  LRESULT HandleMessage(UINT msg, WPARAM wp, LPARAM lp);
  bool HandleCommand(int id, int code, HWND control);
  void CreateControls();
  // Destroys the form's window and frees its fonts, brush and image lists.
  void FreeWindowAndResources();
  HWND CreateChild(HWND parent, const wchar_t* cls, const wchar_t* text, DWORD style, int x,
                   int y, int w, int h, int id, HFONT font);
  HWND CreateLabel(HWND parent, const wchar_t* text, int x, int y, HFONT font, int id = -1);
  void ShowPage(int index);
  // A worker's thread is counted from its start until it has ended.
  // The worker's thread handle, owned by the dialog from here on.
  void WorkerStarting(HANDLE thread);
  void WorkerEnded();
  bool CheckAllInputs();
  // Write's refusal while fields are marked: one box naming them, offering
  // to read the channel again. True when nothing is marked.
  bool CheckMarkedFields();
  void SetFieldText(HWND edit, const std::wstring& text);
  void MarkField(HWND edit, FieldState& slot, FieldState state);
  // The user changed a field's text: it counts as typed from now on.
  void FieldTyped(HWND edit);
  // Where the focus goes when control is disabled while it has it.
  HWND FocusFallback(HWND control) const;
  bool IsMarked(HWND edit) const;
  int Scale(int pixels) const;

  HWND owner_;
  HWND hwnd_ = nullptr;
  int dpi_ = 96;
  HFONT form_font_ = nullptr, version_font_ = nullptr, status_font_ = nullptr;
  HFONT fitted_font_ = nullptr;  // lbVers2's smaller type for a long code
  HBRUSH mark_brush_ = nullptr;  // background of a marked field
  HIMAGELIST glyphs_[3] = {};
  Row rows_[kSensorRows] = {};
  int modal_result_ = 0;
  std::atomic<bool> close_requested_{false};
  int workers_running_ = 0;
  std::atomic<int> workers_ended_{0};
  HWND focus_before_worker_ = nullptr;
  FieldState level_state_[kSensorRows] = {};
  FieldState ident_state_[kSensorRows] = {};
  bool code_unknown_ = false;
  bool filling_ = false;  // the dialog itself is setting a field's text
  std::vector<HANDLE> worker_threads_;
};

}  // namespace lumo::ui

#endif
