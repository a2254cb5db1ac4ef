#include "Sim.h"

namespace lumo::sim {

void Sim::Feed(const uint8_t* data, size_t n, std::vector<Output>& out, std::vector<TraceEvent>& trace) {
  if (echo && n > 0) {
    stats.echoed += n;
    Output e;
    e.echo = true;
    e.chunks.push_back({0, std::string(reinterpret_cast<const char*>(data), n)});
    out.push_back(std::move(e));
  }
  std::vector<Piece> pieces;
  assembler_.Feed(data, n, pieces);
  for (const Piece& p : pieces) {
    if (p.kind == Piece::kNoise) {
      stats.noise += p.bytes.size();
      trace.push_back({"noise", p.bytes, -1, -1, "outside a frame"});
      continue;
    }
    std::vector<uint8_t> payload;
    std::string why = p.why;
    if (p.kind == Piece::kMalformed || !DecodeFrame(p.bytes, payload, why)) {
      ++stats.malformed;
      trace.push_back({"bad", p.bytes, -1, -1, why});
      continue;
    }
    ++stats.frames;
    history.push_back(p.bytes);
    if (history.size() > kHistory) history.pop_front();
    const Request r = Classify(payload);
    if (r.code >= 0) ++stats.by_code[r.code];
    Answer a = Respond(gauge, r);
    trace.push_back({"rx", p.bytes, r.channel, r.code, a.note});
    if (a.wrote) {
      ++stats.writes;
      if (save_on_write && !description_path.empty()) {
        std::string error;
        if (!Save(description_path, error)) trace.push_back({"info", "", r.channel, r.code, "save failed: " + error});
      }
    }
    if (!a.answered) {
      ++stats.unanswered;
      continue;
    }
    // A parameter read or write names its parameter in payload byte 3.
    const bool parameter_request =
        (r.code == protocol::kCodeParameterRead || r.code == protocol::kCodeParameterWrite) && r.payload.size() >= 4;
    const auto fault = faults.Take(r.channel, r.code, parameter_request ? r.payload[3] : -1);
    Output o;
    o.channel = r.channel;
    o.code = r.code;
    o.chunks = Shape(a.chars, fault ? &*fault : nullptr);
    if (fault) {
      ++stats.faults;
      o.note = "fault " + DescribeFault(*fault);
    }
    if (o.chunks.empty()) {
      ++stats.unanswered;
      trace.push_back({"info", "", r.channel, r.code, "silent: " + o.note});
      continue;
    }
    ++stats.replies;
    out.push_back(std::move(o));
  }
}

}  // namespace lumo::sim
