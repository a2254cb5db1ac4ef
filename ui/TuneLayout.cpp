// The tuning dialog's form as it is built: the sensor rows' table, the
// fonts, and the creation of the form and of every control at its place (with
// the form's teardown). What the dialog does is TuneParams.cpp's.
#include "ui/TuneLayout.h"

#include <commctrl.h>

#include <stdexcept>
#include <string>

#include "ui/Glyphs.h"
#include "ui/TuneParams.h"
#include "ui/TuneTexts.h"

namespace lumo::ui {

const SensorRowLayout kSensorRowLayout[kSensorRows] = {
    {L"1 термометр", 16, 102, "eT1Level", 99, "eT1Ident", 99},
    {L"2 термометр", 16, 129, "eT2Level", 126, "eT2Ident", 127},
    {L"3 термометр", 16, 156, "eT3Level", 153, "eT3Ident", 157},
    {L"4 термометр", 16, 183, "eT4Level", 184, "eT4Ident", 184},
    {L"5 термометр", 16, 214, "eT5Level", 211, "eT5Ident", 211},
    {L"6 термометр", 16, 241, "eT6Level", 238, "eT6Ident", 239},
    {L"7 термометр", 16, 268, "eT7Level", 265, "eT7Ident", 266},
    {L"8 термометр", 16, 295, "eT8Level", 292, "eT8Ident", 293},
    {L"1 плотномер", 16, 321, "P1Level", 318, "P1Ident", 319},
    {L"2 плотномер", 15, 348, "P2Level", 345, "P2Ident", 346},
    {L"3 плотномер", 16, 375, "P3Level", 372, "P3Ident", 373},
};

namespace {

constexpr int kClientWidth = 347;
constexpr int kClientHeight = 456;

HMODULE ThisModule() {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&ThisModule), &module);
  return module;
}

// Common controls version 6 for the dialog's controls: the module's own
// manifest (resource 2, type RT_MANIFEST), active while they are created.
HANDLE ModuleActivationContext() {
  static const HANDLE context = [] {
    HMODULE module = ThisModule();
    if (!FindResourceW(module, MAKEINTRESOURCEW(2), MAKEINTRESOURCEW(24))) return INVALID_HANDLE_VALUE;
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(module, path, MAX_PATH);
    ACTCTXW request = {};
    request.cbSize = sizeof request;
    request.dwFlags = ACTCTX_FLAG_HMODULE_VALID | ACTCTX_FLAG_RESOURCE_NAME_VALID;
    request.lpSource = path;
    request.hModule = module;
    request.lpResourceName = MAKEINTRESOURCEW(2);
    return CreateActCtxW(&request);
  }();
  return context;
}

class ActivationScope {
 public:
  ActivationScope() {
    const HANDLE context = ModuleActivationContext();
    active_ = context != INVALID_HANDLE_VALUE && ActivateActCtx(context, &cookie_);
  }
  ~ActivationScope() {
    if (active_) DeactivateActCtx(0, cookie_);
  }
  ActivationScope(const ActivationScope&) = delete;
  ActivationScope& operator=(const ActivationScope&) = delete;

 private:
  ULONG_PTR cookie_ = 0;
  bool active_ = false;
};

int CALLBACK FontFound(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found) {
  *reinterpret_cast<bool*>(found) = true;
  return 0;
}

bool FontFaceExists(const wchar_t* face) {
  LOGFONTW query = {};
  query.lfCharSet = RUSSIAN_CHARSET;
  lstrcpynW(query.lfFaceName, face, LF_FACESIZE);
  bool found = false;
  HDC dc = GetDC(nullptr);
  EnumFontFamiliesExW(dc, &query, &FontFound, reinterpret_cast<LPARAM>(&found), 0);
  ReleaseDC(nullptr, dc);
  return found;
}

// The named face with Cyrillic letters, or the shell's message font where the
// system lacks it. pixels is the character height at 96 dpi.
HFONT MakeFont(const wchar_t* face, int pixels, bool bold, int dpi) {
  NONCLIENTMETRICSW metrics = {};
  metrics.cbSize = sizeof metrics;
  const wchar_t* use = face;
  if (!FontFaceExists(face) &&
      SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0))
    use = metrics.lfMessageFont.lfFaceName;
  return CreateFontW(-MulDiv(pixels, dpi, 96), 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE,
                     FALSE, RUSSIAN_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                     DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, use);
}

}  // namespace

