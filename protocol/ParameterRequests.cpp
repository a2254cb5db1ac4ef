// Channel parameter requests used by the tuning dialog.
#include "driver/Silo.h"
#include "protocol/ReplyDecode.h"
#include "protocol/RequestCodes.h"
#include "protocol/Texts.h"
#include "protocol/TraceText.h"

using lumo::protocol::kCodeParameterRead;
using lumo::protocol::kCodeParameterWrite;
using lumo::protocol::kCodeProgram;

int64_t TSilo::ReadChannelParameter(uint8_t channel, uint8_t parameter) {
  uint8_t buffer[32] = {channel, kCodeParameterRead, 1, parameter};
  size_t length = 0;
  if (SendRequest(buffer, 4, 29, &length) != 0)
    throw lumo::ESerialIO(lumo::text::kParameterRequestFailed);
  if (GetLinkState() != lumo::kLinkValidReply) return 0;
  const auto value = lumo::protocol::DecodeParameterValue(buffer, lumo::protocol::DataChars(length, 29));
  // A valid reply too short to hold its count is a bad reply.
  if (!value) SetLinkState(lumo::kLinkBadReply);
  if (value && TraceLog()) TraceValue("%lld", static_cast<long long>(*value));
  return value.value_or(0);
}

void TSilo::WriteChannelParameter(uint8_t channel, uint8_t parameter, int64_t value) {
  const uint8_t width = lumo::protocol::ParameterWidth(parameter);
  uint8_t buffer[32] = {channel, kCodeParameterWrite, static_cast<uint8_t>(width + 1), parameter};
  const auto bits = static_cast<uint64_t>(value);
  for (uint8_t i = 0; i < width; ++i)
    buffer[4 + i] = static_cast<uint8_t>(bits >> (8 * (width - 1 - i)));
  if (SendRequest(buffer, static_cast<uint8_t>(width + 4), 23) != 0)
    throw lumo::ESerialIO(lumo::text::kParameterRequestFailed);
}

void TSilo::ReadProgramCode(uint8_t channel, std::string& text) {
  uint8_t buffer[32] = {channel, kCodeProgram, 0};
  size_t length = 0;
  if (SendRequest(buffer, 3, 21, &length) != 0)
    throw lumo::ESerialIO(lumo::text::kLevelRequestFailed);
  if (GetLinkState() != lumo::kLinkValidReply) return;
  const auto code = lumo::protocol::DecodeProgramCode(buffer, lumo::protocol::DataChars(length, 21));
  if (!code) {
    SetLinkState(lumo::kLinkBadReply);
    return;
  }
  text = *code;
  if (TraceLog()) {
    char escaped[4 * 32 + 1];
    lumo::protocol::EscapeBytes(reinterpret_cast<const uint8_t*>(text.data()), text.size(), escaped,
                                sizeof escaped);
    TraceValue("\"%s\"", escaped);
  }
}
