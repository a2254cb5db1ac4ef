#include "ControlClient.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <cstdlib>

ControlClient::ControlClient(const char* address_variable) {
  const char* where = std::getenv(address_variable);
  if (!where || !*where) {
    error_ = std::string(address_variable) + " is not set: run the test through its wrapper script";
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
    error_ = "cannot reach the control port at " + addr;
    if (s != INVALID_SOCKET) closesocket(s);
    return;
  }
  BOOL nodelay = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&nodelay), sizeof nodelay);
  socket_ = static_cast<uintptr_t>(s);
}

ControlClient::~ControlClient() {
  if (Connected()) closesocket(static_cast<SOCKET>(socket_));
}

std::string ControlClient::Exchange(const std::string& line) {
  if (!Connected()) {
    ADD_FAILURE() << error_;
    return {};
  }
  SOCKET s = static_cast<SOCKET>(socket_);
  std::string out = line + "\n";
  for (size_t sent = 0; sent < out.size();) {
    int k = send(s, out.data() + sent, static_cast<int>(out.size() - sent), 0);
    if (k <= 0) {
      ADD_FAILURE() << "control connection lost";
      return {};
    }
    sent += static_cast<size_t>(k);
  }
  size_t nl;
  while ((nl = pending_.find('\n')) == std::string::npos) {
    char buf[4096];
    int k = recv(s, buf, sizeof buf, 0);
    if (k <= 0) {
      ADD_FAILURE() << "control connection lost";
      return {};
    }
    pending_.append(buf, static_cast<size_t>(k));
  }
  std::string reply = pending_.substr(0, nl);
  pending_.erase(0, nl + 1);
  if (!reply.empty() && reply.back() == '\r') reply.pop_back();
  return reply;
}
