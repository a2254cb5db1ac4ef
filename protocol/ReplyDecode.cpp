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

uint8_t DecodeStatus(const uint8_t* reply, const LevelLayout& layout) {
  return static_cast<uint8_t>(ParseHexField(reply + layout.status_first, 2));
}

double DecodeLevelValue(const uint8_t* reply, const LevelLayout& layout) {
  const uint64_t integer = ParseHexField(reply + layout.integer_first, layout.integer_digits);
  const uint64_t tenths = ParseHexField(reply + layout.tenths_first, 2);
  return static_cast<double>(integer) + static_cast<double>(tenths) / 10.0;
}

bool SignMarkerNegative(const uint8_t* reply) { return reply[kSignMarkerPosition] > '0'; }

int32_t RoundHalfEven(double value) {
  // The default rounding mode rounds ties to even; the ties here (x.5) are exact.
  return static_cast<int32_t>(std::nearbyint(value));
}

std::optional<int64_t> DecodeParameterValue(const uint8_t* reply, size_t length) {
  if (length < kCountPosition + 2) return std::nullopt;
  const uint64_t count = ParseHexField(reply + kCountPosition, 2);
  // Byte 3 is counted in n; the value is the n - 1 bytes after it.
  const size_t digits = count >= 1 ? 2 * (count - 1) : 0;
  if (digits == 0 || kValuePosition + digits > length) {
    // No value digits, or digits the reply does not hold.
    return static_cast<int64_t>(ParseHexField(reply + kValuePosition, 0));
  }
  return static_cast<int64_t>(ParseHexField(reply + kValuePosition, digits));
}

std::optional<std::string> DecodeProgramCode(const uint8_t* reply, size_t length) {
  if (length < kProgramCodePosition + kProgramCodeLength) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(reply) + kProgramCodePosition,
                     kProgramCodeLength);
}

}  // namespace lumo::protocol
