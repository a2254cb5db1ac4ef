// The single request entry of the driver object and its reply validator.
#include "driver/CommUnit.h"
#include "driver/Silo.h"
#include "protocol/FrameCodec.h"
#include "protocol/RequestResult.h"
#include "serial/KorvoPort.h"

using namespace lumo::driver;
using lumo::protocol::CheckReplyFrame;
using lumo::protocol::EncodeFrame;

int32_t TSilo::SendRequest(uint8_t* buffer, uint8_t payload_length, uint8_t expected_length) {
  return SendRequest(buffer, payload_length, expected_length, nullptr);
}

int32_t TSilo::SendRequest(uint8_t* buffer, uint8_t payload_length, uint8_t expected_length,
                           size_t* reply_length) {
  DriverLockGuard guard(*this);
  validated_length_ = 0;
  if (reply_length) *reply_length = 0;
  // The frame buffer holds 125 payload bytes; a longer payload is refused
  // rather than written past the buffer.
  if (payload_length > lumo::protocol::kMaxPayload) return lumo::protocol::kRequestNotSent;
  char frame[lumo::protocol::kFrameBufferSize];
  const auto frame_length = static_cast<uint32_t>(EncodeFrame(buffer, payload_length, frame));
  try {
    if (unit_ && connection_type_ < 3) {
      UnitEntry<lumo::UnitSetReplyValidatorFn>(unit_, lumo::kUnitSetReplyValidator)(
          unit_, connection_type_, kAddressByte, &ValidateReplyEntry, this);
      const int32_t result = UnitEntry<lumo::UnitLineExchangeFn>(unit_, lumo::kUnitLineExchange)(
          unit_, connection_type_, kAddressByte, kAddressByte, frame, frame_length,
          reinterpret_cast<char*>(buffer), expected_length, 0);
      const uint32_t line_state = UnitEntry<lumo::UnitGetLineStateFn>(
          unit_, lumo::kUnitGetLineState)(unit_, LineKey(connection_type_));
      SetLinkState(static_cast<uint8_t>(line_state & 0xFF));
      if (reply_length) *reply_length = validated_length_;
      return result;
    }
    if (port_) {
      port_->SetReplyValidator(BoundReplyValidator{&ValidateReplyEntry, this});
      const int32_t result =
          port_->Exchange(kAddressByte, frame, static_cast<uint8_t>(frame_length), buffer,
                          expected_length, 0, -1);
      SetLinkState(port_->GetLinkState());
      if (reply_length) *reply_length = validated_length_;
      return result;
    }
    SetLinkState(lumo::kLinkNoReply);
    return lumo::protocol::kNoTransport;
  } catch (...) {
    // The link state keeps the value it had before the request.
    return lumo::protocol::kExchangeAborted;
  }
}

bool TSilo::ValidateReply(uint8_t /*address*/, const uint8_t* reply, int32_t /*limit*/,
                          uint8_t& received, uint8_t& /*expected*/) {
  const uint32_t code = CheckReplyFrame(reply, received);
  validated_length_ = code == lumo::kReplyValid ? received : 0;
  if (unit_ && connection_type_ < 3) {
    UnitEntry<lumo::UnitReportReplyCheckFn>(unit_, lumo::kUnitReportReplyCheck)(
        unit_, connection_type_, code);
  }
  return code == lumo::kReplyValid;
}
