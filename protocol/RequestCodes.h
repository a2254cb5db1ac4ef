// Request codes of the gauge protocol and the width of channel parameters.
// Plain C++: the simulated gauge takes them from here too.
#ifndef LUMO_PROTOCOL_REQUESTCODES_H
#define LUMO_PROTOCOL_REQUESTCODES_H

#include <cstdint>

namespace lumo::protocol {

// Byte 1 of a channel request payload; the whole-gauge requests are the single
// bytes kCodeReadConfig and kCodeReadState.
enum RequestCode : uint8_t {
  kCodeProgram = 1,
  kCodeParameterRead = 3,
  kCodeValue4 = 4,
  kCodeRoundedValue5 = 5,
  kCodeSignedValue6 = 6,
  kCodeScaledValue8 = 8,
  kCodeScaledValue16 = 0x10,
  kCodeReadConfig = 0x11,
  kCodeReadState = 0x14,
  kCodeParameterWrite = 0x83,
};

// Identifiers (129 to 143) are 8 bytes wide, everything else 2.
constexpr uint8_t ParameterWidth(uint8_t parameter) {
  return parameter >= 129 && parameter <= 143 ? 8 : 2;
}

}  // namespace lumo::protocol

#endif
