// A line-oriented TCP client for the control ports of the test peers (the
// virtual serial line, the simulated gauge), at the host:port an environment
// variable names.
#ifndef LUMO_TESTS_CONTROLCLIENT_H
#define LUMO_TESTS_CONTROLCLIENT_H

#include <cstdint>
#include <string>

class ControlClient {
 public:
  explicit ControlClient(const char* address_variable);
  ~ControlClient();
  ControlClient(const ControlClient&) = delete;
  ControlClient& operator=(const ControlClient&) = delete;

  bool Connected() const { return socket_ != ~uintptr_t{0}; }
  const std::string& Error() const { return error_; }

  // Sends one command line and returns the reply line; empty (and a test
  // failure) when the peer cannot be reached.
  std::string Exchange(const std::string& line);

 private:
  uintptr_t socket_ = ~uintptr_t{0};
  std::string error_;
  std::string pending_;
};

#endif
