// The driver's side of the host's communication unit: line set-up (slot 5) and
// the callbacks it registers with the unit.
#include "driver/CommUnit.h"

#include "driver/Silo.h"

namespace lumo::driver {

uint32_t LUMO_STDCALL ValidateReplyEntry(void* bound, uint32_t address, const char* reply,
                                         int32_t limit, uint8_t* received, uint8_t* expected) {
  auto* driver = static_cast<TSilo*>(bound);
  return driver->ValidateReply(static_cast<uint8_t>(address),
                               reinterpret_cast<const uint8_t*>(reply), limit, *received,
                               *expected)
             ? 1u
             : 0u;
}

void LUMO_STDCALL ApplyLineSettingsEntry(void* bound, uint32_t unused) {
  static_cast<TSilo*>(bound)->ApplyLineSettings(static_cast<uint8_t>(unused));
}

}  // namespace lumo::driver

using namespace lumo::driver;

void TSilo::SetupLink(uint8_t unused) {
  if (!unit_) return;
  // The unit is host code: whatever it throws stays here.
  try {
    UnitEntry<lumo::UnitSetLineConfigHandlerFn>(unit_, lumo::kUnitSetLineConfigHandler)(
        unit_, LineKey(connection_type_), &ApplyLineSettingsEntry, this);
    ApplyLineSettings(unused);
  } catch (...) {
    lumo::TraceCaught(trace_, "SetupLink");
  }
}

void TSilo::ApplyLineSettings(uint8_t /*unused*/) {
  UnitEntry<lumo::UnitConfigureLineFn>(unit_, lumo::kUnitConfigureLine)(
      unit_, LineKey(connection_type_), 3, 9600, 200, 20, 1);
}
