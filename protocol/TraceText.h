// Text pieces of trace lines: bytes escaped for a quoted field, hex dumps and
// request names. Plain C++, so that it builds natively too.
#ifndef LUMO_PROTOCOL_TRACETEXT_H
#define LUMO_PROTOCOL_TRACETEXT_H

#include <cstddef>
#include <cstdint>

namespace lumo::protocol {

// Writes bytes into out (capacity > 0) with printable ASCII as itself and
// \r, \n, \", \\ and \xHH for the rest; always terminated. Returns the
// characters written. Stops early (whole escapes only) when out is full.
size_t EscapeBytes(const uint8_t* bytes, size_t n, char* out, size_t capacity);

// Two upper-case hex digits per byte, terminated, truncated like EscapeBytes.
size_t HexBytes(const uint8_t* bytes, size_t n, char* out, size_t capacity);

// The request's name from its payload (the request code is the first byte of
// a whole-gauge request and the second of a channel request), and whether it
// addresses a channel. Unknown codes are named "code".
struct RequestKind {
  const char* name;
  bool has_channel;
  uint8_t code;
};
RequestKind ClassifyRequest(const uint8_t* payload, size_t n);

}  // namespace lumo::protocol

#endif
