// Decoding of the fields of validated replies. Every function is given the
// number of reply characters actually received and never reads beyond them.
// Plain C++: builds natively too, for fuzzing and sanitizers.
#ifndef LUMO_PROTOCOL_REPLYDECODE_H
#define LUMO_PROTOCOL_REPLYDECODE_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace lumo::protocol {

// A valid reply frame of frame_length characters was copied back, at most
// expected_length of them. Characters delivered raw may come from anywhere in
// the copy; converted fields must lie among the data characters, before the
// check digits.
constexpr size_t CopiedChars(size_t frame_length, size_t expected_length) {
  return frame_length < expected_length ? frame_length : expected_length;
}
constexpr size_t DataChars(size_t frame_length, size_t expected_length) {
  return CopiedChars(frame_length < 4 ? 0 : frame_length - 4, expected_length);
}

// Where a level-type reply keeps its fields (0-based character positions).
struct LevelLayout {
  size_t integer_first;   // first character of the integer part
  size_t integer_digits;  // its length in characters
  size_t tenths_first;    // two characters
  size_t status_first;    // two characters
};
inline constexpr LevelLayout kLevelLayout{7, 4, 11, 13};        // codes 4, 5, 8
inline constexpr LevelLayout kSignedLevelLayout{9, 2, 11, 13};  // code 6: byte at 9-10, sign at 7
inline constexpr LevelLayout kWideLevelLayout{7, 6, 13, 15};    // code 16

inline constexpr size_t kSignMarkerPosition = 7;

// Data characters a reply must hold for the layout's fields to be read.
constexpr size_t RequiredLength(const LevelLayout& layout) { return layout.status_first + 2; }

// A field that is not hexadecimal, as the non-throwing decoders report it;
// RaiseNotInteger(chars, count) is the error the throwing ones raise for it.
struct BadField {
  const uint8_t* chars = nullptr;
  size_t count = 0;
};

// The status byte of a level-type reply. Throws EConvertError when not hex.
uint8_t DecodeStatus(const uint8_t* reply, const LevelLayout& layout);
std::optional<uint8_t> TryDecodeStatus(const uint8_t* reply, const LevelLayout& layout,
                                       BadField& bad);
// Integer part plus tenths / 10. Throws EConvertError when not hex.
double DecodeLevelValue(const uint8_t* reply, const LevelLayout& layout);
std::optional<double> TryDecodeLevelValue(const uint8_t* reply, const LevelLayout& layout,
                                          BadField& bad);
// Character 7 above '0' marks a negative signed value.
bool SignMarkerNegative(const uint8_t* reply);
// Rounds to the nearest integer, ties to even.
int32_t RoundHalfEven(double value);

// Reply characters of ReadConfig and ReadState.
inline constexpr size_t kConfigBlockLength = 16;
inline constexpr size_t kStateCharacterPosition = 1;

// The value of a parameter read reply: count n at characters 5-6, then n - 1
// value bytes from character 9, big-endian, as a signed 64-bit pattern.
// `length` is the number of data characters (DataChars). Throws EConvertError
// for counts 0 and 1, for counts whose value characters lie beyond them, for
// non-hex characters and for values over 64 bits. Returns nullopt when the
// reply is too short to hold even the count.
std::optional<int64_t> DecodeParameterValue(const uint8_t* reply, size_t length);
// The same without throwing: a conversion error gives nullopt with bad.chars
// set; a reply too short for its count gives nullopt with bad.chars null.
std::optional<int64_t> TryDecodeParameterValue(const uint8_t* reply, size_t length,
                                               BadField& bad);

// The program code: the eight characters 7-14 as text; nullopt when the
// reply's `length` data characters do not hold them.
std::optional<std::string> DecodeProgramCode(const uint8_t* reply, size_t length);

}  // namespace lumo::protocol

#endif
