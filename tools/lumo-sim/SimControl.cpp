// The control-command language of the simulated gauge.
#include "Sim.h"

namespace lumo::sim {

std::string Sim::LineControl(const std::string& cmd, const std::vector<std::string>& w,
                             const std::map<std::string, std::string>& kv) {
  auto number = [&](const char* key, uint64_t max, int& out) {
    return kv.count(key) != 0 && ParseSmall(kv.at(key), max, out);
  };
  LineRequest r;
  if (cmd == "vanish") {
    if (!number("ms", 600000, r.ms)) return "err vanish needs ms=0..600000";
    r.kind = LineRequest::kVanish;
  } else if (cmd == "stall") {
    if (!number("ms", 600000, r.ms)) return "err stall needs ms=0..600000";
    r.kind = LineRequest::kStall;
  } else if (cmd == "drop") {
    r.kind = LineRequest::kDrop;
  } else if (cmd == "link") {
    if (kv.count("com") && !number("com", 255, r.com)) return "err com is 1..255";
    r.kind = LineRequest::kLink;
  } else if (cmd == "unlink") {
    if (!number("com", 255, r.com) || r.com == 0) return "err unlink needs com=1..255";
    r.kind = LineRequest::kUnlink;
  } else if (cmd == "send") {
    if (w.size() != 2 || !ParseHexBytes(w[1], r.bytes) || r.bytes.empty()) return "err send needs hex bytes";
    r.kind = LineRequest::kSend;
  } else if (cmd == "recv") {
    int count = 0;
    if (!raw) return "err recv takes the bytes of a raw line (--raw, set raw=on)";
    if (!number("n", 65536, count) || count == 0 || !number("ms", 600000, r.ms))
      return "err recv needs n=1..65536 and ms=0..600000";
    r.count = static_cast<size_t>(count);
    r.kind = LineRequest::kRecv;
  } else {
    r.kind = LineRequest::kSettings;  // get line
  }
  line_request = r;
  if (cmd == "vanish" || cmd == "stall") return "ok " + cmd + " ms=" + std::to_string(r.ms);
  return "ok";
}

std::string Sim::Control(const std::string& line) {
  const auto w = Words(line);
  if (w.empty()) return "err empty command";
  const std::string cmd = Lower(w[0]);
  const auto kv = KeyValues(w, 1);
  const std::string rest = Trim(line.substr(line.find(w[0]) + w[0].size()));
  auto has = [&](const char* k) { return kv.count(k) != 0; };
  auto channel = [&](int& ch) { return has("ch") && ParseSmall(kv.at("ch"), kChannels - 1, ch); };
  auto on_off = [&](const char* k, bool& flag) {
    const std::string v = Lower(kv.at(k));
    if (v != "on" && v != "off") return std::string("err ") + k + " is on or off";
    flag = v == "on";
    return std::string("ok");
  };

  if (cmd == "ping") return "ok pong";
  if (cmd == "quit") {
    quit = true;
    return "ok bye";
  }
  if (cmd == "vanish" || cmd == "stall" || cmd == "drop" || cmd == "link" || cmd == "unlink" || cmd == "send" ||
      cmd == "recv" || (cmd == "get" && has("line")))
    return LineControl(cmd, w, kv);
  if (cmd == "fault") {
    Fault f;
    std::string error;
    if (!ParseFault(rest, f, error)) return "err " + error;
    faults.Add(f);
    return "ok " + DescribeFault(f);
  }
  if (cmd == "faults") {
    std::string s = "ok n=" + std::to_string(faults.all().size());
    for (const Fault& f : faults.all()) s += " | " + DescribeFault(f);
    return s;
  }
  if (cmd == "clear") {
    const bool all = has("all");
    if (all || has("stats")) {
      stats = Stats{};
      history.clear();
    }
    if (all || has("faults") || kv.empty()) faults.Clear();
    return "ok";
  }
  if (cmd == "stats") {
    std::string s = "ok frames=" + std::to_string(stats.frames) + " malformed=" + std::to_string(stats.malformed) +
                    " noise=" + std::to_string(stats.noise) + " replies=" + std::to_string(stats.replies) +
                    " unanswered=" + std::to_string(stats.unanswered) + " faults=" + std::to_string(stats.faults) +
                    " writes=" + std::to_string(stats.writes) + " pending=" + std::to_string(pending_chars) +
                    " echoed=" + std::to_string(stats.echoed) + " stall=" + std::to_string(stall_ms);
    for (const auto& [code, n] : stats.by_code) s += " code" + std::to_string(code) + "=" + std::to_string(n);
    return s;
  }
  if (cmd == "history") {
    std::string s = "ok n=" + std::to_string(history.size());
    for (const auto& f : history) s += " " + Printable(f.substr(0, f.size() - 1));
    return s;
  }
  if (cmd == "set" || cmd == "get") {
    const bool set = cmd == "set";
    if (set && has("state")) {
      const std::string v = kv.at("state");
      if (v.size() != 1 || !StateCharOk(v[0])) return "err state is one printable character";
      gauge.state = v[0];
      return "ok";
    }
    if (set && has("config")) {
      if (!ParseConfigBytes(kv.at("config"), gauge.config)) return "err config is hex bytes without spaces";
      return "ok";
    }
    if (set && has("header")) {
      if (!ParseReplyHeader(kv.at("header"), gauge.header)) return std::string("err ") + kHeaderHelp;
      return "ok";
    }
    if (!set && has("header")) return "ok header=" + FormatReplyHeader(gauge.header);
    if (set && has("pace")) return on_off("pace", pace);
    if (!set && has("pace")) return std::string("ok pace=") + (pace ? "on" : "off");
    if (set && has("raw")) return on_off("raw", raw);
    if (!set && has("raw")) return std::string("ok raw=") + (raw ? "on" : "off");
    if (set && has("echo")) return on_off("echo", echo);
    if (!set && has("echo")) return std::string("ok echo=") + (echo ? "on" : "off");
    if (!set && has("stall")) return "ok stall=" + std::to_string(stall_ms);
    if (!set && has("state")) return std::string("ok state=") + gauge.state;
    if (!set && has("config")) return "ok config=" + Hex(gauge.config);
    int ch = 0;
    if (!has("ch")) return "err ch= missing (a channel 0..31)";
    if (!channel(ch)) return "err ch=" + kv.at("ch") + " is not a channel: 0..31";
    Channel& c = gauge.channels[static_cast<size_t>(ch)];
    if (has("code")) {
      int code = 0;
      if (!ParseSmall(kv.at("code"), 255, code) || MeasureIndex(code) < 0) return "err code is 4, 5, 6, 8 or 16";
      Measurement& m = c.measure[static_cast<size_t>(MeasureIndex(code))];
      if (!set)
        return "ok int=" + std::string(code == protocol::kCodeSignedValue6 && m.negative ? "-" : "") +
               std::to_string(m.integer) + " tenths=" + std::to_string(m.tenths) + " status=" + std::to_string(m.status);
      if (!has("int") || !has("tenths")) return "err int= and tenths= needed";
      std::string error;
      Measurement nm;
      if (!ParseMeasurement(code, kv.at("int") + " " + kv.at("tenths") + " " + (has("status") ? kv.at("status") : "0"),
                            nm, error))
        return "err " + error;
      m = nm;
      c.described = true;
      return "ok";
    }
    if (has("param")) {
      int p = 0;
      if (!ParseSmall(kv.at("param"), 255, p)) return "err param is 0..255";
      const auto pp = static_cast<uint8_t>(p);
      if (!set) {
        const auto it = c.params.find(pp);
        const uint64_t v = it == c.params.end() ? 0 : it->second;
        return "ok value=" + std::to_string(v) + " hex=" + HexString(v, 2 * protocol::ParameterWidth(pp));
      }
      std::string error;
      if (!has("value") || !ParseChannelKey(c, "p" + std::to_string(p), kv.at("value"), error))
        return "err " + (error.empty() ? std::string("value= needed") : error);
      c.described = true;
      return "ok";
    }
    if (has("program")) {
      if (!set) return "ok program=" + HexString(c.program, 8);
      std::string error;
      if (!ParseChannelKey(c, "program", kv.at("program"), error)) return "err " + error;
      c.described = true;
      return "ok";
    }
    return "err need code=, param= or program=";
  }
  if (cmd == "save") {
    const std::string path = w.size() > 1 ? w[1] : description_path;
    if (path.empty()) return "err no description file: save PATH";
    std::string error;
    if (!Save(path, error)) return "err " + error;
    return "ok saved " + path;
  }
  return "err unknown command '" + cmd +
         "' (ping fault faults clear stats history set get save vanish stall drop link unlink send recv quit)";
}

}  // namespace lumo::sim
