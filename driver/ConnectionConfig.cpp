#include "driver/ConnectionConfig.h"

#include <windows.h>

namespace {
constexpr char kSection[] = "Lumo";
constexpr char kKey[] = "ConnectionType";

std::string WindowsDirectory() {
  char dir[256] = {};
  const UINT n = GetWindowsDirectoryA(dir, 255);
  return n > 0 && n < 255 ? std::string(dir, n) : std::string();
}

bool FileExists(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}
}  // namespace

std::string ConfigFilePath() { return WindowsDirectory() + "\\cnf.INI"; }

uint8_t ReadConnectionType() {
  const std::string path = ConfigFilePath();
  if (!FileExists(path)) return 0;
  const UINT value = GetPrivateProfileIntA(kSection, kKey, 0, path.c_str());
  return static_cast<uint8_t>(value & 0xFF);
}
