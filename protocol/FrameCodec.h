// ASCII-hex request and reply frames: '@', two upper-case hex digits per byte,
// two digits of an XOR check over everything before them, '*', carriage return.
// Plain C++: builds natively too, for fuzzing and sanitizers.
#ifndef LUMO_PROTOCOL_FRAMECODEC_H
#define LUMO_PROTOCOL_FRAMECODEC_H

#include <cstddef>
#include <cstdint>
#include <optional>

namespace lumo::protocol {

inline constexpr size_t kMaxPayload = 125;      // 2 * 125 + 5 = 255 characters
inline constexpr size_t kFrameBufferSize = 256;

constexpr size_t FrameLength(size_t payload_length) { return 2 * payload_length + 5; }

// Writes the request frame of a payload of n bytes (n <= kMaxPayload) into out,
// which holds at least FrameLength(n) characters; returns that length.
size_t EncodeFrame(const uint8_t* payload, size_t n, char* out);

// Value of one hex digit (either case), or -1.
int HexDigitValue(uint8_t c);

// Reads count characters as one unsigned hexadecimal number, most significant
// digit first. Throws lumo::EConvertError when count is 0, when a character is
// not a hex digit, or when the number does not fit in 64 bits.
uint64_t ParseHexField(const uint8_t* chars, size_t count);
// The same without throwing: nullopt where ParseHexField throws.
std::optional<uint64_t> TryParseHexField(const uint8_t* chars, size_t count);
// The error ParseHexField raises for those characters.
[[noreturn]] void RaiseNotInteger(const uint8_t* chars, size_t count);

// Checks the framing of a reply of `length` characters and returns its reply
// check code: 0 valid, 209 bad end, 222 bad check, 223 bad start (tested in
// that order of precedence: start, end, check). Never reads outside the reply.
// Check digits that are not hexadecimal throw lumo::EConvertError.
uint32_t CheckReplyFrame(const uint8_t* reply, size_t length);

}  // namespace lumo::protocol

#endif
