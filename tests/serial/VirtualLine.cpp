#include "VirtualLine.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

VirtualLine::VirtualLine() {
  const char* where = std::getenv("LUMO_VSERIAL");
  if (!where || !*where) {
    error_ = "LUMO_VSERIAL is not set: run under scripts/vserial-run.sh";
    return;
  }
  std::string addr(where);
  size_t colon = addr.rfind(':');
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<u_short>(std::atoi(addr.c_str() + colon + 1)));
  inet_pton(AF_INET, addr.substr(0, colon).c_str(), &sa.sin_addr);
  if (s == INVALID_SOCKET || connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    error_ = "cannot reach the virtual line peer at " + addr;
    if (s != INVALID_SOCKET) closesocket(s);
    return;
  }
  BOOL nodelay = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&nodelay), sizeof nodelay);
  socket_ = static_cast<uintptr_t>(s);
}

VirtualLine::~VirtualLine() {
  if (Connected()) closesocket(static_cast<SOCKET>(socket_));
}

std::string VirtualLine::Command(const std::string& line) {
  if (!Connected()) {
    ADD_FAILURE() << error_;
    return {};
  }
  SOCKET s = static_cast<SOCKET>(socket_);
  std::string out = line + "\n";
  for (size_t sent = 0; sent < out.size();) {
    int k = send(s, out.data() + sent, static_cast<int>(out.size() - sent), 0);
    if (k <= 0) {
      ADD_FAILURE() << "peer connection lost";
      return {};
    }
    sent += static_cast<size_t>(k);
  }
  size_t nl;
  while ((nl = pending_.find('\n')) == std::string::npos) {
    char buf[4096];
    int k = recv(s, buf, sizeof buf, 0);
    if (k <= 0) {
      ADD_FAILURE() << "peer connection lost";
      return {};
    }
    pending_.append(buf, static_cast<size_t>(k));
  }
  std::string reply = pending_.substr(0, nl);
  pending_.erase(0, nl + 1);
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
