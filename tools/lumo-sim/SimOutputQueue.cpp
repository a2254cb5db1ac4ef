#include "SimOutputQueue.h"

namespace lumo::sim {

namespace {
template <typename It>
It Earliest(It first, It last) {
  It best = last;
  for (It it = first; it != last; ++it)
    if (best == last || it->due < best->due) best = it;
  return best;
}
}  // namespace

std::optional<PendingOutput> OutputQueue::PopDue(Clock::time_point now) {
  const auto best = Earliest(pending_.begin(), pending_.end());
  if (best == pending_.end() || best->due > now) return std::nullopt;
  PendingOutput out = std::move(*best);
  pending_.erase(best);
  return out;
}

std::optional<Clock::time_point> OutputQueue::EarliestDue() const {
  const auto best = Earliest(pending_.begin(), pending_.end());
  if (best == pending_.end()) return std::nullopt;
  return best->due;
}

size_t OutputQueue::Chars() const {
  size_t n = 0;
  for (const auto& p : pending_) n += p.bytes.size();
  return n;
}

Clock::time_point OutputQueue::FreeFrom(Clock::time_point at, Clock::duration one) const {
  if (one <= Clock::duration::zero()) return at;
  // Each overlap moves `at` past the entry, so the loop ends.
  for (bool moved = true; moved;) {
    moved = false;
    for (const auto& p : pending_) {
      const auto end = p.due + one * static_cast<Clock::rep>(p.bytes.size());
      if (at < end && p.due < at + one) {
        at = end;
        moved = true;
      }
    }
  }
  return at;
}

}  // namespace lumo::sim
