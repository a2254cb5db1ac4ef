#include "SimCore.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "lumo.h"
#include "protocol/FrameCodec.h"

namespace lumo::sim {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr size_t kMaxFrame = 255;
constexpr char kHeaderHelp[] = "header is repeat, highbit, random or 4 hex digits";

std::string Trim(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  const size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::vector<std::string> Words(const std::string& s) {
  std::istringstream in(s);
  std::vector<std::string> w;
  std::string t;
  while (in >> t) w.push_back(t);
  return w;
}

// Decimal or 0x-prefixed hexadecimal, up to 64 bits; a leading '-' only when
// allowed (two's complement).
bool ParseNumber(const std::string& text, uint64_t& value, bool allow_negative = false) {
  std::string s = Trim(text);
  bool neg = false;
  if (!s.empty() && s[0] == '-') {
    if (!allow_negative) return false;
    neg = true;
    s = s.substr(1);
  }
  if (s.empty()) return false;
  uint64_t v = 0;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    if (s.size() > 18) return false;
    for (size_t i = 2; i < s.size(); ++i) {
      const int d = protocol::HexDigitValue(static_cast<uint8_t>(s[i]));
      if (d < 0) return false;
      v = (v << 4) | static_cast<uint64_t>(d);
    }
  } else {
    for (char c : s) {
      if (c < '0' || c > '9') return false;
      const uint64_t d = static_cast<uint64_t>(c - '0');
      if (v > (UINT64_MAX - d) / 10) return false;
      v = v * 10 + d;
    }
  }
  value = neg ? ~v + 1 : v;
  return true;
}

bool ParseSmall(const std::string& text, uint64_t max, int& out) {
  uint64_t v = 0;
  if (!ParseNumber(text, v) || v > max) return false;
  out = static_cast<int>(v);
  return true;
}

uint32_t MaxInteger(int code) { return code == 16 ? 0xFFFFFF : code == 6 ? 0xFF : 0xFFFF; }

std::string HexString(uint64_t v, int digits) {
  std::string s(static_cast<size_t>(digits), '0');
  for (int i = digits - 1; i >= 0; --i, v >>= 4) s[static_cast<size_t>(i)] = kHexDigits[v & 15];
  return s;
}

std::string FormatMeasurement(int code, const Measurement& m) {
  std::string s = (code == 6 && m.negative) ? "-" : "";
  return s + std::to_string(m.integer) + " " + std::to_string(m.tenths) + " " + std::to_string(m.status);
}

// key=value words; bare words map to "".
std::map<std::string, std::string> KeyValues(const std::vector<std::string>& words, size_t from) {
  std::map<std::string, std::string> kv;
  for (size_t i = from; i < words.size(); ++i) {
    const size_t eq = words[i].find('=');
    if (eq == std::string::npos) kv[Lower(words[i])] = "";
    else kv[Lower(words[i].substr(0, eq))] = words[i].substr(eq + 1);
  }
  return kv;
}

}  // namespace

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

double CharMicros(int baud, int data_bits, bool parity, int stop_bits) {
  if (baud <= 0) return 0;
  return (1.0 + data_bits + (parity ? 1 : 0) + stop_bits) * 1e6 / baud;
}

int ParamWidth(uint8_t param) { return param >= 129 && param <= 143 ? 8 : 2; }

int MeasureIndex(int code) {
  for (size_t i = 0; i < kMeasureCodes.size(); ++i)
    if (kMeasureCodes[i] == code) return static_cast<int>(i);
  return -1;
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
    if (code != 6) {
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

namespace {

bool ParseConfigBytes(const std::string& text, std::vector<uint8_t>& out) {
  std::string digits;
  for (char c : text)
    if (c != ' ' && c != '\t') digits += c;
  if (digits.size() % 2 != 0 || digits.size() > 2 * 120) return false;
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < digits.size(); i += 2) {
    const int hi = protocol::HexDigitValue(static_cast<uint8_t>(digits[i]));
    const int lo = protocol::HexDigitValue(static_cast<uint8_t>(digits[i + 1]));
    if (hi < 0 || lo < 0) return false;
    bytes.push_back(static_cast<uint8_t>(hi * 16 + lo));
  }
  out = bytes;
  return true;
}

bool StateCharOk(char c) { return c > 0x20 && c < 0x7F && c != '@' && c != '*'; }

// Applies one "key = value" of a channel section.
bool ChannelKey(Channel& c, const std::string& key, const std::string& value, std::string& error) {
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
    const bool wide = ParamWidth(static_cast<uint8_t>(p)) == 8;
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

}  // namespace

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
      if (!ChannelKey(g.channels[static_cast<size_t>(channel)], key, value, why)) return fail(why);
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
      if (ParamWidth(p) == 8) o << "0x" << HexString(v, 16) << "\n";
      else o << v << "\n";
    }
  }
  return o.str();
}

