#include "protocol/ReplyHeaderConvention.h"

#include <cstring>

namespace lumo::protocol {

namespace {
// A channel request's frame: '@', channel, code, count, ... (11 characters
// or more); its header is characters 1 to 4.
constexpr size_t kChannelRequestLength = 11;
constexpr size_t kHeaderFirst = 1;
constexpr size_t kHeaderChars = 4;

uint8_t Upper(uint8_t c) { return c >= 'a' && c <= 'z' ? static_cast<uint8_t>(c - 32) : c; }
}  // namespace

void ReplyHeaderConvention::Forget() {
  learned_ = false;
  streak_ = 0;
  pairs_vary_ = false;
  refusals_ = 0;
}

bool ReplyHeaderConvention::Take(const uint8_t* reply, size_t received, const char* request,
                                 size_t request_length) {
  if (request_length < kChannelRequestLength || received < kHeaderFirst + kHeaderChars + 4)
    return true;
  if (dropped_in_attempt_) return false;
  uint8_t pair[kHeaderChars];
  bool repeats = true;
  for (size_t i = 0; i < kHeaderChars; ++i) {
    pair[i] = Upper(static_cast<uint8_t>(request[kHeaderFirst + i]));
    if (Upper(reply[kHeaderFirst + i]) != pair[i]) repeats = false;
  }
  if (!learned_) {
    if (!repeats) {
      streak_ = 0;
      pairs_vary_ = false;
      return true;
    }
    if (streak_ == 0) std::memcpy(first_pair_, pair, sizeof pair);
    else if (std::memcmp(first_pair_, pair, sizeof pair) != 0) pairs_vary_ = true;
    if (++streak_ >= kLearnAfter && pairs_vary_) learned_ = true;
    return true;
  }
  if (repeats) {
    refusals_ = 0;
    return true;
  }
  if (!refusal_counted_) {
    refusal_counted_ = true;
    ++refusals_;
  }
  // The gauge no longer repeats (replaced, or set up anew): the next request
  // reads it. This reply may still be another request's: it is not taken.
  if (refusals_ >= kDropAfter) {
    Forget();
    dropped_in_attempt_ = true;
  }
  return false;
}

}  // namespace lumo::protocol
