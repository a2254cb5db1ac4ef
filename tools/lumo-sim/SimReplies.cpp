#include "SimReplies.h"

#include "SimText.h"
#include "lumo.h"
#include "protocol/FrameCodec.h"

namespace lumo::sim {

using namespace lumo::protocol;

namespace {
constexpr size_t kMaxFrame = 255;
}  // namespace

double CharMicros(int baud, int data_bits, bool parity, int stop_bits) {
  if (baud <= 0) return 0;
  return (1.0 + data_bits + (parity ? 1 : 0) + stop_bits) * 1e6 / baud;
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
    code = CheckReplyFrame(p, len);
  } catch (const lumo::Exception&) {
    why = "check digits not hexadecimal";
    return false;
  }
  if (code == lumo::kReplyBadStart) why = "does not start with '@'";
  else if (code == lumo::kReplyBadEnd) why = "does not end with '*' and carriage return";
  else if (code == lumo::kReplyBadCheck) why = "check mismatch";
  if (code != lumo::kReplyValid) return false;
  if (len < 5 || len % 2 == 0) {
    why = "odd number of data characters";
    return false;
  }
  payload.clear();
  try {
    for (size_t i = 1; i + 4 < len; i += 2) payload.push_back(static_cast<uint8_t>(ParseHexField(p + i, 2)));
  } catch (const lumo::Exception&) {
    why = "data not hexadecimal";
    return false;
  }
  return true;
}

std::string FrameOfChars(const std::string& chars) {
  uint8_t check = '@';
  for (char c : chars) check ^= static_cast<uint8_t>(c);
  return "@" + chars + HexString(check, 2) + "*\r";
}

Request Classify(const std::vector<uint8_t>& payload) {
  Request r;
  r.payload = payload;
  if (payload.size() == 1 && (payload[0] == kCodeReadConfig || payload[0] == kCodeReadState)) {
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
    if (r.code == kCodeReadConfig) {
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
    if (code == kCodeScaledValue16) {
      d.insert(d.end(), {5, static_cast<uint8_t>(m.integer >> 16), static_cast<uint8_t>(m.integer >> 8),
                         static_cast<uint8_t>(m.integer)});
    } else if (code == kCodeSignedValue6) {
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
  } else if (code == kCodeParameterRead && pl.size() == 4) {
    const uint8_t p = pl[3];
    const int w = ParameterWidth(p);
    const auto it = c.params.find(p);
    const uint64_t v = it == c.params.end() ? 0 : it->second;
    d.push_back(static_cast<uint8_t>(w + 1));
    d.push_back(p);
    for (int i = w - 1; i >= 0; --i) d.push_back(static_cast<uint8_t>(v >> (8 * i)));
    a.note = "p" + std::to_string(p) + " = " + (w == 8 ? "0x" + HexString(v, 16) : std::to_string(v));
  } else if (code == kCodeParameterWrite && pl.size() >= 5 && pl.size() <= 12) {
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

}  // namespace lumo::sim
