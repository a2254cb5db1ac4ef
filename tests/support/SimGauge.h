// The simulated gauge's control channel, as tests use it (LUMO_SIM, set by
// scripts/sim-run.sh). Construction clears its faults and counters and gives
// a paced line without echo to a gauge that repeats the request's header.
#ifndef LUMO_TESTS_SIMGAUGE_H
#define LUMO_TESTS_SIMGAUGE_H

#include <cstdint>
#include <string>
#include <vector>

#include "ControlClient.h"

class SimGauge {
 public:
  SimGauge();
  // Sends a command; a reply other than "ok ..." fails the test.
  std::string Ok(const std::string& command);
  // A counter of "stats" (frames, malformed, noise, ...); -1 when absent.
  int Stat(const std::string& name);
  // A raw line's far end (lumo-sim --raw): bytes out; bytes in until count
  // came or timeout_ms passed.
  void Send(const std::vector<uint8_t>& bytes);
  std::vector<uint8_t> Recv(size_t count, int timeout_ms);
  // The COM number the gauge is linked as (LUMO_SIM_COM, default 5).
  static uint32_t Com();

 private:
  ControlClient client_;
};

#endif
