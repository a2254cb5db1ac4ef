// Serial transport not built yet: every port fails to open.
#include "serial/KorvoPort.h"

#include <cstdio>

#include "protocol/Texts.h"

TKorvoComPort::TKorvoComPort(uint8_t port_number) {
  char message[64];
  std::snprintf(message, sizeof message, lumo::text::kCannotOpenComFmt, port_number);
  throw lumo::EOpenPortFail(message);
}
TKorvoComPort::~TKorvoComPort() = default;
void TKorvoComPort::SetReplyValidator(const BoundReplyValidator&) {}
int32_t TKorvoComPort::Exchange(uint8_t, const char*, uint8_t, uint8_t*, uint8_t, uint8_t, int32_t) {
  return 0;
}
uint8_t TKorvoComPort::GetLinkState() const { return lumo::kLinkNoReply; }