// ---------------------------------------------------------------------------
// Construction

TfmTuneParams::TfmTuneParams(HWND owner) : owner_(owner) {
  ActivationScope visual_styles;
  const HINSTANCE instance = ThisModule();
  static bool registered = false;
  if (!registered) {
    WNDCLASSEXW form = {};
    form.cbSize = sizeof form;
    form.hInstance = instance;
    form.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    form.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    WNDCLASSEXW page = form;
    form.lpfnWndProc = &FormProc;
    form.lpszClassName = kFormClass;
    page.lpfnWndProc = &PageProc;
    page.lpszClassName = kPageClass;
    RegisterClassExW(&form);
    RegisterClassExW(&page);
    registered = true;
  }
  INITCOMMONCONTROLSEX controls = {sizeof controls,
                                   ICC_TAB_CLASSES | ICC_UPDOWN_CLASS | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);

  HDC screen = GetDC(nullptr);
  dpi_ = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  if (dpi_ <= 0) dpi_ = 96;
  form_font_ = MakeFont(L"MS Sans Serif", 11, false, dpi_);
  version_font_ = MakeFont(L"MS Sans Serif", 19, true, dpi_);
  status_font_ = MakeFont(L"Tahoma", 13, true, dpi_);
  mark_brush_ = CreateSolidBrush(kMarkColor);

  const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
  const DWORD ex_style = WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT;
  RECT frame = {0, 0, Scale(kClientWidth), Scale(kClientHeight)};
  AdjustWindowRectEx(&frame, style, FALSE, ex_style);
  // A form that cannot be built whole is taken down again: no destructor
  // runs for it, and its window would otherwise outlive the object that its
  // window procedure reaches.
  try {
    hwnd_ = CreateWindowExW(ex_style, kFormClass, text::kFormCaption, style, CW_USEDEFAULT,
                            CW_USEDEFAULT, frame.right - frame.left, frame.bottom - frame.top,
                            owner_, nullptr, instance, this);
    if (!hwnd_) throw std::runtime_error("cannot create the tuning dialog");
    SendMessageW(hwnd_, WM_SETFONT, reinterpret_cast<WPARAM>(form_font_), FALSE);
    CreateControls();
  } catch (...) {
    FreeWindowAndResources();
    throw;
  }
}

TfmTuneParams::~TfmTuneParams() {
  // Workers have ended (ShowModal waits for them); their threads may still
  // be returning.
  for (HANDLE thread : worker_threads_) {
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
  }
  FreeWindowAndResources();
}

void TfmTuneParams::FreeWindowAndResources() {
  if (hwnd_) {
    SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
    DestroyWindow(hwnd_);
  }
  for (HIMAGELIST list : glyphs_)
    if (list) ImageList_Destroy(list);
  for (HFONT font : {form_font_, version_font_, status_font_, fitted_font_})
    if (font) DeleteObject(font);
  if (mark_brush_) DeleteObject(mark_brush_);
}

int TfmTuneParams::Scale(int pixels) const { return MulDiv(pixels, dpi_, 96); }

HWND TfmTuneParams::CreateChild(HWND parent, const wchar_t* cls, const wchar_t* text, DWORD style,
                                int x, int y, int w, int h, int id, HFONT font) {
  HWND child = CreateWindowExW(0, cls, text, WS_CHILD | WS_VISIBLE | style, Scale(x), Scale(y),
                               Scale(w), Scale(h), parent,
                               reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                               ThisModule(), nullptr);
  if (!child) throw std::runtime_error("cannot create a control of the tuning dialog");
  SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font ? font : form_font_), FALSE);
  return child;
}

