// Waits in tests: a condition polled with a deadline, never a bare sleep.
#ifndef LUMO_TESTS_WAIT_H
#define LUMO_TESTS_WAIT_H

#include <functional>

namespace lumo_test {

// Polls condition every 5 ms until it holds or timeout_ms (stretched by
// LUMO_TIME_SCALE) have passed; the condition's last answer.
bool WaitFor(const std::function<bool()>& condition, int timeout_ms = 30000);

}  // namespace lumo_test

#endif
