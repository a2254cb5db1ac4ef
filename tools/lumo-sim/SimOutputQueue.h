// The bytes the simulated gauge has yet to put on its line, each with the time
// it is due. On a paced line every character is one entry, due one character
// time after the one before, so the order in which entries leave is the order
// of the bytes on the wire.
#ifndef LUMO_TOOLS_SIM_SIMOUTPUTQUEUE_H
#define LUMO_TOOLS_SIM_SIMOUTPUTQUEUE_H

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace lumo::sim {

using Clock = std::chrono::steady_clock;

struct PendingOutput {
  Clock::time_point due;
  std::string bytes;
  int ch = -1, code = -1;
  std::string note;
  bool traced = true;  // a paced chunk is traced whole with its first character
  std::string shown;   // what the trace shows, when not the bytes themselves
  bool echo = false;   // the line's echo of a request, traced as such
};

class OutputQueue {
 public:
  void Push(PendingOutput output) { pending_.push_back(std::move(output)); }
  // The next entry to write at `now`: the earliest due, the first pushed among
  // equals; none while the earliest is not yet due. The choice is made against
  // one reading of the clock: read afresh per entry, a late entry could pass
  // the deadline while an earlier one was being looked at and leave first,
  // swapping characters (which a frame's XOR check cannot see).
  std::optional<PendingOutput> PopDue(Clock::time_point now);
  std::optional<Clock::time_point> EarliestDue() const;
  size_t Chars() const;
  // The earliest time from `at` on when a character lasting `one` would
  // overlap none queued, each byte of an entry holding the line for `one`
  // from the entry's due time: where an echo fits in before a late reply.
  Clock::time_point FreeFrom(Clock::time_point at, Clock::duration one) const;
  void Clear() { pending_.clear(); }

 private:
  std::vector<PendingOutput> pending_;
};

}  // namespace lumo::sim

#endif
