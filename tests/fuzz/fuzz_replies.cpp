// libFuzzer target for the reply validator and the reply field decoders.
// Each input is one received reply. Every buffer handed to the protocol code
// is a heap block of exactly the characters the caller would hold, so that
// AddressSanitizer reports any read beyond them. EConvertError (a field that
// is not hexadecimal) is expected; anything else that goes wrong aborts.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

#include "lumo.h"
#include "protocol/FrameCodec.h"
#include "protocol/ReplyDecode.h"

using namespace lumo::protocol;

namespace {

constexpr size_t kMaxInput = 256;

// Expected reply lengths of the requests, as the callers pass them.
constexpr size_t kStateLength = 2;       // ReadState
constexpr size_t kConfigLength = 18;     // ReadConfig
constexpr size_t kLevelLength = 19;      // codes 4, 5, 6, 8
constexpr size_t kWideLength = 21;       // code 16, program code
constexpr size_t kParameterLength = 29;  // parameter read

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_replies: %s\n", what);
  std::abort();
}

void Expect(bool condition, const char* what) {
  if (!condition) Fail(what);
}

// A heap copy of exactly n characters.
std::unique_ptr<uint8_t[]> Exact(const uint8_t* chars, size_t n) {
  std::unique_ptr<uint8_t[]> copy(new uint8_t[n]);
  if (n) std::memcpy(copy.get(), chars, n);
  return copy;
}

// The documented contract of ParseHexField: nullopt where it must throw.
std::optional<uint64_t> ReferenceHex(const uint8_t* chars, size_t count) {
  if (count == 0) return std::nullopt;
  uint64_t value = 0;
  size_t significant = 0;
  for (size_t i = 0; i < count; ++i) {
    const int digit = HexDigitValue(chars[i]);
    if (digit < 0) return std::nullopt;
    if (significant || digit) ++significant;
    value = (value << 4) | static_cast<uint64_t>(digit);
  }
  if (significant > 16) return std::nullopt;
  return value;
}

// The non-throwing parser against the reference.
void CheckParse(const uint8_t* chars, size_t count) {
  const auto field = Exact(chars, count);
  const auto expected = ReferenceHex(field.get(), count);
  const auto value = TryParseHexField(field.get(), count);
  Expect(value == expected, "TryParseHexField: wrong value or missed error");
}

// The throwing form throws exactly where the non-throwing one gives nothing.
// Called once per input: a throw costs far more than a parse under the
// sanitizers, and the two share one implementation.
void CheckParseThrows(const uint8_t* chars, size_t count) {
  const auto field = Exact(chars, count);
  const bool valid = TryParseHexField(field.get(), count).has_value();
  try {
    (void)ParseHexField(field.get(), count);
    Expect(valid, "ParseHexField: missed an error");
  } catch (const lumo::EConvertError&) {
    Expect(!valid, "ParseHexField: threw for a valid field");
  }
}

// A field a decoder reported as bad lies inside the reply and is bad.
void ExpectBadField(const BadField& bad, const uint8_t* reply, size_t length, const char* what) {
  Expect(bad.chars != nullptr, what);
  if (bad.count == 0) return;  // an empty field: nothing is read, wherever it points
  Expect(bad.chars >= reply && bad.chars + bad.count <= reply + length, what);
  Expect(!ReferenceHex(bad.chars, bad.count), what);
}

// ParseHexField on sub-ranges: the reply field positions, the check digits,
// one range chosen by the last two input bytes, and the whole input.
void FuzzParseHex(const uint8_t* data, size_t size) {
  static constexpr struct {
    size_t start, count;
  } kFields[] = {{0, 0}, {1, 2}, {3, 2}, {5, 2}, {7, 2},  {7, 4},  {7, 6},
                 {9, 2}, {9, 16}, {9, 17}, {11, 2}, {13, 2}, {15, 2}};
  for (const auto& f : kFields)
    if (f.start <= size && f.count <= size - f.start) CheckParse(data + f.start, f.count);
  if (size >= 4) CheckParse(data + size - 4, 2);
  if (size >= 2) {
    const size_t start = data[size - 1] % (size + 1);
    CheckParse(data + start, data[size - 2] % (size - start + 1));
    CheckParseThrows(data + start, data[size - 2] % (size - start + 1));
  }
  CheckParse(data, size);
}