void FrameAssembler::Feed(const uint8_t* data, size_t n, std::vector<Piece>& out) {
  auto flush_noise = [&] {
    if (!noise_.empty()) out.push_back({Piece::kNoise, noise_, ""});
    noise_.clear();
  };
  for (size_t i = 0; i < n; ++i) {
    const char c = static_cast<char>(data[i]);
    if (c == '@') {
      flush_noise();
      if (collecting_) out.push_back({Piece::kMalformed, buf_, "interrupted by '@'"});
      buf_.assign(1, c);
      collecting_ = true;
      continue;
    }
    if (!collecting_) {
      noise_ += c;
      continue;
    }
    buf_ += c;
    if (c == '\r') {
      out.push_back({Piece::kFrame, buf_, ""});
      buf_.clear();
      collecting_ = false;
    } else if (buf_.size() >= kMaxFrame) {
      out.push_back({Piece::kMalformed, buf_, "longer than 255 characters"});
      buf_.clear();
      collecting_ = false;
    }
  }
  flush_noise();
}

bool DecodeFrame(const std::string& frame, std::vector<uint8_t>& payload, std::string& why) {
  const auto* p = reinterpret_cast<const uint8_t*>(frame.data());
  const size_t len = frame.size();
  uint32_t code = 0;
  try {
    code = protocol::CheckReplyFrame(p, len);
  } catch (const lumo::Exception&) {
    why = "check digits not hexadecimal";
    return false;
  }
  if (code == 223) why = "does not start with '@'";
  else if (code == 209) why = "does not end with '*' and carriage return";
  else if (code == 222) why = "check mismatch";
  if (code != 0) return false;
  if (len < 5 || len % 2 == 0) {
    why = "odd number of data characters";
    return false;
  }
  payload.clear();
  try {
    for (size_t i = 1; i + 4 < len; i += 2) payload.push_back(static_cast<uint8_t>(protocol::ParseHexField(p + i, 2)));
  } catch (const lumo::Exception&) {
    why = "data not hexadecimal";
    return false;
  }
  return true;
}

std::string Hex(const std::vector<uint8_t>& data) {
  std::string s;
  for (uint8_t b : data) s += HexString(b, 2);
  return s;
}

std::string FrameOfChars(const std::string& chars) {
  uint8_t check = '@';
  for (char c : chars) check ^= static_cast<uint8_t>(c);
  return "@" + chars + HexString(check, 2) + "*\r";
}

Request Classify(const std::vector<uint8_t>& payload) {
  Request r;
  r.payload = payload;
  if (payload.size() == 1 && (payload[0] == kCodeConfig || payload[0] == kCodeState)) {
    r.code = payload[0];
  } else if (payload.size() >= 3 && payload[2] == payload.size() - 3) {
    r.channel = payload[0];
    r.code = payload[1];
  }
  return r;
}

