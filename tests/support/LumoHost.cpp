#include "LumoHost.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "HostSide.h"

namespace lumo_test {

using lumo_tools::Export;

LumoHost::LumoHost() : module_(LoadLibraryA("Lumo.dll")) {
  if (!module_) throw std::runtime_error("cannot load Lumo.dll");
  get_silo_ex3_ = Export<lumo::GetSiloEx3Fn>(module_, lumo::kGetSiloEx3Name);
  get_silo_ex_ = Export<lumo::GetSiloExFn>(module_, lumo::kGetSiloExName);
  if (!get_silo_ex3_ || !get_silo_ex_) throw std::runtime_error("factories not exported");
}

LumoHost::~LumoHost() { FreeLibrary(module_); }

LumoHost& LumoHost::Get() {
  static LumoHost host;
  return host;
}

DriverHandle MakeDriver3(lumo::Unit* unit, uint32_t number, bool is_unit_number) {
  return DriverHandle(LumoHost::Get().get_silo_ex3()(unit, number, is_unit_number ? 1 : 0));
}

DriverHandle MakeDriver(lumo::Unit* unit) {
  return DriverHandle(LumoHost::Get().get_silo_ex()(unit, 0));
}

DriverHandle SerialDriver(uint32_t com, bool fast) {
  if (!fast) return MakeDriver3(nullptr, com, false);
  // The port reads the mode when it opens; the file can go right after.
  const ScopedConfigFile config("[Lumo]\r\nFastReply=1\r\n");
  return MakeDriver3(nullptr, com, false);
}

double Value4(const DriverHandle& driver, uint32_t channel) {
  return driver.Call<lumo::QueryValue4Fn>(lumo::kSlotQueryValue4, channel);
}

std::string Cp1251(const char* utf8) {
  wchar_t wide[512];
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, wide, 512);
  char narrow[512];
  const int m = WideCharToMultiByte(1251, 0, wide, n, narrow, 512, nullptr, nullptr);
  return std::string(narrow, m > 0 ? m - 1 : 0);
}

std::string ConfigFilePath() {
  char dir[MAX_PATH];
  GetWindowsDirectoryA(dir, MAX_PATH);
  return std::string(dir) + "\\cnf.ini";
}

void WriteConfigFile(const std::string& contents) {
  WritePrivateProfileStringA(nullptr, nullptr, nullptr, ConfigFilePath().c_str());  // flush cache
  std::ofstream out(ConfigFilePath(), std::ios::binary | std::ios::trunc);
  out << contents;
}

void RemoveConfigFile() {
  WritePrivateProfileStringA(nullptr, nullptr, nullptr, ConfigFilePath().c_str());
  DeleteFileA(ConfigFilePath().c_str());
}

std::string ReadConfigFile() {
  std::ifstream in(ConfigFilePath(), std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace lumo_test
