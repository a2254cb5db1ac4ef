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

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class TSilo;

namespace lumo::ui {

constexpr int kSensorRows = 11;

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

// One sensor row as laid out on the parameters page (pixels at 96 dpi).
struct SensorRowLayout {
  const wchar_t* caption;
  int caption_left, caption_top;
  const char* level_name;
  int level_top;
  const char* ident_name;
  int ident_top;
};
extern const SensorRowLayout kSensorRowLayout[kSensorRows];

class TfmTuneParams {
 public:
  // Creates the form, hidden, with every control of both pages; owner is
  // the window the dialog is modal to (may be null).
  explicit TfmTuneParams(HWND owner);
  ~TfmTuneParams();
  TfmTuneParams(const TfmTuneParams&) = delete;
  TfmTuneParams& operator=(const TfmTuneParams&) = delete;

  // The driver object the dialog works on; set before ShowModal.
  TSilo* Driver = nullptr;

  // Disables the owner, shows the form and runs its message loop until the
  // dialog ends and its workers have finished. Returns the modal result.
  int ShowModal();
  // Ends the dialog as Esc does; callable from any thread.
  void RequestClose() const;

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
  void SetLevelValue(int row, uint16_t value);
  // Identifier of a row: "$" + text converted; false when it does not convert.
  bool IdentValue(int row, int64_t& value) const;
  void SetIdentValue(int row, int64_t value);
  int SelectedChannel() const;
  // Shows the program code in lbVers2, whole.
  void ShowProgramCode(const std::wstring& code);
  void SetStatus(const wchar_t* text, bool repaint_now);

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
  friend class TWorkerThread;

  static LRESULT CALLBACK FormProc(HWND, UINT, WPARAM, LPARAM);
  static LRESULT CALLBACK PageProc(HWND, UINT, WPARAM, LPARAM);
  static LRESULT CALLBACK EditSubclassProc(HWND, UINT, WPARAM, LPARAM, UINT_PTR, DWORD_PTR);
  LRESULT HandleMessage(UINT msg, WPARAM wp, LPARAM lp);
  bool HandleCommand(int id, int code, HWND control);
  void CreateControls();
  HWND CreateChild(HWND parent, const wchar_t* cls, const wchar_t* text, DWORD style, int x,
                   int y, int w, int h, int id, HFONT font);
  HWND CreateLabel(HWND parent, const wchar_t* text, int x, int y, HFONT font, int id = -1);
  void ShowPage(int index);
  // A worker's thread is counted from its start until it has ended.
  // The worker's thread handle, owned by the dialog from here on.
  void WorkerStarting(HANDLE thread);
  void WorkerEnded();
  bool CheckAllInputs();
  int Scale(int pixels) const;

  HWND owner_;
  HWND hwnd_ = nullptr;
  int dpi_ = 96;
  HFONT form_font_ = nullptr, version_font_ = nullptr, status_font_ = nullptr;
  HFONT fitted_font_ = nullptr;  // lbVers2's smaller type for a long code
  HIMAGELIST glyphs_[3] = {};
  Row rows_[kSensorRows] = {};
  int modal_result_ = 0;
  bool close_requested_ = false;
  int workers_running_ = 0;
  HWND focus_before_worker_ = nullptr;
  std::vector<HANDLE> worker_threads_;
};

}  // namespace lumo::ui

#endif