// One level-type request (codes 4, 5, 6, 8, 16) given a valid reply.
void FuzzLevel(const uint8_t* frame, size_t length, size_t expected, const LevelLayout& layout,
               bool is_signed) {
  const size_t data = DataChars(length, expected);
  if (data < RequiredLength(layout)) return;
  const auto reply = Exact(frame, data);
  BadField bad;
  const auto status = TryDecodeStatus(reply.get(), layout, bad);
  if (!status) ExpectBadField(bad, reply.get(), data, "TryDecodeStatus: bad field");
  const auto want_status = ReferenceHex(reply.get() + layout.status_first, 2);
  Expect(status == want_status, "DecodeStatus: not the status field's value");
  const auto value = TryDecodeLevelValue(reply.get(), layout, bad);
  const auto integer = ReferenceHex(reply.get() + layout.integer_first, layout.integer_digits);
  const auto tenths = ReferenceHex(reply.get() + layout.tenths_first, 2);
  Expect(value.has_value() == (integer && tenths), "DecodeLevelValue: wrong fields");
  if (value) {
    Expect(*value == static_cast<double>(*integer) + static_cast<double>(*tenths) / 10.0,
           "DecodeLevelValue: not integer + tenths / 10");
    const int32_t rounded = RoundHalfEven(*value);
    Expect(std::fabs(rounded - *value) <= 0.5, "RoundHalfEven: not the nearest integer");
    if (std::fabs(rounded - *value) == 0.5) Expect(rounded % 2 == 0, "RoundHalfEven: odd tie");
  } else {
    ExpectBadField(bad, reply.get(), data, "TryDecodeLevelValue: bad field");
  }
  // The throwing forms for one layout in four, chosen by the input.
  if (frame[data / 2] % 4 == 0) {
    try {
      Expect(DecodeStatus(reply.get(), layout) == status, "DecodeStatus: differs");
    } catch (const lumo::EConvertError&) {
      Expect(!status, "DecodeStatus: threw for a valid field");
    }
    try {
      Expect(DecodeLevelValue(reply.get(), layout) == value, "DecodeLevelValue: differs");
    } catch (const lumo::EConvertError&) {
      Expect(!value, "DecodeLevelValue: threw for valid fields");
    }
  }
  if (is_signed) (void)SignMarkerNegative(reply.get());
}

// The decoders, as each request operation drives them on a valid reply.
void FuzzDecoders(const uint8_t* frame, size_t length) {
  // ReadState: character 1 of the copy.
  const size_t state_copied = CopiedChars(length, kStateLength);
  if (state_copied > kStateCharacterPosition) {
    const auto reply = Exact(frame, state_copied);
    volatile uint8_t state = reply[kStateCharacterPosition];
    (void)state;
  }

  // ReadConfig: the first 16 characters of the copy.
  const size_t config_copied = CopiedChars(length, kConfigLength);
  if (config_copied >= kConfigBlockLength) {
    const auto reply = Exact(frame, config_copied);
    uint8_t block[kConfigBlockLength];
    std::memcpy(block, reply.get(), kConfigBlockLength);
  }

  FuzzLevel(frame, length, kLevelLength, kLevelLayout, false);
  FuzzLevel(frame, length, kLevelLength, kSignedLevelLayout, true);
  FuzzLevel(frame, length, kWideLength, kWideLevelLayout, false);

  // ReadProgramCode.
  {
    const size_t data = DataChars(length, kWideLength);
    const auto reply = Exact(frame, data);
    const auto code = DecodeProgramCode(reply.get(), data);
    Expect(code.has_value() == (data >= 15), "DecodeProgramCode: wrong length rule");
    if (code)
      Expect(code->size() == 8 && std::memcmp(code->data(), reply.get() + 7, 8) == 0,
             "DecodeProgramCode: not characters 7-14");
  }

  // ReadChannelParameter.
  {
    const size_t data = DataChars(length, kParameterLength);
    const auto reply = Exact(frame, data);
    BadField bad;
    const auto value = TryDecodeParameterValue(reply.get(), data, bad);
    if (data < 7) Expect(!value && !bad.chars, "DecodeParameterValue: wrong length rule");
    else if (!value) ExpectBadField(bad, reply.get(), data, "TryDecodeParameterValue: bad field");
    if (frame[length / 3] % 4 == 0) {
      try {
        Expect(DecodeParameterValue(reply.get(), data) == value, "DecodeParameterValue: differs");
      } catch (const lumo::EConvertError&) {
        Expect(!value && bad.chars, "DecodeParameterValue: threw without a bad field");
      }
    }
  }
}

// Validates a received reply; true when valid.
bool Validate(const uint8_t* frame, size_t length) {
  uint32_t code;
  try {
    code = CheckReplyFrame(frame, length);
  } catch (const lumo::EConvertError&) {
    return false;
  }
  Expect(code == lumo::kReplyValid || code == lumo::kReplyBadEnd || code == lumo::kReplyBadCheck ||
             code == lumo::kReplyBadStart,
         "CheckReplyFrame: unknown code");
  if (code != lumo::kReplyValid) return false;
  Expect(length >= 5 && frame[0] == '@' && frame[length - 2] == '*' && frame[length - 1] == '\r',
         "CheckReplyFrame: accepted a badly framed reply");
  return true;
}

// The input with a start character, check digits and end characters of its
// own, so that the decoders see valid replies of any content.
std::unique_ptr<uint8_t[]> Sealed(const uint8_t* data, size_t size) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  auto frame = Exact(data, size);
  frame[0] = '@';
  uint8_t check = 0;
  for (size_t i = 0; i + 4 < size; ++i) check ^= frame[i];
  frame[size - 4] = static_cast<uint8_t>(kHex[check >> 4]);
  frame[size - 3] = static_cast<uint8_t>(kHex[check & 15]);
  frame[size - 2] = '*';
  frame[size - 1] = '\r';
  return frame;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxInput) return -1;
  const auto received = Exact(data, size);
  if (Validate(received.get(), size)) {
    FuzzDecoders(received.get(), size);
  } else if (size >= 5) {
    const auto sealed = Sealed(data, size);
    Expect(Validate(sealed.get(), size), "CheckReplyFrame: rejected a sealed reply");
    FuzzDecoders(sealed.get(), size);
  }
  FuzzParseHex(received.get(), size);
  return 0;
}
