// Client of the virtual serial line's peer (tests/vserial/vserial_peer.py),
// reached over TCP at the address in LUMO_VSERIAL (set by scripts/vserial-run.sh).
#ifndef LUMO_TESTS_SERIAL_VIRTUALLINE_H
#define LUMO_TESTS_SERIAL_VIRTUALLINE_H

#include <cstdint>
#include <string>
#include <vector>

#include "ControlClient.h"

class VirtualLine {
 public:
  VirtualLine();
  ~VirtualLine();
  VirtualLine(const VirtualLine&) = delete;
  VirtualLine& operator=(const VirtualLine&) = delete;

  bool Connected() const { return client_.Connected(); }
  const std::string& Error() const { return client_.Error(); }

  std::string Link(int port);  // pty path behind COMn
  void Unlink(int port);       // COMn no longer exists
  void Drop(int port);         // device lost: the pty goes away, the link stays
  void Send(int port, const std::vector<uint8_t>& bytes);
  // Bytes from the line until count arrived or timeout_ms passed.
  std::vector<uint8_t> Recv(int port, size_t count, int timeout_ms);
  std::string Termios(int port);

  // One command, the reply without "OK "; an "ERR" reply fails the test.
  std::string Command(const std::string& line);

 private:
  ControlClient client_;
};

#endif
