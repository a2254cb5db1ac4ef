// What a gauge puts in the first two bytes of its replies to channel requests
// (characters 1 to 4), learned from the gauge itself. Those bytes are the
// gauge's business: many gauges repeat the request's channel and code there,
// others send their own address, a constant, or the code with bit 7 set.
//
// Every valid reply is taken until this gauge has shown that it repeats the
// request. Only then is a valid reply that names another channel or code
// refused, as the late reply to an earlier request (it would hand the caller
// another request's value). A refused reply is never taken: after three
// refusals in a row the convention is dropped (the gauge may have been
// replaced by one that does not repeat), the third is refused all the same,
// and the next request reads whatever gauge is there. A line that keeps
// delivering other requests' replies (two gauges on one bus) thus costs
// requests but never hands the host a wrong value; a gauge that never
// repeated never loses a request to this check.
//
// Plain C++: builds natively too.
#ifndef LUMO_PROTOCOL_REPLYHEADERCONVENTION_H
#define LUMO_PROTOCOL_REPLYHEADERCONVENTION_H

#include <cstddef>
#include <cstdint>

namespace lumo::protocol {

class ReplyHeaderConvention {
 public:
  // Consecutive valid replies that repeat their request, over at least two
  // different (channel, code) pairs, before the convention counts as shown.
  // A constant header can repeat only one pair, so it is never learned.
  static constexpr int kLearnAfter = 8;
  // Consecutive attempts whose valid reply does not repeat its request after
  // which the convention is dropped; that reply is still refused.
  static constexpr int kDropAfter = 3;

  // Called once per attempt, before its reply is judged.
  void BeginAttempt() {
    refusal_counted_ = false;
    dropped_in_attempt_ = false;
  }

  // A valid reply (framing and check passed) of `received` characters to the
  // request frame of `request_length` characters. True: take it. False: it
  // answers another request. Whole-gauge requests carry no channel and are
  // always taken; so is a reply too short to carry a header. A reply judged
  // again within one attempt counts once as a refusal.
  bool Take(const uint8_t* reply, size_t received, const char* request, size_t request_length);

  bool Learned() const { return learned_; }
  void Forget();

 private:
  bool learned_ = false;
  int streak_ = 0;  // consecutive repeating replies while learning
  uint8_t first_pair_[4] = {};
  bool pairs_vary_ = false;
  int refusals_ = 0;  // consecutive attempts refused while learned
  bool refusal_counted_ = false;
  // The attempt whose refusal dropped the convention refuses to its end, so
  // that judging its reply again cannot take it.
  bool dropped_in_attempt_ = false;
};

}  // namespace lumo::protocol

#endif
