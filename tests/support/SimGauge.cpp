#include "SimGauge.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <regex>

SimGauge::SimGauge() : client_("LUMO_SIM") {
  Ok("clear all");
  Ok("set header=repeat");
  Ok("set pace=on");
  Ok("set echo=off");
}

std::string SimGauge::Ok(const std::string& command) {
  const std::string reply = client_.Exchange(command);
  EXPECT_EQ(reply.compare(0, 2, "ok"), 0) << command << " -> " << reply;
  return reply;
}

int SimGauge::Stat(const std::string& name) {
  std::smatch m;
  const std::string stats = Ok("stats");
  if (!std::regex_search(stats, m, std::regex("\\b" + name + "=(\\d+)"))) return -1;
  return std::stoi(m[1]);
}

void SimGauge::Send(const std::vector<uint8_t>& bytes) {
  std::string hex;
  char two[3];
  for (uint8_t b : bytes) {
    std::snprintf(two, sizeof two, "%02x", b);
    hex += two;
  }
  Ok("send " + hex);
}

std::vector<uint8_t> SimGauge::Recv(size_t count, int timeout_ms) {
  const std::string reply = Ok("recv n=" + std::to_string(count) + " ms=" + std::to_string(timeout_ms));
  std::vector<uint8_t> bytes;
  for (size_t i = 3; i + 1 < reply.size(); i += 2)
    bytes.push_back(static_cast<uint8_t>(std::stoul(reply.substr(i, 2), nullptr, 16)));
  return bytes;
}

uint32_t SimGauge::Com() {
  const char* com = std::getenv("LUMO_SIM_COM");
  return com ? static_cast<uint32_t>(std::atoi(com)) : 5;
}
