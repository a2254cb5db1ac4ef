// The tuning dialog's view of a driver object: forwards the dialog's
// interface to a TSilo. TSilo itself stays free of virtual functions (its
// first word is the host's slot table), so the menu hook wraps it in one of
// these for the length of a dialog.
#ifndef LUMO_DRIVER_SILOTUNETARGET_H
#define LUMO_DRIVER_SILOTUNETARGET_H

#include <cstdint>
#include <string>

#include "driver/ConnectionConfig.h"
#include "driver/ConnectionSwitch.h"
#include "driver/Silo.h"
#include "ui/TuneTarget.h"

namespace lumo::driver {

class SiloTuneTarget final : public lumo::ui::TuneTarget {
 public:
  explicit SiloTuneTarget(TSilo& silo) : silo_(silo) {}

  TSilo& Silo() const { return silo_; }

  uint8_t ConnectionType() const override { return silo_.ConnectionType(); }
  bool HasGaugePort() const override { return silo_.GaugePort() != nullptr; }
  bool SaveConnectionType(int32_t type, HWND owner,
                          lumo::ui::ConfigWriteFailure& failure) override {
    try {
      ::SaveConnectionType(silo_, type, owner);
    } catch (const ConfigWriteError& error) {
      failure = {error.Path(), error.Code()};
      return false;
    }
    return true;
  }
  void Lock() override { silo_.Lock(); }
  void Unlock() override { silo_.Unlock(); }
  uint8_t GetLinkState() const override { return silo_.GetLinkState(); }
  int64_t ReadChannelParameter(uint8_t channel, uint8_t parameter) override {
    return silo_.ReadChannelParameter(channel, parameter);
  }
  void WriteChannelParameter(uint8_t channel, uint8_t parameter, int64_t value) override {
    silo_.WriteChannelParameter(channel, parameter, value);
  }
  void ReadProgramCode(uint8_t channel, std::string& text) override {
    silo_.ReadProgramCode(channel, text);
  }
  std::shared_ptr<lumo::Trace> TraceLog() const override { return silo_.TraceLog(); }

 private:
  TSilo& silo_;
};

}  // namespace lumo::driver

#endif
