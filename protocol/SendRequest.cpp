// The single request entry of the driver object and its reply validator.
#include <cstdio>

#include "driver/CommUnit.h"
#include "driver/Silo.h"
#include "protocol/FrameCodec.h"
#include "protocol/RequestResult.h"
#include "protocol/TraceText.h"
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
  if (!trace_) return SendOverTransport(buffer, payload_length, expected_length, reply_length);
  TraceRequest(buffer, payload_length);
  const int32_t result = SendOverTransport(buffer, payload_length, expected_length, reply_length);
  char channel[8];
  TracedChannel(channel);
  trace_->Event("done", "name=%s channel=%s link=%u result=%d", traced_name_, channel,
                static_cast<unsigned>(GetLinkState()), static_cast<int>(result));
  return result;
}

void TSilo::TraceRequest(const uint8_t* payload, uint8_t payload_length) {
  const auto kind = lumo::protocol::ClassifyRequest(payload, payload_length);
  traced_name_ = kind.name;
  traced_channel_ = kind.has_channel ? payload[0] : -1;
  traced_unit_replies_ = 0;
  char hex[2 * 256 + 1];
  lumo::protocol::HexBytes(payload, payload_length, hex, sizeof hex);
  char channel[8];
  TracedChannel(channel);
  trace_->Event("request", "name=%s channel=%s code=%02X payload=%s", kind.name, channel,
                static_cast<unsigned>(kind.code), hex);
}

int32_t TSilo::SendOverTransport(uint8_t* buffer, uint8_t payload_length, uint8_t expected_length,
                                 size_t* reply_length) {
  validated_length_ = 0;
  if (reply_length) *reply_length = 0;
  // The frame buffer holds 125 payload bytes; a longer payload is refused
  // rather than written past the buffer.
  if (payload_length > lumo::protocol::kMaxPayload) return lumo::protocol::kRequestNotSent;
  char frame[lumo::protocol::kFrameBufferSize];
  const auto frame_length = static_cast<uint32_t>(EncodeFrame(buffer, payload_length, frame));
  try {
    if (unit_ && connection_type_ < 3) {
      if (trace_) {
        char escaped[4 * lumo::protocol::kFrameBufferSize];
        lumo::protocol::EscapeBytes(reinterpret_cast<const uint8_t*>(frame), frame_length, escaped,
                                    sizeof escaped);
        trace_->Event("send", "attempt=1 frame=\"%s\"", escaped);
      }
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
    lumo::TraceCaught(trace_, "SendRequest");
    // The link state keeps the value it had before the request.
    return lumo::protocol::kExchangeAborted;
  }
}

bool TSilo::ValidateReply(uint8_t /*address*/, const uint8_t* reply, int32_t /*limit*/,
                          uint8_t& received, uint8_t& /*expected*/) {
  const bool traced = trace_ && unit_ && connection_type_ < 3;
  uint32_t code = 0;
  try {
    code = CheckReplyFrame(reply, received);
  } catch (...) {
    if (traced) TraceUnitReply(reply, received, nullptr);
    throw;
  }
  if (traced) TraceUnitReply(reply, received, &code);
  validated_length_ = code == lumo::kReplyValid ? received : 0;
  if (unit_ && connection_type_ < 3) {
    UnitEntry<lumo::UnitReportReplyCheckFn>(unit_, lumo::kUnitReportReplyCheck)(
        unit_, connection_type_, code);
  }
  return code == lumo::kReplyValid;
}

// A reply the communication unit collected: its bytes and the check's verdict
// (the unit itself decides about further attempts). code is null inside the
// catch block of a check that raised.
void TSilo::TraceUnitReply(const uint8_t* reply, uint8_t received, const uint32_t* code) {
  const int n = ++traced_unit_replies_;
  char escaped[4 * 256 + 1];
  lumo::protocol::EscapeBytes(reply, received, escaped, sizeof escaped);
  trace_->Event("recv", "attempt=%d bytes=\"%s\"", n, escaped);
  if (code) trace_->CheckVerdict(n, *code, received);
  else trace_->ErrorVerdict(n);
}
