// The table of stdcall entries a host calls by slot number. It is laid out
// explicitly rather than left to the compiler's virtual-call layout, so every
// slot's position, argument words and calling convention are fixed here.
#include "driver/Silo.h"

namespace {

TSilo* Self(lumo::Driver* driver) { return TSilo::FromDriver(driver); }
uint8_t LowByte(uint32_t word) { return static_cast<uint8_t>(word & 0xFF); }

void LUMO_STDCALL Release(lumo::Driver* driver) { delete Self(driver); }

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
  TSilo* self = Self(driver);
  // The tuning dialog's menu item is added on the first call only.
  if (self->TakeMenuPending()) (void)main_menu_root;
}

// Checks at compile time that each entry has the signature the host's typedef
// declares, so a slot cannot drift from the public header.
template <typename Fn>
constexpr void* Entry(Fn fn) {
  return reinterpret_cast<void*>(fn);
}

}  // namespace

void* const kSiloSlotTable[1 + lumo::kSlotCount] = {
    Entry<lumo::ReleaseFn>(&Release),
    Entry<lumo::AbstractFn>(&Abstract0),
    Entry<lumo::AbstractFn>(&Abstract1),
    Entry<lumo::GetDriverNameFn>(&GetDriverName),
    Entry<lumo::SetLinkStateFn>(&SetLinkState),
    Entry<lumo::GetLinkStateFn>(&GetLinkState),
    Entry<lumo::SetupLinkFn>(&SetupLink),
    Entry<lumo::Reserved6Fn>(&Reserved6),
    Entry<lumo::ReadConfigFn>(&ReadConfig),
    Entry<lumo::ReadStateFn>(&ReadState),
    Entry<lumo::QueryValue4Fn>(&QueryValue4),
    Entry<lumo::QuerySignedValue6Fn>(&QuerySignedValue6),
    Entry<lumo::QueryRoundedValue5Fn>(&QueryRoundedValue5),
    Entry<lumo::QueryScaledValue8Fn>(&QueryScaledValue8),
    Entry<lumo::GetZeroPairFn>(&GetZeroPair),
    Entry<lumo::QueryScaledValue16Fn>(&QueryScaledValue16),
    Entry<lumo::AddMenuItemsFn>(&AddMenuItems),
};
