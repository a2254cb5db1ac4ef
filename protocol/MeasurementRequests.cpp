// The host's measurement and status requests (slots 7 to 12 and 14).
#include <cstring>

#include "driver/Silo.h"
#include "protocol/ReplyDecode.h"
#include "protocol/RequestCodes.h"
#include "protocol/Texts.h"
#include "protocol/TraceText.h"

using namespace lumo::protocol;

namespace {

constexpr uint8_t kLevelReplyLength = 19;
constexpr uint8_t kWideLevelReplyLength = 21;

// Which status bytes an operation rejects as a device error.
enum class StatusTest { kAnyNonZero, kSixteenAndAbove };

bool StatusRejected(uint8_t status, StatusTest test) {
  return test == StatusTest::kAnyNonZero ? status != 0 : status >= 16;
}

struct Reply {
  uint8_t chars[32];
  size_t length;
};

// One level-type request: the value V (integer part + tenths / 10), or nullopt
// with the no-value result due. A valid reply too short for the fields counts
// as a bad reply (link state 3) rather than being read from stale buffer bytes.
std::optional<double> RequestLevel(TSilo& driver, uint8_t channel, uint8_t code,
                                   uint8_t expected_length, const LevelLayout& layout,
                                   StatusTest test, bool* negative) {
  Reply reply{};
  reply.chars[0] = channel;
  reply.chars[1] = code;
  reply.chars[2] = 0;
  if (driver.SendRequest(reply.chars, 3, expected_length, &reply.length) != 0)
    throw lumo::ESerialIO(lumo::text::kLevelRequestFailed);
  if (driver.GetLinkState() != lumo::kLinkValidReply) return std::nullopt;
  if (DataChars(reply.length, expected_length) < RequiredLength(layout)) {
    driver.SetLinkState(lumo::kLinkBadReply);
    return std::nullopt;
  }
  const uint8_t status = DecodeStatus(reply.chars, layout);
  if (StatusRejected(status, test)) {
    driver.SetLinkState(lumo::kLinkBadReply);
    return std::nullopt;
  }
  const double value = DecodeLevelValue(reply.chars, layout);
  if (negative) *negative = SignMarkerNegative(reply.chars);
  if (driver.TraceLog())
    driver.TraceValue("%.1f%s status=%u", value, negative && *negative ? " negative" : "",
                      static_cast<unsigned>(status));
  return value;
}

}  // namespace

void TSilo::ReadConfig(uint8_t* block16) {
  Reply reply{};
  reply.chars[0] = kCodeReadConfig;
  if (SendRequest(reply.chars, 1, 18, &reply.length) != 0)
    throw lumo::ESerialIO(lumo::text::kConfigRequestFailed);
  if (GetLinkState() != lumo::kLinkValidReply) return;
  if (CopiedChars(reply.length, 18) < kConfigBlockLength) {
    SetLinkState(lumo::kLinkBadReply);
    return;
  }
  std::memcpy(block16, reply.chars, kConfigBlockLength);
  if (TraceLog()) {
    char escaped[4 * kConfigBlockLength + 1];
    EscapeBytes(reply.chars, kConfigBlockLength, escaped, sizeof escaped);
    TraceValue("\"%s\"", escaped);
  }
}

int32_t TSilo::ReadState() {
  Reply reply{};
  reply.chars[0] = kCodeReadState;
  if (SendRequest(reply.chars, 1, 2, &reply.length) != 0)
    throw lumo::ESerialIO(lumo::text::kStateRequestFailed);
  if (GetLinkState() != lumo::kLinkValidReply) return 0;
  if (CopiedChars(reply.length, 2) <= kStateCharacterPosition) {
    SetLinkState(lumo::kLinkBadReply);
    return 0;
  }
  if (TraceLog()) TraceValue("%u", static_cast<unsigned>(reply.chars[kStateCharacterPosition]));
  return reply.chars[kStateCharacterPosition];
}

double TSilo::QueryValue4(uint8_t channel) {
  return RequestLevel(*this, channel, kCodeValue4, kLevelReplyLength, kLevelLayout,
                      StatusTest::kAnyNonZero, nullptr)
      .value_or(0.0);
}

void TSilo::QuerySignedValue6(uint8_t channel, double* four) {
  bool negative = false;
  const auto value = RequestLevel(*this, channel, kCodeSignedValue6, kLevelReplyLength,
                                  kSignedLevelLayout, StatusTest::kSixteenAndAbove, &negative);
  if (!value) return;
  const double signed_value = negative ? -*value : *value;
  for (int i = 0; i < 4; ++i) four[i] = signed_value;
}

int32_t TSilo::QueryRoundedValue5(uint8_t channel) {
  const auto value = RequestLevel(*this, channel, kCodeRoundedValue5, kLevelReplyLength,
                                  kLevelLayout, StatusTest::kAnyNonZero, nullptr);
  return value ? RoundHalfEven(*value) : 0;
}

double TSilo::QueryScaledValue8(uint8_t channel) {
  const auto value = RequestLevel(*this, channel, kCodeScaledValue8, kLevelReplyLength,
                                  kLevelLayout, StatusTest::kSixteenAndAbove, nullptr);
  return value ? *value / 1000.0 : 0.0;
}

double TSilo::QueryScaledValue16(uint8_t channel) {
  const auto value = RequestLevel(*this, channel, kCodeScaledValue16, kWideLevelReplyLength,
                                  kWideLevelLayout, StatusTest::kSixteenAndAbove, nullptr);
  return value ? *value / 1000.0 : 0.0;
}
