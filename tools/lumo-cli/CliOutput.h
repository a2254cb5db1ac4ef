// What lumo-cli's subcommands share for their output: lines, formatting,
// timestamps, CSV fields and the words for link states.
#ifndef LUMO_TOOLS_CLI_CLIOUTPUT_H
#define LUMO_TOOLS_CLI_CLIOUTPUT_H

#include <windows.h>

#include <cstdio>
#include <string>

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

template <typename... Args>
std::string Format(const char* format, Args... args) {
  char buffer[512];
  std::snprintf(buffer, sizeof buffer, format, args...);
  return buffer;
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

inline std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string out = "\"";
  for (char c : text) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

}  // namespace lumo_cli

#endif
