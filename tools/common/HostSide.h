// What the tools and tests that load Lumo.dll as a host share: resolving its
// exports and converting its Windows-1251 texts.
#ifndef LUMO_TOOLS_HOSTSIDE_H
#define LUMO_TOOLS_HOSTSIDE_H

#include <windows.h>

#include <string>

namespace lumo_tools {

template <typename Fn>
Fn Export(HMODULE dll, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
}

// 8-bit text in the given code page (1251 for the library's texts, CP_ACP for
// command-line arguments) to UTF-16.
inline std::wstring WideFrom(UINT code_page, const std::string& text) {
  if (text.empty()) return {};
  const int length = static_cast<int>(text.size());
  const int n = MultiByteToWideChar(code_page, 0, text.data(), length, nullptr, 0);
  std::wstring wide(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(code_page, 0, text.data(), length, &wide[0], n);
  return wide;
}

inline std::string Utf8FromWide(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int length = static_cast<int>(wide.size());
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, &out[0], n, nullptr, nullptr);
  return out;
}

// The library's texts (exception messages, the driver name) for a UTF-8 terminal.
inline std::string Utf8From1251(const std::string& text) { return Utf8FromWide(WideFrom(1251, text)); }

}  // namespace lumo_tools

#endif
