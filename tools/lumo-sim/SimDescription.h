// The simulated gauge's description: what each channel measures and holds,
// the whole-gauge replies, and the INI-like file that describes them.
#ifndef LUMO_TOOLS_SIM_SIMDESCRIPTION_H
#define LUMO_TOOLS_SIM_SIMDESCRIPTION_H

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "protocol/RequestCodes.h"

namespace lumo::sim {

inline constexpr int kChannels = 32;
// Measurement request codes in the order the description lists them.
inline constexpr std::array<uint8_t, 5> kMeasureCodes = {
    protocol::kCodeValue4, protocol::kCodeRoundedValue5, protocol::kCodeSignedValue6,
    protocol::kCodeScaledValue8, protocol::kCodeScaledValue16};

// Index into kMeasureCodes, or -1.
int MeasureIndex(int code);

struct Measurement {
  bool negative = false;  // code 6 only: sign marker set
  uint32_t integer = 0;   // 16 bits (24 for code 16, 8 for code 6)
  uint8_t tenths = 0;
  uint8_t status = 0;
};

struct Channel {
  bool described = false;
  std::array<Measurement, kMeasureCodes.size()> measure{};
  uint32_t program = 0;
  std::map<uint8_t, uint64_t> params;
};

// What reply bytes 0 and 1 to a channel request carry (the request does not
// decide them: a gauge may repeat it or not).
struct ReplyHeader {
  enum Kind { kRepeat, kConstant, kHighBit, kRandom } kind = kRepeat;
  uint16_t constant = 0;  // kConstant: bytes 0 and 1, big-endian
};
inline constexpr char kHeaderHelp[] = "header is repeat, highbit, random or 4 hex digits";
// "repeat", "highbit", "random" or four hex digits (a constant).
bool ParseReplyHeader(const std::string& text, ReplyHeader& out);
std::string FormatReplyHeader(const ReplyHeader& h);

struct Gauge {
  std::array<Channel, kChannels> channels{};
  ReplyHeader header;
  int turnaround_ms = 5;  // from a request's last character to the reply's first
  uint32_t header_random = 0x2545F491;  // kRandom: xorshift state
  std::vector<uint8_t> config;
  char state = '0';
  bool silent_undescribed = false;  // undescribed channels do not answer
};

// Values a channel gets when the description does not mention it.
Channel DefaultChannel(int ch);
const char* EmbeddedDescription();
// Parses a description over the defaults. On error returns false and names the
// line in `error`; `out` is then unspecified.
bool ParseDescription(const std::string& text, Gauge& out, std::string& error);
Gauge DefaultGauge();
std::string FormatDescription(const Gauge& g);
// Writes the description to path through a temporary file.
bool SaveDescription(const Gauge& g, const std::string& path, std::string& error);

// Single values, as the description and the control command "set" take them.
// One "INT TENTHS [STATUS]" value for a measurement code.
bool ParseMeasurement(int code, const std::string& text, Measurement& m, std::string& error);
std::string FormatMeasurement(int code, const Measurement& m);
// One "key = value" of a channel section (m4, program, p129, ...).
bool ParseChannelKey(Channel& c, const std::string& key, const std::string& value, std::string& error);
// Hex bytes, spaces allowed, at most 120.
bool ParseConfigBytes(const std::string& text, std::vector<uint8_t>& out);
bool StateCharOk(char c);

}  // namespace lumo::sim

#endif