// A label sized to its text, as an auto-sized label is.
HWND TfmTuneParams::CreateLabel(HWND parent, const wchar_t* text, int x, int y, HFONT font, int id) {
  HFONT use = font ? font : form_font_;
  HDC dc = GetDC(parent);
  HGDIOBJ old = SelectObject(dc, use);
  SIZE size = {0, 0};
  GetTextExtentPoint32W(dc, text, lstrlenW(text), &size);
  TEXTMETRICW metrics = {};
  GetTextMetricsW(dc, &metrics);
  SelectObject(dc, old);
  ReleaseDC(parent, dc);
  HWND label = CreateWindowExW(0, WC_STATICW, text, WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX,
                               Scale(x), Scale(y), size.cx + 1, metrics.tmHeight, parent,
                               reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), ThisModule(),
                               nullptr);
  if (!label) throw std::runtime_error("cannot create a label of the tuning dialog");
  SendMessageW(label, WM_SETFONT, reinterpret_cast<WPARAM>(use), FALSE);
  return label;
}

void TfmTuneParams::CreateControls() {
  // The form's own tab order: the hidden cancel button first, then the pages.
  bbtCancel = CreateChild(hwnd_, WC_BUTTONW, text::kCancel, WS_TABSTOP | BS_PUSHBUTTON, 280, 696,
                          89, 25, kIdCancel, nullptr);
  pgTuneParams = CreateChild(hwnd_, WC_TABCONTROLW, L"", WS_TABSTOP | WS_CLIPCHILDREN, 0, 0,
                             kClientWidth, kClientHeight, kIdPages, nullptr);
  SetWindowLongPtrW(pgTuneParams, GWL_EXSTYLE,
                    GetWindowLongPtrW(pgTuneParams, GWL_EXSTYLE) | WS_EX_CONTROLPARENT);
  const wchar_t* captions[2] = {text::kPageDriver, text::kPageParams};
  for (int i = 0; i < 2; ++i) {
    TCITEMW item = {};
    item.mask = TCIF_TEXT;
    item.pszText = const_cast<wchar_t*>(captions[i]);
    SendMessageW(pgTuneParams, TCM_INSERTITEMW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&item));
  }
  RECT page_rect;
  GetClientRect(pgTuneParams, &page_rect);
  SendMessageW(pgTuneParams, TCM_ADJUSTRECT, FALSE, reinterpret_cast<LPARAM>(&page_rect));
  HWND* pages[2] = {&tsOther, &tsTuneParams};
  for (int i = 0; i < 2; ++i) {
    *pages[i] = CreateWindowExW(WS_EX_CONTROLPARENT, kPageClass, captions[i],
                                WS_CHILD | (i == 0 ? WS_VISIBLE : 0) | WS_CLIPSIBLINGS,
                                page_rect.left, page_rect.top, page_rect.right - page_rect.left,
                                page_rect.bottom - page_rect.top, pgTuneParams, nullptr,
                                ThisModule(), nullptr);
    if (!*pages[i]) throw std::runtime_error("cannot create a page of the tuning dialog");
    SetWindowLongPtrW(*pages[i], GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  }

  // "Настройки драйвера"
  Label17 = CreateLabel(tsOther, text::kConnectedTo, 88, 16, nullptr);
  cbConnetionType = CreateChild(tsOther, WC_COMBOBOXW, L"", WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST,
                                195, 13, 145, 260, kIdConnectionType, nullptr);
  for (const wchar_t* item : text::kUnitConnections)
    SendMessageW(cbConnetionType, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item));
  for (int port = 1; port <= text::kListedComPorts; ++port) {
    const std::wstring item = text::kComPortItem + std::to_wstring(port);
    SendMessageW(cbConnetionType, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
  }
  bbtSave = CreateChild(tsOther, WC_BUTTONW, text::kSave, WS_TABSTOP | BS_DEFPUSHBUTTON, 247, 400,
                        89, 25, kIdSave, nullptr);

  // "Настроечные параметры"
  Label15 = CreateLabel(tsTuneParams, text::kAddress, 16, 8, nullptr);
  cbSiloNum = CreateChild(tsTuneParams, WC_COMBOBOXW, L"", WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST,
                          88, 6, 65, 260, kIdChannel, nullptr);
  for (int channel = 0; channel < 32; ++channel)
    SendMessageW(cbSiloNum, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(std::to_wstring(channel).c_str()));
  lbVers = CreateLabel(tsTuneParams, text::kProgramCode, 192, 8, nullptr, kIdVersionCaption);
  ShowWindow(lbVers, SW_HIDE);
  // Empty until a read; it reaches to the page's edge.
  lbVers2 = CreateChild(tsTuneParams, WC_STATICW, L"", SS_LEFT | SS_NOPREFIX, 280, 5, 64, 24,
                        kIdVersion, version_font_);
  RECT page;
  GetClientRect(tsTuneParams, &page);
  SetWindowPos(lbVers2, nullptr, 0, 0, page.right - Scale(280), Scale(24), SWP_NOMOVE | SWP_NOZORDER);
  pnTune = CreateChild(tsTuneParams, WC_STATICW, L"", SS_LEFT | SS_CENTERIMAGE | SS_NOPREFIX, 13,
                       33, 361, 33, kIdStatus, status_font_);
  Bevel2 = CreateChild(tsTuneParams, WC_STATICW, L"", SS_ETCHEDHORZ, 8, 72, 361, 9, -1, nullptr);
  Label8 = CreateLabel(tsTuneParams, text::kHeightHeader, 120, 80, nullptr);
  Label16 = CreateLabel(tsTuneParams, text::kIdentHeader, 227, 80, nullptr);
  for (int i = 0; i < kSensorRows; ++i) {
    const SensorRowLayout& layout = kSensorRowLayout[i];
    Row& row = rows_[i];
    row.caption = CreateLabel(tsTuneParams, layout.caption, layout.caption_left, layout.caption_top, nullptr);
    row.level = CreateChild(tsTuneParams, WC_EDITW, L"",
                            WS_TABSTOP | WS_BORDER | ES_RIGHT | ES_NUMBER | ES_AUTOHSCROLL, 104,
                            layout.level_top, 81, 21, kIdLevelFirst + i, nullptr);
    SetWindowLongPtrW(row.level, GWL_EXSTYLE, GetWindowLongPtrW(row.level, GWL_EXSTYLE) | WS_EX_CLIENTEDGE);
    row.spin = CreateWindowExW(0, UPDOWN_CLASSW, L"",
                               WS_CHILD | WS_VISIBLE | UDS_ALIGNRIGHT | UDS_SETBUDDYINT |
                                   UDS_ARROWKEYS | UDS_NOTHOUSANDS,
                               0, 0, 0, 0, tsTuneParams,
                               reinterpret_cast<HMENU>(static_cast<INT_PTR>(kIdSpinFirst + i)),
                               ThisModule(), nullptr);
    SendMessageW(row.spin, UDM_SETBUDDY, reinterpret_cast<WPARAM>(row.level), 0);
    SendMessageW(row.spin, UDM_SETRANGE32, 0, 65535);
    row.ident = CreateChild(tsTuneParams, WC_EDITW, L"", WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL, 215,
                            layout.ident_top, 121, 21, kIdIdentFirst + i, nullptr);
    SetWindowSubclass(row.level, &EditSubclassProc, kExitLevel, reinterpret_cast<DWORD_PTR>(this));
    SetWindowSubclass(row.ident, &EditSubclassProc, kExitIdent, reinterpret_cast<DWORD_PTR>(this));
  }
  bbtWrite = CreateChild(tsTuneParams, WC_BUTTONW, text::kWrite, WS_TABSTOP | BS_PUSHBUTTON, 98, 400,
                         111, 25, kIdWrite, nullptr);
  bbtRead = CreateChild(tsTuneParams, WC_BUTTONW, text::kRead, WS_TABSTOP | BS_DEFPUSHBUTTON, 215,
                        400, 121, 25, kIdRead, nullptr);
  EnableWindow(bbtSave, FALSE);
  EnableWindow(bbtWrite, FALSE);

  const Glyph kinds[3] = {Glyph::kSave, Glyph::kWrite, Glyph::kRead};
  const HWND buttons[3] = {bbtSave, bbtWrite, bbtRead};
  for (int i = 0; i < 3; ++i) {
    glyphs_[i] = CreateGlyphImages(kinds[i], Scale(16));
    SetButtonGlyph(buttons[i], glyphs_[i]);
  }
}

}  // namespace lumo::ui
