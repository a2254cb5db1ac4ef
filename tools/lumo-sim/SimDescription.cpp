#include "SimDescription.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "SimText.h"
#include "protocol/FrameCodec.h"

namespace lumo::sim {

namespace {
uint32_t MaxInteger(int code) {
  return code == protocol::kCodeScaledValue16 ? 0xFFFFFF : code == protocol::kCodeSignedValue6 ? 0xFF : 0xFFFF;
}
}  // namespace

int MeasureIndex(int code) {
  for (size_t i = 0; i < kMeasureCodes.size(); ++i)
    if (kMeasureCodes[i] == code) return static_cast<int>(i);
  return -1;
}

bool ParseReplyHeader(const std::string& text, ReplyHeader& out) {
  const std::string t = Lower(Trim(text));
  if (t == "repeat") out = {ReplyHeader::kRepeat, 0};
  else if (t == "highbit") out = {ReplyHeader::kHighBit, 0};
  else if (t == "random") out = {ReplyHeader::kRandom, 0};
  else if (t.size() == 4 && std::all_of(t.begin(), t.end(), [](char c) {
             return protocol::HexDigitValue(static_cast<uint8_t>(c)) >= 0;
           }))
    out = {ReplyHeader::kConstant, static_cast<uint16_t>(std::stoul(t, nullptr, 16))};
  else
    return false;
  return true;
}

std::string FormatReplyHeader(const ReplyHeader& h) {
  switch (h.kind) {
    case ReplyHeader::kHighBit: return "highbit";
    case ReplyHeader::kRandom: return "random";
    case ReplyHeader::kConstant: return HexString(h.constant, 4);
    default: return "repeat";
  }
}

Channel DefaultChannel(int ch) {
  Channel c;
  const uint32_t u = static_cast<uint32_t>(ch);
  c.measure[0] = {false, 1000 + 10 * u, 5, 0};          // code 4
  c.measure[1] = {false, 12 + u, 5, 0};                 // code 5
  c.measure[2] = {ch % 2 == 1, 20 + u, 3, 0};           // code 6
  c.measure[3] = {false, 2500 + 100 * u, 0, 0};         // code 8
  c.measure[4] = {false, 1000000 + 1000 * u, 0, 0};     // code 16
  c.program = 0x0102A000u + u;
  for (int i = 1; i <= 11; ++i) {
    c.params[static_cast<uint8_t>(i)] = static_cast<uint64_t>(500 * i);
    c.params[static_cast<uint8_t>(128 + i)] = 0x2800000000000000ull | (uint64_t{u} << 8) | static_cast<uint64_t>(i);
  }
  return c;
}

const char* EmbeddedDescription() {
  return R"(# Lumo simulated gauge: embedded default description.
[gauge]
state = 0
config = 11 08 00 20 01 00 00 00
undescribed = answer

[channel 0]
m4 = 250 5 0
m5 = 12 5 0
m6 = -5 3 0
m8 = 65535 255 0
m16 = 1000000 0 0
program = 0102A0FF
p1 = 2700

[channel 1]
m4 = 1234 0 0
m5 = 13 5 0
m6 = 5 0 0
m8 = 4500 0 0
m16 = 12345678 9 0

[channel 2]
m4 = 480 7 1
m5 = 7 6 1
m6 = 0 255 2
m8 = 100 0 16
m16 = 0 0 16
)";
}

bool ParseMeasurement(int code, const std::string& text, Measurement& m, std::string& error) {
  const auto w = Words(text);
  if (w.size() < 2 || w.size() > 3) {
    error = "expected INT TENTHS [STATUS]";
    return false;
  }
  Measurement r;
  std::string integer = w[0];
  if (!integer.empty() && integer[0] == '-') {
    if (code != protocol::kCodeSignedValue6) {
      error = "only m6 takes a sign";
      return false;
    }
    r.negative = true;
    integer = integer.substr(1);
  }
  int v = 0;
  if (!ParseSmall(integer, MaxInteger(code), v)) {
    error = "integer part out of range (max " + std::to_string(MaxInteger(code)) + ")";
    return false;
  }
  r.integer = static_cast<uint32_t>(v);
  int t = 0, st = 0;
  if (!ParseSmall(w[1], 255, t) || (w.size() == 3 && !ParseSmall(w[2], 255, st))) {
    error = "tenths and status are bytes 0..255";
    return false;
  }
  r.tenths = static_cast<uint8_t>(t);
  r.status = static_cast<uint8_t>(st);
  m = r;
  return true;
}

std::string FormatMeasurement(int code, const Measurement& m) {
  std::string s = (code == protocol::kCodeSignedValue6 && m.negative) ? "-" : "";
  return s + std::to_string(m.integer) + " " + std::to_string(m.tenths) + " " + std::to_string(m.status);
}

bool ParseConfigBytes(const std::string& text, std::vector<uint8_t>& out) {
  std::string digits;
  for (char c : text)
    if (c != ' ' && c != '\t') digits += c;
  return digits.size() <= 2 * 120 && ParseHexBytes(digits, out);
}

bool StateCharOk(char c) { return c > 0x20 && c < 0x7F && c != '@' && c != '*'; }

