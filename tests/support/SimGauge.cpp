#include "SimGauge.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>

SimGauge::SimGauge() : client_("LUMO_SIM") {
  Ok("clear all");
  Ok("set header=repeat");
  Ok("set pace=on");
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

uint32_t SimGauge::Com() {
  const char* com = std::getenv("LUMO_SIM_COM");
  return com ? static_cast<uint32_t>(std::atoi(com)) : 5;
}
