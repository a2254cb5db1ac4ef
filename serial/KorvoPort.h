// TKorvoComPort: the serial port preset for the gauge line, with the receive
// state machine and the request/reply exchange.
#ifndef LUMO_SERIAL_KORVOPORT_H
#define LUMO_SERIAL_KORVOPORT_H

#include <cstdint>

#include "lumo.h"

// ValidateReply bound to its driver object.
struct BoundReplyValidator {
  lumo::ReplyValidatorFn entry = nullptr;
  void* bound = nullptr;
};

class TKorvoComPort {
 public:
  explicit TKorvoComPort(uint8_t port_number);
  ~TKorvoComPort();

  void SetReplyValidator(const BoundReplyValidator& validator);
  int32_t Exchange(uint8_t tag, const char* frame, uint8_t frame_length, uint8_t* reply,
                   uint8_t expected_length, uint8_t unused1, int32_t unused2);
  uint8_t GetLinkState() const;
};

#endif
