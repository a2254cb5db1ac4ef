#include "VirtualLine.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

VirtualLine::VirtualLine() : client_("LUMO_VSERIAL") {}

VirtualLine::~VirtualLine() = default;

std::string VirtualLine::Command(const std::string& line) {
  const std::string reply = client_.Exchange(line);
  if (!Connected()) return {};
  if (reply.compare(0, 2, "OK") != 0) {
    ADD_FAILURE() << "peer: " << line.substr(0, 40) << " -> " << reply;
    return {};
  }
  return reply.size() > 3 ? reply.substr(3) : std::string();
}

std::string VirtualLine::Link(int port) { return Command("LINK " + std::to_string(port)); }
void VirtualLine::Unlink(int port) { Command("UNLINK " + std::to_string(port)); }
void VirtualLine::Drop(int port) { Command("DROP " + std::to_string(port)); }
std::string VirtualLine::Termios(int port) { return Command("TERMIOS " + std::to_string(port)); }

void VirtualLine::Send(int port, const std::vector<uint8_t>& bytes) {
  std::string hex;
  hex.reserve(bytes.size() * 2);
  char two[3];
  for (uint8_t b : bytes) {
    std::snprintf(two, sizeof two, "%02x", b);
    hex += two;
  }
  Command("SEND " + std::to_string(port) + " " + hex);
}

std::vector<uint8_t> VirtualLine::Recv(int port, size_t count, int timeout_ms) {
  std::string hex = Command("RECV " + std::to_string(port) + " " + std::to_string(count) + " " +
                            std::to_string(timeout_ms));
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(static_cast<uint8_t>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
  return bytes;
}