bool ParseChannelKey(Channel& c, const std::string& key, const std::string& value, std::string& error) {
  if (key.size() > 1 && key[0] == 'm') {
    int code = 0;
    if (!ParseSmall(key.substr(1), 255, code) || MeasureIndex(code) < 0) {
      error = "unknown measurement '" + key + "' (m4, m5, m6, m8, m16)";
      return false;
    }
    return ParseMeasurement(code, value, c.measure[static_cast<size_t>(MeasureIndex(code))], error);
  }
  if (key == "program") {
    uint64_t v = 0;
    if (value.size() != 8 || !ParseNumber("0x" + value, v)) {
      error = "program is 8 hex digits";
      return false;
    }
    c.program = static_cast<uint32_t>(v);
    return true;
  }
  if (key.size() > 1 && key[0] == 'p') {
    int p = 0;
    uint64_t v = 0;
    if (!ParseSmall(key.substr(1), 255, p)) {
      error = "parameter number is 0..255";
      return false;
    }
    const bool wide = protocol::ParameterWidth(static_cast<uint8_t>(p)) == 8;
    if (!ParseNumber(value, v, wide) || (!wide && v > 0xFFFF)) {
      error = wide ? "bad 64-bit value" : "2-byte parameter value is 0..65535";
      return false;
    }
    c.params[static_cast<uint8_t>(p)] = v;
    return true;
  }
  error = "unknown key '" + key + "'";
  return false;
}

bool ParseDescription(const std::string& text, Gauge& g, std::string& error) {
  std::istringstream in(text);
  std::string raw;
  int line_no = 0;
  int channel = -2;  // -2 before any section, -1 [gauge]
  auto fail = [&](const std::string& what) {
    error = "line " + std::to_string(line_no) + ": " + what;
    return false;
  };
  while (std::getline(in, raw)) {
    ++line_no;
    const size_t hash = raw.find('#');
    const std::string line = Trim(hash == std::string::npos ? raw : raw.substr(0, hash));
    if (line.empty()) continue;
    if (line.front() == '[') {
      if (line.back() != ']') return fail("unclosed section");
      const auto w = Words(Lower(line.substr(1, line.size() - 2)));
      if (w.size() == 1 && w[0] == "gauge") {
        channel = -1;
      } else if (w.size() == 2 && w[0] == "channel" && ParseSmall(w[1], kChannels - 1, channel)) {
        g.channels[static_cast<size_t>(channel)].described = true;
      } else {
        return fail("section is [gauge] or [channel N], N 0..31");
      }
      continue;
    }
    const size_t eq = line.find('=');
    if (eq == std::string::npos) return fail("expected key = value");
    const std::string key = Lower(Trim(line.substr(0, eq)));
    const std::string value = Trim(line.substr(eq + 1));
    if (channel == -2) return fail("key outside a section");
    if (channel >= 0) {
      std::string why;
      if (!ParseChannelKey(g.channels[static_cast<size_t>(channel)], key, value, why)) return fail(why);
      continue;
    }
    if (key == "state") {
      if (value.size() != 1 || !StateCharOk(value[0])) return fail("state is one printable character, not '@' or '*'");
      g.state = value[0];
    } else if (key == "config") {
      if (!ParseConfigBytes(value, g.config)) return fail("config is hex bytes");
    } else if (key == "undescribed") {
      if (value != "answer" && value != "silent") return fail("undescribed is answer or silent");
      g.silent_undescribed = value == "silent";
    } else if (key == "turnaround") {
      if (!ParseSmall(value, 60000, g.turnaround_ms)) return fail("turnaround is milliseconds, 0..60000");
    } else if (key == "header") {
      if (!ParseReplyHeader(value, g.header)) return fail(kHeaderHelp);
    } else {
      return fail("unknown key '" + key + "'");
    }
  }
  return true;
}

Gauge DefaultGauge() {
  Gauge g;
  for (int ch = 0; ch < kChannels; ++ch) g.channels[static_cast<size_t>(ch)] = DefaultChannel(ch);
  std::string error;
  ParseDescription(EmbeddedDescription(), g, error);
  return g;
}

std::string FormatDescription(const Gauge& g) {
  std::ostringstream o;
  o << "# Lumo simulated gauge description\n[gauge]\nstate = " << g.state << "\nconfig =";
  for (uint8_t b : g.config) o << ' ' << HexString(b, 2);
  o << "\nundescribed = " << (g.silent_undescribed ? "silent" : "answer")
    << "\nheader = " << FormatReplyHeader(g.header) << "\nturnaround = " << g.turnaround_ms << "\n";
  for (int ch = 0; ch < kChannels; ++ch) {
    const Channel& c = g.channels[static_cast<size_t>(ch)];
    if (!c.described) continue;
    o << "\n[channel " << ch << "]\n";
    for (size_t i = 0; i < kMeasureCodes.size(); ++i)
      o << 'm' << int{kMeasureCodes[i]} << " = " << FormatMeasurement(kMeasureCodes[i], c.measure[i]) << "\n";
    o << "program = " << HexString(c.program, 8) << "\n";
    for (const auto& [p, v] : c.params) {
      o << 'p' << int{p} << " = ";
      if (protocol::ParameterWidth(p) == 8) o << "0x" << HexString(v, 16) << "\n";
      else o << v << "\n";
    }
  }
  return o.str();
}

bool SaveDescription(const Gauge& g, const std::string& path, std::string& error) {
  const std::string tmp = path + ".tmp";
  {
    std::ofstream f(tmp, std::ios::trunc);
    f << FormatDescription(g);
    f.flush();
    if (!f) {
      error = "cannot write " + tmp;
      return false;
    }
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    error = "cannot replace " + path;
    std::remove(tmp.c_str());
    return false;
  }
  return true;
}

}  // namespace lumo::sim
