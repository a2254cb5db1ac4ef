#include "FrameCodec.h"

#include <string>

#include "lumo.h"

namespace lumo::protocol {

namespace {
constexpr char kHexDigits[] = "0123456789ABCDEF";

std::string Printable(const uint8_t* chars, size_t count) {
  std::string s;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t c = chars[i];
    if (c >= 0x20 && c < 0x7F) {
      s += static_cast<char>(c);
    } else {
      s += "#$";
      s += kHexDigits[c >> 4];
      s += kHexDigits[c & 15];
    }
  }
  return s;
}

}  // namespace

void RaiseNotInteger(const uint8_t* chars, size_t count) {
  throw EConvertError("'" + Printable(chars, count) + "' is not a valid integer value");
}

size_t EncodeFrame(const uint8_t* payload, size_t n, char* out) {
  out[0] = '@';
  for (size_t i = 0; i < n; ++i) {
    out[2 * i + 1] = kHexDigits[payload[i] >> 4];
    out[2 * i + 2] = kHexDigits[payload[i] & 15];
  }
  uint8_t check = 0;
  for (size_t i = 0; i <= 2 * n; ++i) check ^= static_cast<uint8_t>(out[i]);
  out[2 * n + 1] = kHexDigits[check >> 4];
  out[2 * n + 2] = kHexDigits[check & 15];
  out[2 * n + 3] = '*';
  out[2 * n + 4] = '\r';
  return FrameLength(n);
}

int HexDigitValue(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::optional<uint64_t> TryParseHexField(const uint8_t* chars, size_t count) {
  if (count == 0) return std::nullopt;
  uint64_t value = 0;
  for (size_t i = 0; i < count; ++i) {
    const int digit = HexDigitValue(chars[i]);
    if (digit < 0 || (value >> 60) != 0) return std::nullopt;
    value = (value << 4) | static_cast<uint64_t>(digit);
  }
  return value;
}

uint64_t ParseHexField(const uint8_t* chars, size_t count) {
  if (const auto value = TryParseHexField(chars, count)) return *value;
  RaiseNotInteger(chars, count);
}

uint32_t CheckReplyFrame(const uint8_t* reply, size_t length) {
  if (length < 1 || reply[0] != '@') return kReplyBadStart;
  // A reply of one character has no room for the '*' and carriage return.
  if (length < 2 || reply[length - 2] != '*' || reply[length - 1] != '\r') return kReplyBadEnd;
  // "@*\r" and "@x*\r" carry no check digits of their own.
  if (length < 5) return kReplyBadCheck;
  uint8_t check = 0;
  for (size_t i = 0; i + 4 < length; ++i) check ^= reply[i];
  const uint64_t received = ParseHexField(reply + length - 4, 2);
  return received == check ? kReplyValid : kReplyBadCheck;
}

}  // namespace lumo::protocol
