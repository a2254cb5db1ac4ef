// The simulated gauge without any I/O: gauge description, request framing,
// reply building, fault injection and the control-command language. The
// program around it (lumo_sim.cpp) owns the serial line, the control socket
// and the clock.
#ifndef LUMO_TOOLS_SIM_SIMCORE_H
#define LUMO_TOOLS_SIM_SIMCORE_H

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace lumo::sim {

inline constexpr int kChannels = 32;
// Measurement request codes in the order the description lists them.
inline constexpr std::array<uint8_t, 5> kMeasureCodes = {4, 5, 6, 8, 16};
inline constexpr uint8_t kCodeProgram = 0x01;
inline constexpr uint8_t kCodeParamRead = 0x03;
inline constexpr uint8_t kCodeParamWrite = 0x83;
inline constexpr uint8_t kCodeConfig = 0x11;
inline constexpr uint8_t kCodeState = 0x14;

// 8 bytes for 129..143, 2 bytes otherwise.
int ParamWidth(uint8_t param);
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
// "repeat", "highbit", "random" or four hex digits (a constant).
bool ParseReplyHeader(const std::string& text, ReplyHeader& out);
std::string FormatReplyHeader(const ReplyHeader& h);

// One character on a serial line: a start bit, the data bits, an optional
// parity bit and the stop bits, at the baud rate (microseconds).
double CharMicros(int baud, int data_bits, bool parity, int stop_bits);

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
// Parses one "INT TENTHS [STATUS]" value for a measurement code.
bool ParseMeasurement(int code, const std::string& text, Measurement& m, std::string& error);

// Request frames out of a byte stream that may split them anywhere.
struct Piece {
  enum Kind { kFrame, kMalformed, kNoise } kind;
  std::string bytes;
  std::string why;  // kMalformed only
};

class FrameAssembler {
 public:
  void Feed(const uint8_t* data, size_t n, std::vector<Piece>& out);
  bool collecting() const { return collecting_; }

 private:
  std::string buf_;
  std::string noise_;
  bool collecting_ = false;
};

// Checks a complete request frame and decodes its payload.
bool DecodeFrame(const std::string& frame, std::vector<uint8_t>& payload, std::string& why);
// Upper-case hex pairs of the bytes.
std::string Hex(const std::vector<uint8_t>& data);
// '@', the data characters, their XOR check, '*', carriage return.
std::string FrameOfChars(const std::string& chars);

struct Request {
  int channel = -1;  // -1 for the whole-gauge requests
  int code = -1;
  std::vector<uint8_t> payload;
};
// -1 channel and code -1 when the payload matches no request shape.
Request Classify(const std::vector<uint8_t>& payload);

struct Answer {
  bool answered = false;
  std::string chars;  // reply data characters, before framing
  std::string note;
  bool wrote = false;
};
Answer Respond(Gauge& g, const Request& r);

enum class FaultKind { kSilence, kBadCheck, kNoise, kDelay, kSplit, kTruncate, kLowerCheck, kLong, kShort, kTrail };
const char* FaultName(FaultKind k);
std::optional<FaultKind> FaultFromName(const std::string& s);

struct Fault {
  int channel = -1;  // -1 any
  int code = -1;     // -1 any
  int param = -1;    // parameter number of a parameter read or write; -1 any
  FaultKind kind = FaultKind::kSilence;
  int count = 1;     // 0: persistent
  int ms = -1;       // delay / split pause; -1 default
  int n = -1;        // truncate: chars kept; long: extra bytes; short: bytes dropped
  int chars = -1;    // long: total characters sent
};
// Parses "[ch=N] [code=N] [param=N] kind=K [count=N|persist] [ms=N] [n=N] [chars=N]".
bool ParseFault(const std::string& text, Fault& f, std::string& error);
std::string DescribeFault(const Fault& f);

class FaultTable {
 public:
  void Add(const Fault& f) { faults_.push_back(f); }
  void Clear() { faults_.clear(); }
  const std::vector<Fault>& all() const { return faults_; }
  // First fault matching the request; spends one of its count.
  // param: the parameter number of a parameter read or write, else -1.
  std::optional<Fault> Take(int channel, int code, int param = -1);

 private:
  std::vector<Fault> faults_;
};

// What goes on the line for one reply: chunks sent after the given pause.
struct Chunk {
  int delay_ms = 0;  // after the previous chunk (the first: after the request)
  std::string bytes;
};
std::vector<Chunk> Shape(const std::string& chars, const Fault* f);

struct Stats {
  uint64_t frames = 0;     // well-formed request frames
  uint64_t malformed = 0;  // frames rejected by framing or check
  uint64_t noise = 0;      // bytes outside any frame
  uint64_t replies = 0;
  uint64_t unanswered = 0;  // no reply: silence fault, unknown request or channel
  uint64_t faults = 0;      // replies shaped by a fault (silence included)
  uint64_t writes = 0;
  std::map<int, uint64_t> by_code;
};

struct TraceEvent {
  std::string kind;  // "rx", "bad", "noise", "info"
  std::string bytes;
  int channel = -1;
  int code = -1;
  std::string note;
};

struct Output {
  std::vector<Chunk> chunks;
  int channel = -1;
  int code = -1;
  std::string note;
};

class Sim {
 public:
  Gauge gauge = DefaultGauge();
  FaultTable faults;
  Stats stats;
  std::string description_path;  // where "save" writes
  bool save_on_write = false;
  bool quit = false;
  // Set by "vanish ms=N": the line's far end goes away for N ms (the program
  // closes its pseudo-terminal and makes a new one behind the same links).
  int vanish_ms = 0;
  // Whether the program paces the line (its pseudo-terminal): "set pace=".
  bool pace = true;
  std::deque<std::string> history;  // last request frames
  static constexpr size_t kHistory = 64;

  void Feed(const uint8_t* data, size_t n, std::vector<Output>& out, std::vector<TraceEvent>& trace);
  // One control command line to one reply line (no newline).
  std::string Control(const std::string& line);
  bool Save(const std::string& path, std::string& error) const;

 private:
  FrameAssembler assembler_;
};

std::string Printable(const std::string& bytes);

}  // namespace lumo::sim

#endif
