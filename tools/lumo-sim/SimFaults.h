// Faults the simulated gauge puts into its replies: which requests they
// match, and what they make of a reply on the line.
#ifndef LUMO_TOOLS_SIM_SIMFAULTS_H
#define LUMO_TOOLS_SIM_SIMFAULTS_H

#include <optional>
#include <string>
#include <vector>

namespace lumo::sim {

enum class FaultKind { kSilence, kBadCheck, kNoise, kDelay, kSplit, kTruncate, kLowerCheck, kLong, kShort, kTrail, kGarbledCheck, kOtherChannel };
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
// The reply frame of the data characters, as the fault (if any) shapes it.
std::vector<Chunk> Shape(const std::string& chars, const Fault* f);

}  // namespace lumo::sim

#endif
