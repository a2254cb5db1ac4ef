// Request frames out of the line's bytes, and the gauge's replies to them.
#ifndef LUMO_TOOLS_SIM_SIMREPLIES_H
#define LUMO_TOOLS_SIM_SIMREPLIES_H

#include <cstdint>
#include <string>
#include <vector>

#include "SimDescription.h"

namespace lumo::sim {

// One character on a serial line: a start bit, the data bits, an optional
// parity bit and the stop bits, at the baud rate (microseconds).
double CharMicros(int baud, int data_bits, bool parity, int stop_bits);

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

}  // namespace lumo::sim

#endif