Answer Respond(Gauge& g, const Request& r) {
  Answer a;
  if (r.code < 0) {
    a.note = "not a request";
    return a;
  }
  if (r.channel < 0) {
    if (r.code == kCodeConfig) {
      a.chars = Hex(g.config);
      a.note = "configuration block";
    } else {
      a.chars = std::string(1, g.state) + "0";
      a.note = std::string("state '") + g.state + "'";
    }
    a.answered = true;
    return a;
  }
  if (r.channel >= kChannels) {
    a.note = "no such channel";
    return a;
  }
  Channel& c = g.channels[static_cast<size_t>(r.channel)];
  if (!c.described && g.silent_undescribed) {
    a.note = "channel not described";
    return a;
  }
  const uint8_t ch = static_cast<uint8_t>(r.channel);
  const uint8_t code = static_cast<uint8_t>(r.code);
  const auto& pl = r.payload;
  std::vector<uint8_t> d = {ch, code};
  const int mi = MeasureIndex(r.code);
  if (mi >= 0 && pl.size() == 3) {
    const Measurement& m = c.measure[static_cast<size_t>(mi)];
    if (code == 16) {
      d.insert(d.end(), {5, static_cast<uint8_t>(m.integer >> 16), static_cast<uint8_t>(m.integer >> 8),
                         static_cast<uint8_t>(m.integer)});
    } else if (code == 6) {
      d.insert(d.end(), {4, static_cast<uint8_t>(m.negative ? 0x80 : 0), static_cast<uint8_t>(m.integer)});
    } else {
      d.insert(d.end(), {4, static_cast<uint8_t>(m.integer >> 8), static_cast<uint8_t>(m.integer)});
    }
    d.push_back(m.tenths);
    d.push_back(m.status);
    a.note = "m" + std::to_string(r.code) + " " + FormatMeasurement(r.code, m);
  } else if (code == kCodeProgram && pl.size() == 3) {
    d.insert(d.end(), {5, static_cast<uint8_t>(c.program >> 24), static_cast<uint8_t>(c.program >> 16),
                       static_cast<uint8_t>(c.program >> 8), static_cast<uint8_t>(c.program), 0});
    a.note = "program " + HexString(c.program, 8);
  } else if (code == kCodeParamRead && pl.size() == 4) {
    const uint8_t p = pl[3];
    const int w = ParamWidth(p);
    const auto it = c.params.find(p);
    const uint64_t v = it == c.params.end() ? 0 : it->second;
    d.push_back(static_cast<uint8_t>(w + 1));
    d.push_back(p);
    for (int i = w - 1; i >= 0; --i) d.push_back(static_cast<uint8_t>(v >> (8 * i)));
    a.note = "p" + std::to_string(p) + " = " + (w == 8 ? "0x" + HexString(v, 16) : std::to_string(v));
  } else if (code == kCodeParamWrite && pl.size() >= 5 && pl.size() <= 12) {
    const uint8_t p = pl[3];
    uint64_t v = 0;
    for (size_t i = 4; i < pl.size(); ++i) v = (v << 8) | pl[i];
    c.params[p] = v;
    c.described = true;  // so that a save keeps the write
    a.wrote = true;
    d.insert(d.end(), {1, p});
    a.note = "p" + std::to_string(p) + " := " + (pl.size() > 6 ? "0x" + HexString(v, 16) : std::to_string(v));
  } else {
    a.note = "unknown request";
    return a;
  }
  switch (g.header.kind) {
    case ReplyHeader::kConstant:
      d[0] = static_cast<uint8_t>(g.header.constant >> 8);
      d[1] = static_cast<uint8_t>(g.header.constant);
      break;
    case ReplyHeader::kHighBit: d[1] = static_cast<uint8_t>(code | 0x80); break;
    case ReplyHeader::kRandom:
      for (int i = 0; i < 2; ++i) {
        uint32_t& x = g.header_random;
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        d[static_cast<size_t>(i)] = static_cast<uint8_t>(x >> 24);
      }
      break;
    default: break;
  }
  a.chars = Hex(d);
  a.answered = true;
  return a;
}

const char* FaultName(FaultKind k) {
  switch (k) {
    case FaultKind::kSilence: return "silence";
    case FaultKind::kBadCheck: return "badcheck";
    case FaultKind::kNoise: return "noise";
    case FaultKind::kDelay: return "delay";
    case FaultKind::kSplit: return "split";
    case FaultKind::kTruncate: return "truncate";
    case FaultKind::kLowerCheck: return "lowercheck";
    case FaultKind::kLong: return "long";
    case FaultKind::kShort: return "short";
    case FaultKind::kTrail: return "trail";
  }
  return "?";
}

