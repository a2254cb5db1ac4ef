#include "SimFaults.h"

#include <algorithm>
#include <cctype>

#include "SimDescription.h"
#include "SimReplies.h"
#include "SimText.h"

namespace lumo::sim {

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
    case FaultKind::kGarbledCheck: return "garbledcheck";
    case FaultKind::kOtherChannel: return "otherch";
  }
  return "?";
}

std::optional<FaultKind> FaultFromName(const std::string& s) {
  for (int k = 0; k <= static_cast<int>(FaultKind::kOtherChannel); ++k)
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
    error = "kind= missing (silence badcheck noise delay split truncate lowercheck long short trail garbledcheck otherch)";
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
    case FaultKind::kGarbledCheck:  // check digits that are no hexadecimal digits
      frame[len - 4] = 'G';
      frame[len - 3] = '?';
      return {{0, frame}};
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
    case FaultKind::kOtherChannel: {
      // The reply as another channel's would be, as a late reply to an
      // earlier request looks: its first data byte names channel n=.
      std::string data = chars;
      if (data.size() >= 2) data.replace(0, 2, HexString(static_cast<uint64_t>(f->n >= 0 ? f->n : 0) & 0xFF, 2));
      return {{0, FrameOfChars(data)}};
    }
    case FaultKind::kShort: {
      const size_t drop = 2 * static_cast<size_t>(f->n >= 0 ? f->n : 1);
      return {{0, FrameOfChars(chars.substr(0, chars.size() > drop ? chars.size() - drop : 0))}};
    }
  }
  return {{0, frame}};
}

}  // namespace lumo::sim
