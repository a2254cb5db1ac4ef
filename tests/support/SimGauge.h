// The simulated gauge's control channel, as tests use it (LUMO_SIM, set by
// scripts/sim-run.sh). Construction clears its faults and counters.
#ifndef LUMO_TESTS_SIMGAUGE_H
#define LUMO_TESTS_SIMGAUGE_H

#include <cstdint>
#include <string>

#include "ControlClient.h"

class SimGauge {
 public:
  SimGauge();
  // Sends a command; a reply other than "ok ..." fails the test.
  std::string Ok(const std::string& command);
  // A counter of "stats" (frames, malformed, noise, ...); -1 when absent.
  int Stat(const std::string& name);
  // The COM number the gauge is linked as (LUMO_SIM_COM, default 5).
  static uint32_t Com();

 private:
  ControlClient client_;
};

#endif
