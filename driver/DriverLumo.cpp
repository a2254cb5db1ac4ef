// The library's two exported factories.
#include "driver/ConnectionConfig.h"
#include "driver/Silo.h"

extern "C" {

lumo::Driver* LUMO_STDCALL GetSiloEx3(lumo::Unit* unit, uint32_t number, uint32_t is_unit_number) {
  const uint8_t n = static_cast<uint8_t>(number & 0xFF);
  const uint8_t type =
      (is_unit_number & 0xFF) ? static_cast<uint8_t>(n - 1) : static_cast<uint8_t>(n + 2);
  return (new TSilo(type, unit))->AsDriver();
}

lumo::Driver* LUMO_STDCALL GetSiloEx(lumo::Unit* unit, uint32_t /*unused*/) {
  return (new TSilo(ReadConnectionType(), unit))->AsDriver();
}

}  // extern "C"
