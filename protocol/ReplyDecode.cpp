#include "protocol/ReplyDecode.h"

#include <cmath>

#include "protocol/FrameCodec.h"

namespace lumo::protocol {

namespace {
constexpr size_t kCountPosition = 5;
constexpr size_t kValuePosition = 9;
constexpr size_t kProgramCodePosition = 7;
constexpr size_t kProgramCodeLength = 8;
}  // namespace

namespace {
// One field of a reply, remembered in bad when it does not convert.
std::optional<uint64_t> Field(const uint8_t* chars, size_t count, BadField& bad) {
  const auto value = TryParseHexField(chars, count);
  if (!value) bad = BadField{chars, count};
  return value;
}

template <typename T>
T Require(const std::optional<T>& value, const BadField& bad) {
  if (!value) RaiseNotInteger(bad.chars, bad.count);
  return *value;
}
}  // namespace

std::optional<uint8_t> TryDecodeStatus(const uint8_t* reply, const LevelLayout& layout,
                                       BadField& bad) {
  const auto status = Field(reply + layout.status_first, 2, bad);
  if (!status) return std::nullopt;
  return static_cast<uint8_t>(*status);
}

uint8_t DecodeStatus(const uint8_t* reply, const LevelLayout& layout) {
  BadField bad;
  return Require(TryDecodeStatus(reply, layout, bad), bad);
}

std::optional<double> TryDecodeLevelValue(const uint8_t* reply, const LevelLayout& layout,
                                          BadField& bad) {
  const auto integer = Field(reply + layout.integer_first, layout.integer_digits, bad);
  if (!integer) return std::nullopt;
  const auto tenths = Field(reply + layout.tenths_first, 2, bad);
  if (!tenths) return std::nullopt;
  return static_cast<double>(*integer) + static_cast<double>(*tenths) / 10.0;
}

double DecodeLevelValue(const uint8_t* reply, const LevelLayout& layout) {
  BadField bad;
  return Require(TryDecodeLevelValue(reply, layout, bad), bad);
}

bool SignMarkerNegative(const uint8_t* reply) { return reply[kSignMarkerPosition] > '0'; }

int32_t RoundHalfEven(double value) {
  // The default rounding mode rounds ties to even; the ties here (x.5) are exact.
  return static_cast<int32_t>(std::nearbyint(value));
}

std::optional<int64_t> TryDecodeParameterValue(const uint8_t* reply, size_t length,
                                               BadField& bad) {
  bad = BadField{};
  if (length < kCountPosition + 2) return std::nullopt;
  const auto count = Field(reply + kCountPosition, 2, bad);
  if (!count) return std::nullopt;
  // Byte 3 is counted in n; the value is the n - 1 bytes after it.
  const size_t digits = *count >= 1 ? 2 * (*count - 1) : 0;
  // No value digits, or digits the reply does not hold: an empty field.
  const size_t held = digits == 0 || kValuePosition + digits > length ? 0 : digits;
  const auto value = Field(reply + kValuePosition, held, bad);
  if (!value) return std::nullopt;
  return static_cast<int64_t>(*value);
}

std::optional<int64_t> DecodeParameterValue(const uint8_t* reply, size_t length) {
  BadField bad;
  const auto value = TryDecodeParameterValue(reply, length, bad);
  if (!value && bad.chars) RaiseNotInteger(bad.chars, bad.count);
  return value;
}

std::optional<std::string> DecodeProgramCode(const uint8_t* reply, size_t length) {
  if (length < kProgramCodePosition + kProgramCodeLength) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(reply) + kProgramCodePosition,
                     kProgramCodeLength);
}

}  // namespace lumo::protocol
