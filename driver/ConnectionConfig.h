// The driver's entry in the host's cnf.ini: section "Lumo", keys
// "ConnectionType", "FastReply", "TraceFile" and "TraceMaxKB". This unit only reads and writes the file;
// switching a running driver object is ConnectionSwitch.h's.
#ifndef LUMO_DRIVER_CONNECTIONCONFIG_H
#define LUMO_DRIVER_CONNECTIONCONFIG_H

#include <cstdint>
#include <string>

#include "lumo.h"

// The Windows directory followed by "\cnf.INI".
std::string ConfigFilePath();
// The stored connection type, low 8 bits, no range test; 0 when the file, the
// section or the key is missing or the value is not a number.
uint8_t ReadConnectionType();
// True when the stored FastReply is exactly 1: gauge ports then judge a reply
// as soon as a whole valid frame is in. Absent, 0 or anything else: off.
bool ReadFastReply();

// Where the trace goes: the file named by TraceFile (empty: none) and the
// size in KiB at which it rolls over (TraceMaxKB, 1 to 1048576; absent, not
// a number or out of range: the default).
struct TraceSettings {
  std::string file;
  uint32_t max_kb = 0;
};
TraceSettings ReadTraceSettings();

// An existing cnf.ini that could not be written: its full path and the
// Windows error code. Its message is "Ошибка записи cnf.ini (код N)".
class ConfigWriteError : public lumo::Exception {
 public:
  ConfigWriteError(std::wstring path, unsigned long code);
  const std::wstring& Path() const { return path_; }
  unsigned long Code() const { return code_; }

 private:
  std::wstring path_;
  unsigned long code_;
};

// Writes new_type as the stored connection type into an existing cnf.ini
// (never creates it); nothing when the file does not exist. A failed write
// throws ConfigWriteError.
void WriteConnectionType(int32_t new_type);

#endif
