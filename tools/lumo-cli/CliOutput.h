// What lumo-cli's subcommands share for their output: lines, formatting,
// timestamps, CSV fields and the words for link states.
#ifndef LUMO_TOOLS_CLI_CLIOUTPUT_H
#define LUMO_TOOLS_CLI_CLIOUTPUT_H

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>

#include "HostSide.h"
#include "TextFormat.h"
#include "lumo.h"

namespace lumo_cli {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

enum class OutputFormat { kTable, kCsv, kJson };

inline void Line(FILE* out, const std::string& text) {
  std::fputs(text.c_str(), out);
  std::fputc('\n', out);
  std::fflush(out);
}

// UTC, millisecond resolution: 2026-12-08T13:49:38.123Z.
inline std::string Timestamp() {
  SYSTEMTIME t;
  GetSystemTime(&t);
  return Format("%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                t.wSecond, t.wMilliseconds);
}

inline const char* LinkText(int link) {
  switch (link) {
    case lumo::kLinkValidReply: return "valid";
    case lumo::kLinkNoReply: return "no reply";
    case lumo::kLinkBadReply: return "bad reply";
    default: return "error";
  }
}

// The message of the exception being handled, in UTF-8 (the library's texts
// are Windows-1251); call inside a catch block.
inline std::string CurrentExceptionText() {
  try {
    throw;
  } catch (const std::exception& e) {
    const std::string text = lumo_tools::Utf8From1251(e.what());
    return text.empty() ? "exception without a message" : text;
  } catch (...) {
    return "exception of an unknown type";
  }
}

inline std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string out = "\"";
  for (char c : text) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

// The line for a port the library could not open. Windows opens a COM port
// for one program at a time: when the port exists but is held elsewhere, say
// so (Wine does not enforce this, so there the library's reason stands).
inline std::string OpenFailureLine(uint32_t com, const std::string& reason) {
  const std::string name = "\\\\.\\COM" + std::to_string(com);
  HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  else if (GetLastError() == ERROR_ACCESS_DENIED || GetLastError() == ERROR_SHARING_VIOLATION)
    return Format("lumo-cli: COM%u is in use by another program (close the host that holds it)", com);
  return Format("lumo-cli: cannot open COM%u: %s", com, reason.c_str());
}

}  // namespace lumo_cli

#endif