std::optional<FaultKind> FaultFromName(const std::string& s) {
  for (int k = 0; k <= static_cast<int>(FaultKind::kTrail); ++k)
    if (s == FaultName(static_cast<FaultKind>(k))) return static_cast<FaultKind>(k);
  return std::nullopt;
}

bool ParseFault(const std::string& text, Fault& out, std::string& error) {
  Fault f;
  bool have_kind = false;
  for (const auto& [k, v] : KeyValues(Words(text), 0)) {
    bool ok = true;
    if (k == "ch") ok = ParseSmall(v, kChannels - 1, f.channel);  // a fault that could never match is refused
    else if (k == "code") ok = ParseSmall(v, 255, f.code);
    else if (k == "param") ok = ParseSmall(v, 255, f.param);
    else if (k == "count") ok = ParseSmall(v, 1000000, f.count);
    else if (k == "persist") f.count = 0;
    else if (k == "ms") ok = ParseSmall(v, 60000, f.ms);
    else if (k == "n") ok = ParseSmall(v, 1000, f.n);
    else if (k == "chars") ok = ParseSmall(v, 4096, f.chars);
    else if (k == "kind") {
      const auto kind = FaultFromName(Lower(v));
      ok = kind.has_value();
      if (ok) f.kind = *kind;
      have_kind = ok;
    } else {
      error = "unknown fault key '" + k + "'";
      return false;
    }
    if (!ok) {
      error = "bad value for '" + k + "'";
      return false;
    }
  }
  if (!have_kind) {
    error = "kind= missing (silence badcheck noise delay split truncate lowercheck long short)";
    return false;
  }
  out = f;
  return true;
}

std::string DescribeFault(const Fault& f) {
  std::string s = "kind=" + std::string(FaultName(f.kind));
  if (f.channel >= 0) s += " ch=" + std::to_string(f.channel);
  if (f.code >= 0) s += " code=" + std::to_string(f.code);
  if (f.param >= 0) s += " param=" + std::to_string(f.param);
  s += f.count == 0 ? " persist" : " count=" + std::to_string(f.count);
  if (f.ms >= 0) s += " ms=" + std::to_string(f.ms);
  if (f.n >= 0) s += " n=" + std::to_string(f.n);
  if (f.chars >= 0) s += " chars=" + std::to_string(f.chars);
  return s;
}

std::optional<Fault> FaultTable::Take(int channel, int code, int param) {
  for (auto it = faults_.begin(); it != faults_.end(); ++it) {
    if ((it->channel >= 0 && it->channel != channel) || (it->code >= 0 && it->code != code) ||
        (it->param >= 0 && it->param != param))
      continue;
    const Fault f = *it;
    if (it->count > 0 && --it->count == 0) faults_.erase(it);
    return f;
  }
  return std::nullopt;
}

// Seven bytes that are neither '@' nor a carriage return.
constexpr char kNoiseBytes[] = "\x00\xFF#~?Z ";

std::vector<Chunk> Shape(const std::string& chars, const Fault* f) {
  std::string frame = FrameOfChars(chars);
  if (f == nullptr) return {{0, frame}};
  const size_t len = frame.size();
  switch (f->kind) {
    case FaultKind::kSilence:
      return {};
    case FaultKind::kBadCheck:
      frame[len - 4] = frame[len - 4] == '0' ? '1' : '0';
      return {{0, frame}};
    case FaultKind::kNoise:
      return {{0, std::string(kNoiseBytes, 7) + frame}};
    case FaultKind::kTrail:
      return {{0, frame + std::string(kNoiseBytes, 7)}};
    case FaultKind::kDelay:
      return {{f->ms >= 0 ? f->ms : 260, frame}};
    case FaultKind::kSplit: {
      const size_t first = f->n >= 0 ? std::min<size_t>(static_cast<size_t>(f->n), len) : len / 2;
      return {{0, frame.substr(0, first)}, {f->ms >= 0 ? f->ms : 250, frame.substr(first)}};
    }
    case FaultKind::kTruncate: {
      const size_t keep = f->n >= 0 ? std::min<size_t>(static_cast<size_t>(f->n), len) : len / 2;
      return {{0, frame.substr(0, keep)}};
    }
    case FaultKind::kLowerCheck:
      for (size_t i = len - 4; i < len - 2; ++i)
        frame[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(frame[i])));
      return {{0, frame}};
    case FaultKind::kLong: {
      if (f->chars >= 0) {
        const size_t want = static_cast<size_t>(f->chars);
        if (want < len) return {{0, frame.substr(0, want)}};
        std::string data = chars;
        while (data.size() + 5 + 2 <= want) data += "A5";
        frame = FrameOfChars(data);
        frame.append(want - frame.size(), '0');
        return {{0, frame}};
      }
      std::string data = chars;
      for (int i = 0; i < (f->n >= 0 ? f->n : 4); ++i) data += "A5";
      return {{0, FrameOfChars(data)}};
    }
    case FaultKind::kShort: {
      const size_t drop = 2 * static_cast<size_t>(f->n >= 0 ? f->n : 1);
      return {{0, FrameOfChars(chars.substr(0, chars.size() > drop ? chars.size() - drop : 0))}};
    }
  }
  return {{0, frame}};
}

