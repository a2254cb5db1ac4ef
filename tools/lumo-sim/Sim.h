// The simulated gauge without any I/O: what it does with the bytes of its line
// and with control commands. The program around it (lumo_sim.cpp) owns the
// serial line, the control socket and the clock.
#ifndef LUMO_TOOLS_SIM_SIM_H
#define LUMO_TOOLS_SIM_SIM_H

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "SimDescription.h"
#include "SimFaults.h"
#include "SimReplies.h"
#include "SimText.h"

namespace lumo::sim {

struct Stats {
  uint64_t frames = 0;     // well-formed request frames
  uint64_t malformed = 0;  // frames rejected by framing or check
  uint64_t noise = 0;      // bytes outside any frame
  uint64_t replies = 0;
  uint64_t unanswered = 0;  // no reply: silence fault, unknown request or channel
  uint64_t faults = 0;      // replies shaped by a fault (silence included)
  uint64_t writes = 0;
  uint64_t echoed = 0;  // bytes sent back by an echoing line
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
  // The line's echo of the bytes just received (one chunk), not a reply:
  // with echo on it comes first, and the program paces it with the request.
  bool echo = false;
  std::vector<Chunk> chunks;
  int channel = -1;
  int code = -1;
  std::string note;
};

// A control command that acts on the line itself, checked here and carried
// out (and answered) by the program.
struct LineRequest {
  enum Kind { kVanish, kDrop, kLink, kUnlink, kSend, kRecv, kStall, kSettings } kind = kSettings;
  int com = 0;                 // link, unlink: COMn of the Wine prefix; 0 none
  std::vector<uint8_t> bytes;  // send
  size_t count = 0;            // recv: bytes wanted
  int ms = 0;                  // recv: deadline; vanish: time away; stall: time unread
};

class Sim {
 public:
  Gauge gauge = DefaultGauge();
  FaultTable faults;
  Stats stats;
  std::string description_path;  // where "save" writes
  bool save_on_write = false;
  bool quit = false;
  // Whether the program paces the line (its pseudo-terminal): "set pace=".
  bool pace = true;
  // A raw line: no gauge answers; the line's bytes wait for "recv".
  bool raw = false;
  // An echoing line (a two-wire converter whose receiver stays on): every
  // byte received goes back on the line before the reply. "set echo=".
  bool echo = false;
  // Set by the line's commands (vanish, drop, link, unlink, send, recv,
  // get line); the program takes it, carries it out and answers.
  std::optional<LineRequest> line_request;
  // Reply characters scheduled and not yet written, kept by the line's loop:
  // "stats" shows it, so that a client can wait for a late reply to go out.
  size_t pending_chars = 0;
  // Milliseconds the line stays unread ("stall"), kept by the line's loop; at
  // least 1 until what piled up has been read, 0 when no stall is in force.
  long long stall_ms = 0;
  std::deque<std::string> history;  // last request frames
  static constexpr size_t kHistory = 64;

  void Feed(const uint8_t* data, size_t n, std::vector<Output>& out, std::vector<TraceEvent>& trace);
  // One control command line to one reply line (no newline).
  std::string Control(const std::string& line);
  bool Save(const std::string& path, std::string& error) const { return SaveDescription(gauge, path, error); }

 private:
  std::string LineControl(const std::string& cmd, const std::vector<std::string>& words,
                          const std::map<std::string, std::string>& kv);
  FrameAssembler assembler_;
};

}  // namespace lumo::sim

#endif
