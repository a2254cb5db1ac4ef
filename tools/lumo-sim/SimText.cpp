#include "SimText.h"

#include <cctype>
#include <sstream>

#include "protocol/FrameCodec.h"

namespace lumo::sim {

namespace {
constexpr char kHexDigits[] = "0123456789ABCDEF";
}  // namespace

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

std::map<std::string, std::string> KeyValues(const std::vector<std::string>& words, size_t from) {
  std::map<std::string, std::string> kv;
  for (size_t i = from; i < words.size(); ++i) {
    const size_t eq = words[i].find('=');
    if (eq == std::string::npos) kv[Lower(words[i])] = "";
    else kv[Lower(words[i].substr(0, eq))] = words[i].substr(eq + 1);
  }
  return kv;
}

bool ParseNumber(const std::string& text, uint64_t& value, bool allow_negative) {
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

std::string HexString(uint64_t v, int digits) {
  std::string s(static_cast<size_t>(digits), '0');
  for (int i = digits - 1; i >= 0; --i, v >>= 4) s[static_cast<size_t>(i)] = kHexDigits[v & 15];
  return s;
}

std::string Hex(const std::vector<uint8_t>& data) {
  std::string s;
  for (uint8_t b : data) s += HexString(b, 2);
  return s;
}

bool ParseHexBytes(const std::string& digits, std::vector<uint8_t>& out) {
  if (digits.size() % 2 != 0) return false;
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

}  // namespace lumo::sim