std::string Printable(const std::string& bytes) {
  std::string s;
  for (char ch : bytes) {
    const auto c = static_cast<uint8_t>(ch);
    if (c == '\r') s += "\\r";
    else if (c == '\n') s += "\\n";
    else if (c == '\\') s += "\\\\";
    else if (c >= 0x20 && c < 0x7F) s += ch;
    else s += std::string("\\x") + kHexDigits[c >> 4] + kHexDigits[c & 15];
  }
  return s;
}

void Sim::Feed(const uint8_t* data, size_t n, std::vector<Output>& out, std::vector<TraceEvent>& trace) {
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
    const bool parameter_request = (r.code == kCodeParamRead || r.code == kCodeParamWrite) && r.payload.size() >= 4;
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

bool Sim::Save(const std::string& path, std::string& error) const {
  const std::string tmp = path + ".tmp";
  {
    std::ofstream f(tmp, std::ios::trunc);
    f << FormatDescription(gauge);
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

std::string Sim::Control(const std::string& line) {
  const auto w = Words(line);
  if (w.empty()) return "err empty command";
  const std::string cmd = Lower(w[0]);
  const auto kv = KeyValues(w, 1);
  const std::string rest = Trim(line.substr(line.find(w[0]) + w[0].size()));
  auto has = [&](const char* k) { return kv.count(k) != 0; };
  auto channel = [&](int& ch) { return has("ch") && ParseSmall(kv.at("ch"), kChannels - 1, ch); };

  if (cmd == "ping") return "ok pong";
  if (cmd == "quit") {
    quit = true;
    return "ok bye";
  }
  if (cmd == "vanish") {
    int ms = 0;
    if (!has("ms") || !ParseSmall(kv.at("ms"), 600000, ms)) return "err vanish needs ms=0..600000";
    vanish_ms = ms;
    return "ok vanish ms=" + std::to_string(ms);
  }
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
                    " writes=" + std::to_string(stats.writes);
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
    if (set && has("pace")) {
      const std::string v = Lower(kv.at("pace"));
      if (v != "on" && v != "off") return "err pace is on or off";
      pace = v == "on";
      return "ok";
    }
    if (!set && has("pace")) return std::string("ok pace=") + (pace ? "on" : "off");
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
        return "ok int=" + std::string(code == 6 && m.negative ? "-" : "") + std::to_string(m.integer) +
               " tenths=" + std::to_string(m.tenths) + " status=" + std::to_string(m.status);
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
        return "ok value=" + std::to_string(v) + " hex=" + HexString(v, 2 * ParamWidth(pp));
      }
      std::string error;
      if (!has("value") || !ChannelKey(c, "p" + std::to_string(p), kv.at("value"), error))
        return "err " + (error.empty() ? std::string("value= needed") : error);
      c.described = true;
      return "ok";
    }
    if (has("program")) {
      if (!set) return "ok program=" + HexString(c.program, 8);
      std::string error;
      if (!ChannelKey(c, "program", kv.at("program"), error)) return "err " + error;
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
  return "err unknown command '" + cmd + "' (ping fault faults clear stats history set get save vanish quit)";
}

}  // namespace lumo::sim
