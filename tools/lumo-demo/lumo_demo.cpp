// A small host program: loads Lumo.dll, obtains a driver object and reads it.
#include <windows.h>

#include <cstdio>

#include "lumo.h"

int main() {
  HMODULE dll = LoadLibraryA("Lumo.dll");
  if (!dll) {
    std::fprintf(stderr, "cannot load Lumo.dll (error %lu)\n", GetLastError());
    return 1;
  }
  auto get_silo_ex3 =
      reinterpret_cast<lumo::GetSiloEx3Fn>(
      reinterpret_cast<void*>(GetProcAddress(dll, lumo::kGetSiloEx3Name)));
  lumo::Driver* driver = get_silo_ex3(nullptr, 1, 1);
  unsigned char name[lumo::kDriverNameBytes];
  lumo::SlotAs<lumo::GetDriverNameFn>(driver, lumo::kSlotGetDriverName)(name, driver);
  std::printf("driver name (%u bytes, Windows-1251): %.*s\n", name[0], name[0], name + 1);
  lumo::Release(driver);
  return 0;
}
