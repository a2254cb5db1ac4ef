// What the screen shows in a rectangle, as a 24-bit BMP file: the one way
// screenshots are taken, by lumo-host and by the GUI tests (scripts/gui-run.sh
// turns those under build/screenshots into PNG files).
#ifndef LUMO_TOOLS_SCREENCAPTURE_H
#define LUMO_TOOLS_SCREENCAPTURE_H

#include <windows.h>

#include <string>

namespace lumo_tools {

inline bool SaveScreenBmp(const RECT& rc, const std::wstring& path) {
  const int width = rc.right - rc.left;
  const int height = rc.bottom - rc.top;
  if (width <= 0 || height <= 0) return false;

  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;  // bottom-up, as BMP files store rows
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  info.bmiHeader.biCompression = BI_RGB;
  const DWORD stride = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
  const DWORD image_bytes = stride * static_cast<DWORD>(height);

  bool ok = false;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (memory && bitmap) {
    HGDIOBJ old = SelectObject(memory, bitmap);
    ok = BitBlt(memory, 0, 0, width, height, screen, rc.left, rc.top, SRCCOPY | CAPTUREBLT) != 0;
    GdiFlush();
    SelectObject(memory, old);
  }
  if (ok) {
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;  // "BM"
    file.bfOffBits = sizeof file + sizeof info.bmiHeader;
    file.bfSize = file.bfOffBits + image_bytes;
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ok = h != INVALID_HANDLE_VALUE;
    if (ok) {
      DWORD written = 0;
      ok = WriteFile(h, &file, sizeof file, &written, nullptr) && written == sizeof file &&
           WriteFile(h, &info.bmiHeader, sizeof info.bmiHeader, &written, nullptr) &&
           written == sizeof info.bmiHeader && WriteFile(h, bits, image_bytes, &written, nullptr) &&
           written == image_bytes;
      ok = CloseHandle(h) && ok;
    }
  }
  if (bitmap) DeleteObject(bitmap);
  if (memory) DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return ok;
}

}  // namespace lumo_tools

#endif
