// Calls into the host's communication unit by slot number.
#ifndef LUMO_DRIVER_COMMUNIT_H
#define LUMO_DRIVER_COMMUNIT_H

#include <cstdint>

#include "lumo.h"

namespace lumo::driver {

// Line key of a connection type: 16 * type + 17, in 8 bits (17, 33, 49 for units 1 to 3).
constexpr uint8_t LineKey(uint8_t connection_type) {
  return static_cast<uint8_t>(16 * connection_type + 17);
}

// Address byte the driver presents to the unit and the gauge port.
inline constexpr uint8_t kAddressByte = 17;

template <typename Fn>
Fn UnitEntry(lumo::Unit* unit, int slot) {
  return reinterpret_cast<Fn>(unit->slots[slot]);
}

// Entries the driver registers with a unit (bound to the driver object).
uint32_t LUMO_STDCALL ValidateReplyEntry(void* bound, uint32_t address, const char* reply,
                                         int32_t limit, uint8_t* received, uint8_t* expected);
void LUMO_STDCALL ApplyLineSettingsEntry(void* bound, uint32_t unused);

}  // namespace lumo::driver

#endif
