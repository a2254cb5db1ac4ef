#include "SettingsFile.h"

#include <nlohmann/json.hpp>

namespace lumo_cli {

namespace {
using json = nlohmann::ordered_json;
}  // namespace

std::string SensorName(int i) { return i <= 8 ? "T" + std::to_string(i) : "D" + std::to_string(i - 8); }

std::optional<Wanted> CheckSettingsText(const std::string& text, std::string& why) {
  auto bad = [&](const std::string& reason) -> std::optional<Wanted> {
    why = reason;
    return std::nullopt;
  };
  const json j = json::parse(text, nullptr, false);
  if (j.is_discarded() || !j.is_object()) return bad("not a JSON object");
  if (!j.contains("sensors") || !j["sensors"].is_array()) return bad("no \"sensors\" list");
  const json& sensors = j["sensors"];
  if (sensors.size() != kSensors)
    return bad(std::to_string(sensors.size()) + " sensors; a channel has 11 (T1 to T8, D1 to D3)");
  Wanted w;
  for (int i = 1; i <= kSensors; ++i) {
    const json& e = sensors[static_cast<size_t>(i - 1)];
    const std::string name = SensorName(i);
    if (!e.is_object()) return bad("sensor " + std::to_string(i) + " is not an object");
    if (e.contains("name") && e["name"] != name) return bad("sensor " + std::to_string(i) + " must be " + name);
    if (!e.contains("height_mm") || !e["height_mm"].is_number_integer() || e["height_mm"].get<int64_t>() < 0 ||
        e["height_mm"].get<int64_t>() > 65535)
      return bad(name + ": height_mm must be a whole number of millimetres from 0 to 65535");
    w.height[i] = e["height_mm"].get<int64_t>();
    const std::string ident =
        e.contains("identifier") && e["identifier"].is_string() ? e["identifier"].get<std::string>() : "";
    if (ident.empty() || ident.size() > 16 || ident.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
      return bad(name + ": identifier must be 1 to 16 hexadecimal digits");
    w.ident[i] = std::stoull(ident, nullptr, 16);
  }
  return w;
}

}  // namespace lumo_cli
