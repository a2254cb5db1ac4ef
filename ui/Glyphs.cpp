#include "ui/Glyphs.h"

namespace lumo::ui {
namespace {

constexpr COLORREF kMaskColor = RGB(255, 0, 255);
constexpr COLORREF kDisabledColor = RGB(160, 160, 160);

COLORREF GlyphColor(Glyph glyph) {
  switch (glyph) {
    case Glyph::kSave: return RGB(0, 70, 160);
    case Glyph::kWrite: return RGB(190, 40, 40);
    case Glyph::kRead: return RGB(0, 130, 60);
  }
  return RGB(0, 0, 0);
}

// Draws a glyph on a 16-unit grid scaled to size pixels.
void DrawGlyph(HDC dc, Glyph glyph, int size, COLORREF color) {
  auto u = [size](int units) { return MulDiv(units, size, 16); };
  HBRUSH background = CreateSolidBrush(kMaskColor);
  RECT all = {0, 0, size, size};
  FillRect(dc, &all, background);
  DeleteObject(background);

  HBRUSH fill = CreateSolidBrush(color);
  HPEN pen = CreatePen(PS_SOLID, 1, color);
  HGDIOBJ old_brush = SelectObject(dc, fill);
  HGDIOBJ old_pen = SelectObject(dc, pen);
  HBRUSH white = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
  if (glyph == Glyph::kSave) {
    // A diskette: body, label and shutter.
    Rectangle(dc, u(1), u(1), u(15), u(15));
    RECT label = {u(4), u(2), u(12), u(7)};
    FillRect(dc, &label, white);
    RECT shutter = {u(5), u(10), u(11), u(15)};
    FillRect(dc, &shutter, white);
  } else {
    // The gauge's head box, with an arrow into it (write) or out of it (read).
    HGDIOBJ hollow = SelectObject(dc, GetStockObject(NULL_BRUSH));
    Rectangle(dc, u(1), u(10), u(15), u(16));
    SelectObject(dc, hollow);
    const bool down = glyph == Glyph::kWrite;
    RECT shaft = down ? RECT{u(7), u(0), u(9), u(6)} : RECT{u(7), u(5), u(9), u(12)};
    FillRect(dc, &shaft, fill);
    POINT head[3];
    if (down) {
      head[0] = {u(3), u(5)};
      head[1] = {u(13), u(5)};
      head[2] = {u(8), u(11)};
    } else {
      head[0] = {u(3), u(6)};
      head[1] = {u(13), u(6)};
      head[2] = {u(8), u(0)};
    }
    Polygon(dc, head, 3);
  }
  SelectObject(dc, old_brush);
  SelectObject(dc, old_pen);
  DeleteObject(fill);
  DeleteObject(pen);
}

}  // namespace

HIMAGELIST CreateGlyphImages(Glyph glyph, int size) {
  HIMAGELIST list = ImageList_Create(size, size, ILC_COLOR24 | ILC_MASK, 6, 0);
  if (!list) return nullptr;
  HDC screen = GetDC(nullptr);
  HDC dc = CreateCompatibleDC(screen);
  for (int state = 0; state < 6; ++state) {
    // Image 3 is the disabled state (PBS_DISABLED - 1).
    HBITMAP bitmap = CreateCompatibleBitmap(screen, size, size);
    HGDIOBJ old = SelectObject(dc, bitmap);
    DrawGlyph(dc, glyph, size, state == 3 ? kDisabledColor : GlyphColor(glyph));
    SelectObject(dc, old);
    ImageList_AddMasked(list, bitmap, kMaskColor);
    DeleteObject(bitmap);
  }
  DeleteDC(dc);
  ReleaseDC(nullptr, screen);
  return list;
}

void SetButtonGlyph(HWND button, HIMAGELIST images) {
  if (!images) return;
  BUTTON_IMAGELIST list = {};
  list.himl = images;
  list.margin = {4, 0, 2, 0};
  list.uAlign = BUTTON_IMAGELIST_ALIGN_LEFT;
  SendMessageW(button, BCM_SETIMAGELIST, 0, reinterpret_cast<LPARAM>(&list));
}

}  // namespace lumo::ui
