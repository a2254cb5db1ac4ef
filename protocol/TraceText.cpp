#include "protocol/TraceText.h"

#include "protocol/RequestCodes.h"

namespace lumo::protocol {

namespace {
constexpr char kHex[] = "0123456789ABCDEF";
}  // namespace

size_t EscapeBytes(const uint8_t* bytes, size_t n, char* out, size_t capacity) {
  size_t at = 0;
  for (size_t i = 0; i < n; ++i) {
    char piece[4];
    size_t length = 0;
    const uint8_t b = bytes[i];
    if (b == '\r' || b == '\n' || b == '"' || b == '\\') {
      piece[0] = '\\';
      piece[1] = b == '\r' ? 'r' : b == '\n' ? 'n' : static_cast<char>(b);
      length = 2;
    } else if (b >= 0x20 && b < 0x7F) {
      piece[0] = static_cast<char>(b);
      length = 1;
    } else {
      piece[0] = '\\';
      piece[1] = 'x';
      piece[2] = kHex[b >> 4];
      piece[3] = kHex[b & 15];
      length = 4;
    }
    if (at + length >= capacity) break;
    for (size_t k = 0; k < length; ++k) out[at++] = piece[k];
  }
  if (capacity > 0) out[at] = '\0';
  return at;
}

size_t HexBytes(const uint8_t* bytes, size_t n, char* out, size_t capacity) {
  size_t at = 0;
  for (size_t i = 0; i < n && at + 2 < capacity; ++i) {
    out[at++] = kHex[bytes[i] >> 4];
    out[at++] = kHex[bytes[i] & 15];
  }
  if (capacity > 0) out[at] = '\0';
  return at;
}

RequestKind ClassifyRequest(const uint8_t* payload, size_t n) {
  if (n == 1 && payload[0] == kCodeReadConfig) return {"config", false, kCodeReadConfig};
  if (n == 1 && payload[0] == kCodeReadState) return {"state", false, kCodeReadState};
  if (n < 2) return {"code", false, n ? payload[0] : uint8_t{0}};
  switch (payload[1]) {
    case kCodeProgram: return {"program", true, kCodeProgram};
    case kCodeParameterRead: return {"param-read", true, kCodeParameterRead};
    case kCodeParameterWrite: return {"param-write", true, kCodeParameterWrite};
    case kCodeValue4: return {"value4", true, kCodeValue4};
    case kCodeRoundedValue5: return {"rounded5", true, kCodeRoundedValue5};
    case kCodeSignedValue6: return {"signed6", true, kCodeSignedValue6};
    case kCodeScaledValue8: return {"scaled8", true, kCodeScaledValue8};
    case kCodeScaledValue16: return {"scaled16", true, kCodeScaledValue16};
    default: return {"code", true, payload[1]};
  }
}

}  // namespace lumo::protocol
