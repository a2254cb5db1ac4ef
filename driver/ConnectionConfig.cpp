#include "driver/ConnectionConfig.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <utility>

#include "lumo.h"
#include "protocol/Texts.h"

namespace {
constexpr char kSection[] = "Lumo";
constexpr char kKey[] = "ConnectionType";
// A bare name: the profile functions look it up in the Windows directory.
constexpr char kSaveFileName[] = "cnf.ini";
constexpr UINT kMaxTraceKb = 1048576;

std::string WindowsDirectory() {
  char dir[256] = {};
  const UINT n = GetWindowsDirectoryA(dir, 255);
  return n > 0 && n < 255 ? std::string(dir, n) : std::string();
}

bool FileExists(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string WriteFailedMessage(unsigned long code) {
  char message[64];
  std::snprintf(message, sizeof message, lumo::text::kConfigWriteFailedFmt, code);
  return message;
}

// The file a save writes, as the user is to be told of it (wide: the
// directory need not be spelt in the ANSI code page).
std::wstring SavedFilePath() {
  wchar_t dir[MAX_PATH] = {};
  const UINT n = GetWindowsDirectoryW(dir, MAX_PATH);
  return (n > 0 && n < MAX_PATH ? std::wstring(dir, n) : std::wstring()) + L"\\cnf.ini";
}
}  // namespace

ConfigWriteError::ConfigWriteError(std::wstring path, unsigned long code)
    : lumo::Exception(WriteFailedMessage(code)), path_(std::move(path)), code_(code) {}

std::string ConfigFilePath() { return WindowsDirectory() + "\\cnf.INI"; }

uint8_t ReadConnectionType() {
  const std::string path = ConfigFilePath();
  if (!FileExists(path)) return 0;
  const UINT value = GetPrivateProfileIntA(kSection, kKey, 0, path.c_str());
  return static_cast<uint8_t>(value & 0xFF);
}

bool ReadFastReply() {
  const std::string path = ConfigFilePath();
  if (!FileExists(path)) return false;
  // Read as text, so that "1x" or "10" does not count as 1.
  char value[8] = {};
  GetPrivateProfileStringA(kSection, lumo::kFastReplyKey, "", value, sizeof value, path.c_str());
  return std::strcmp(value, "1") == 0;
}

TraceSettings ReadTraceSettings() {
  TraceSettings settings;
  const std::string path = ConfigFilePath();
  if (!FileExists(path)) return settings;
  char file[MAX_PATH] = {};
  GetPrivateProfileStringA(kSection, lumo::kTraceFileKey, "", file, sizeof file, path.c_str());
  settings.file = file;
  const UINT kb = GetPrivateProfileIntA(kSection, lumo::kTraceMaxKbKey, 0, path.c_str());
  settings.max_kb = kb >= 1 && kb <= kMaxTraceKb ? kb : 0;
  return settings;
}

void WriteConnectionType(int32_t new_type) {
  if (!FileExists(WindowsDirectory() + "\\cnf.ini")) return;
  const std::string value = std::to_string(new_type);
  SetLastError(ERROR_SUCCESS);
  if (!WritePrivateProfileStringA(kSection, kKey, value.c_str(), kSaveFileName)) {
    const DWORD error = GetLastError();
    throw ConfigWriteError(SavedFilePath(), error ? error : ERROR_WRITE_FAULT);
  }
  // The flush reports FALSE even when it succeeds; the write above has
  // already told whether the file could be written.
  WritePrivateProfileStringA(nullptr, nullptr, nullptr, kSaveFileName);
}
