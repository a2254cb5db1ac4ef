// A small host program: loads Lumo.dll the way a supervision host does, reads
// the gauge and prints what it got as a table, with the link state of each read.
//
//   lumo-demo [COM-number] [channel ...]      (default COM5, channels 0 to 3)
#include <windows.h>

#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "HostSide.h"
#include "lumo.h"

namespace {

using lumo_tools::Export;
using lumo_tools::Utf8From1251;

const char* LinkText(uint32_t state) {
  switch (state) {
    case lumo::kLinkValidReply: return "1 valid";
    case lumo::kLinkNoReply: return "2 no reply";
    case lumo::kLinkBadReply: return "3 bad reply";
    default: return "?";
  }
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"lumo-demo: a minimal host that loads Lumo.dll and reads a gauge on a COM port once"};
  app.name("lumo-demo");
  uint32_t com = 5;
  std::vector<uint32_t> channels = {0, 1, 2, 3};
  app.add_option("COM-number", com, "the serial port the gauge is on, 1 to 253")
      ->check(CLI::Range(1, 253))
      ->capture_default_str();
  app.add_option("channel", channels, "channels to read, 0 to 255")->check(CLI::Range(0, 255));
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "lumo-demo: %s (lumo-demo --help)\n", e.what());
    return 2;
  }

  HMODULE dll = LoadLibraryA("Lumo.dll");
  if (!dll) {
    std::fprintf(stderr, "cannot load Lumo.dll (error %lu)\n", GetLastError());
    return 1;
  }
  auto get_silo_ex3 = Export<lumo::GetSiloEx3Fn>(dll, lumo::kGetSiloEx3Name);
  lumo::Driver* driver = nullptr;
  try {
    driver = get_silo_ex3(nullptr, com, 0);  // no communication unit: serial port COMn
  } catch (const std::exception& e) {
    std::fprintf(stderr, "GetSiloEx3(COM%u): %s\n", com, Utf8From1251(e.what()).c_str());
    return 1;
  }
  auto link = [&] { return lumo::SlotAs<lumo::GetLinkStateFn>(driver, lumo::kSlotGetLinkState)(driver); };

  unsigned char name[lumo::kDriverNameBytes];
  lumo::SlotAs<lumo::GetDriverNameFn>(driver, lumo::kSlotGetDriverName)(name, driver);
  std::printf("driver  %s\n", Utf8From1251(std::string(reinterpret_cast<char*>(name + 1), name[0])).c_str());
  std::printf("line    COM%u, 9600 8N1\n\n", com);

  int failures = 0;
  try {
    const int32_t state = lumo::SlotAs<lumo::ReadStateFn>(driver, lumo::kSlotReadState)(driver);
    std::printf("%-26s %-18s %s\n", "read", "value", "link state");
    std::printf("%-26s '%c' (%d)%*s %s\n", "state (slot 8)", state ? state : ' ', state, 11, "",
                LinkText(link()));
    unsigned char block[17] = {};
    lumo::SlotAs<lumo::ReadConfigFn>(driver, lumo::kSlotReadConfig)(driver, block);
    std::printf("%-26s %-18s %s\n", "configuration (slot 7)", reinterpret_cast<char*>(block),
                LinkText(link()));
    for (uint32_t ch : channels) {
      char label[64];
      char value[64];
      auto row = [&](const char* what, const char* v) {
        std::snprintf(label, sizeof label, "ch %2u %s", ch, what);
        std::printf("%-26s %-18s %s\n", label, v, LinkText(link()));
      };
      std::snprintf(value, sizeof value, "%.1f",
                    lumo::SlotAs<lumo::QueryValue4Fn>(driver, lumo::kSlotQueryValue4)(driver, ch));
      row("value 4 (slot 9)", value);
      double four[4] = {};
      lumo::SlotAs<lumo::QuerySignedValue6Fn>(driver, lumo::kSlotQuerySignedValue6)(driver, ch, four);
      std::snprintf(value, sizeof value, "%+.1f", four[0]);
      row("signed 6 (slot 10)", value);
      std::snprintf(value, sizeof value, "%d",
                    lumo::SlotAs<lumo::QueryRoundedValue5Fn>(driver, lumo::kSlotQueryRoundedValue5)(driver, ch));
      row("rounded 5 (slot 11)", value);
      std::snprintf(value, sizeof value, "%.4f",
                    lumo::SlotAs<lumo::QueryScaledValue8Fn>(driver, lumo::kSlotQueryScaledValue8)(driver, ch));
      row("scaled 8 (slot 12)", value);
      std::snprintf(value, sizeof value, "%.4f",
                    lumo::SlotAs<lumo::QueryScaledValue16Fn>(driver, lumo::kSlotQueryScaledValue16)(driver, ch));
      row("scaled 16 (slot 14)", value);
    }
  } catch (const std::exception& e) {
    std::printf("request failed: %s\n", Utf8From1251(e.what()).c_str());
    failures = 1;
  }
  lumo::Release(driver);
  std::printf("\ndriver released\n");
  return failures;
}
