// The host's side of Lumo.dll for tests: loads the library and calls slots.
#ifndef LUMO_TESTS_LUMOHOST_H
#define LUMO_TESTS_LUMOHOST_H

#include <windows.h>

#include <string>

#include "lumo.h"

namespace lumo_test {

class LumoHost {
 public:
  LumoHost();
  ~LumoHost();
  HMODULE module() const { return module_; }
  lumo::GetSiloEx3Fn get_silo_ex3() const { return get_silo_ex3_; }
  lumo::GetSiloExFn get_silo_ex() const { return get_silo_ex_; }

  // The library, loaded once for the test program.
  static LumoHost& Get();

 private:
  HMODULE module_;
  lumo::GetSiloEx3Fn get_silo_ex3_;
  lumo::GetSiloExFn get_silo_ex_;
};

// A driver object released at scope end.
class DriverHandle {
 public:
  explicit DriverHandle(lumo::Driver* driver = nullptr) : driver_(driver) {}
  ~DriverHandle() { lumo::Release(driver_); }
  DriverHandle(DriverHandle&& other) noexcept : driver_(other.driver_) { other.driver_ = nullptr; }
  DriverHandle(const DriverHandle&) = delete;
  DriverHandle& operator=(const DriverHandle&) = delete;
  lumo::Driver* get() const { return driver_; }
  lumo::Driver* operator->() const { return driver_; }

  template <typename Fn, typename... Args>
  auto Call(int slot, Args... args) const {
    return lumo::SlotAs<Fn>(driver_, slot)(driver_, args...);
  }
  uint8_t LinkState() const {
    return static_cast<uint8_t>(Call<lumo::GetLinkStateFn>(lumo::kSlotGetLinkState));
  }
  void SetLinkState(uint32_t state) const { Call<lumo::SetLinkStateFn>(lumo::kSlotSetLinkState, state); }

 private:
  lumo::Driver* driver_;
};

DriverHandle MakeDriver3(lumo::Unit* unit, uint32_t number, bool is_unit_number);
DriverHandle MakeDriver(lumo::Unit* unit);
// A driver object on COMn through GetSiloEx3; in the fast reply mode when fast
// (FastReply=1 in cnf.ini while its port opens, the file removed again).
DriverHandle SerialDriver(uint32_t com, bool fast = false);

// Slot 9 (a level read) of a channel.
double Value4(const DriverHandle& driver, uint32_t channel);

// UTF-8 -> Windows-1251, for comparing the library's 8-bit texts.
std::string Cp1251(const char* utf8);

// The Windows directory's cnf.ini: written, removed, read back.
std::string ConfigFilePath();
void WriteConfigFile(const std::string& contents);
void RemoveConfigFile();
std::string ReadConfigFile();

// cnf.ini with the given contents for a scope, removed at its end.
class ScopedConfigFile {
 public:
  explicit ScopedConfigFile(const std::string& contents) { WriteConfigFile(contents); }
  ~ScopedConfigFile() { RemoveConfigFile(); }
  ScopedConfigFile(const ScopedConfigFile&) = delete;
  ScopedConfigFile& operator=(const ScopedConfigFile&) = delete;
};

}  // namespace lumo_test

#endif
