// The table of stdcall entries a host calls by slot number. It is laid out
// explicitly rather than left to the compiler's virtual-call layout, so every
// slot's position, argument words and calling convention are fixed here.
#include "driver/MenuHook.h"
#include "driver/Silo.h"

namespace {

TSilo* Self(lumo::Driver* driver) { return TSilo::FromDriver(driver); }
uint8_t LowByte(uint32_t word) { return static_cast<uint8_t>(word & 0xFF); }

void LUMO_STDCALL Release(lumo::Driver* driver) { lumo::driver::ReleaseDriver(Self(driver)); }

[[noreturn]] void AbstractCall() { throw lumo::EAbstractError("Abstract Error"); }
void LUMO_STDCALL Abstract0(lumo::Driver*) { AbstractCall(); }
void LUMO_STDCALL Abstract1(lumo::Driver*) { AbstractCall(); }

void LUMO_STDCALL GetDriverName(unsigned char* result, lumo::Driver* driver) {
  Self(driver)->GetDriverName(result);
}
void LUMO_STDCALL SetLinkState(lumo::Driver* driver, uint32_t state) {
  Self(driver)->SetLinkState(LowByte(state));
}
uint32_t LUMO_STDCALL GetLinkState(lumo::Driver* driver) { return Self(driver)->GetLinkState(); }
void LUMO_STDCALL SetupLink(lumo::Driver* driver, uint32_t unused) {
  Self(driver)->SetupLink(LowByte(unused));
}
void LUMO_STDCALL Reserved6(lumo::Driver* driver) { Self(driver)->Reserved6(); }
void LUMO_STDCALL ReadConfig(lumo::Driver* driver, unsigned char* block16) {
  Self(driver)->ReadConfig(block16);
}
int32_t LUMO_STDCALL ReadState(lumo::Driver* driver) { return Self(driver)->ReadState(); }
double LUMO_STDCALL QueryValue4(lumo::Driver* driver, uint32_t channel) {
  return Self(driver)->QueryValue4(LowByte(channel));
}
void LUMO_STDCALL QuerySignedValue6(lumo::Driver* driver, uint32_t channel, double* four) {
  Self(driver)->QuerySignedValue6(LowByte(channel), four);
}
int32_t LUMO_STDCALL QueryRoundedValue5(lumo::Driver* driver, uint32_t channel) {
  return Self(driver)->QueryRoundedValue5(LowByte(channel));
}
double LUMO_STDCALL QueryScaledValue8(lumo::Driver* driver, uint32_t channel) {
  return Self(driver)->QueryScaledValue8(LowByte(channel));
}
void LUMO_STDCALL GetZeroPair(lumo::Driver* driver, uint32_t /*unused*/, uint16_t* pair) {
  Self(driver)->GetZeroPair(pair);
}
double LUMO_STDCALL QueryScaledValue16(lumo::Driver* driver, uint32_t channel) {
  return Self(driver)->QueryScaledValue16(LowByte(channel));
}
void LUMO_STDCALL AddMenuItems(lumo::Driver* driver, void* main_menu_root, uint32_t /*unused*/) {
  lumo::driver::AddMenuItems(*Self(driver), static_cast<HMENU>(main_menu_root));
}

}  // namespace

// The static_cast checks at compile time that each entry has the signature the
// public header declares for its slot; the table itself is constant data.
#define LUMO_SLOT(FnType, fn) reinterpret_cast<void*>(static_cast<lumo::FnType>(&fn))

void* const kSiloSlotTable[1 + lumo::kSlotCount] = {
    LUMO_SLOT(ReleaseFn, Release),
    LUMO_SLOT(AbstractFn, Abstract0),
    LUMO_SLOT(AbstractFn, Abstract1),
    LUMO_SLOT(GetDriverNameFn, GetDriverName),
    LUMO_SLOT(SetLinkStateFn, SetLinkState),
    LUMO_SLOT(GetLinkStateFn, GetLinkState),
    LUMO_SLOT(SetupLinkFn, SetupLink),
    LUMO_SLOT(Reserved6Fn, Reserved6),
    LUMO_SLOT(ReadConfigFn, ReadConfig),
    LUMO_SLOT(ReadStateFn, ReadState),
    LUMO_SLOT(QueryValue4Fn, QueryValue4),
    LUMO_SLOT(QuerySignedValue6Fn, QuerySignedValue6),
    LUMO_SLOT(QueryRoundedValue5Fn, QueryRoundedValue5),
    LUMO_SLOT(QueryScaledValue8Fn, QueryScaledValue8),
    LUMO_SLOT(GetZeroPairFn, GetZeroPair),
    LUMO_SLOT(QueryScaledValue16Fn, QueryScaledValue16),
    LUMO_SLOT(AddMenuItemsFn, AddMenuItems),
};
