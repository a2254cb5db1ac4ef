// The settings backup of `lumo-cli params --load/--diff`: its text checked
// into the eleven sensors' heights and identifiers. Plain C++, so that it
// builds and is tested and fuzzed natively too.
#ifndef LUMO_TOOLS_CLI_SETTINGSFILE_H
#define LUMO_TOOLS_CLI_SETTINGSFILE_H

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace lumo_cli {

constexpr int kSensors = 11;

// Thermometers 1 to 8, then density meters 1 to 3: "T1" ... "D3".
std::string SensorName(int i);

// The values a file holds, checked; indexed 1 to 11.
struct Wanted {
  std::array<int64_t, kSensors + 1> height{};
  std::array<uint64_t, kSensors + 1> ident{};
};

// The file's text checked; without a value, `why` names what is wrong in one
// line ("T3: height_mm must be ...").
std::optional<Wanted> CheckSettingsText(const std::string& text, std::string& why);

}  // namespace lumo_cli

#endif
