#include "Wait.h"

#include <chrono>
#include <thread>

#include "TimeScale.h"

namespace lumo_test {

bool WaitFor(const std::function<bool()>& condition, int timeout_ms) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms) * TimeScale();
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace lumo_test
