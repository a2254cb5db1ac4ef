// The run-time switch of a driver object's connection type, and the save that
// writes cnf.ini before it.
#include "driver/ConnectionSwitch.h"

#include "driver/ConnectionConfig.h"
#include "driver/Silo.h"
#include "serial/KorvoPort.h"
#include "ui/MessageBoxSeam.h"

namespace {
constexpr wchar_t kSwitchFailed[] = L"Невозможно задать конфигурацию БС!";
constexpr wchar_t kPortOpenFailed[] = L"Невозможно открыть порт COM для уровнемера!";

// The switch goes into the new connection's trace, and into the old one as
// well when that was another file (or the switch turned the trace off).
void TraceSwitch(const std::shared_ptr<lumo::Trace>& old_trace,
                 const std::shared_ptr<lumo::Trace>& new_trace, unsigned from, unsigned to,
                 const char* result) {
  if (new_trace) new_trace->Event("switch", "from=%u to=%u result=%s", from, to, result);
  if (old_trace && (!new_trace || old_trace->Path() != new_trace->Path()))
    old_trace->Event("switch", "from=%u to=%u result=%s", from, to, result);
}
}  // namespace

void SetConnectionType(TSilo& driver, int32_t new_type, HWND owner) {
  bool port_failed = false;
  try {
    // Compared before the lock: the full value against the stored byte. An
    // unchanged type returns at once, unless it is a serial type whose last
    // open failed: then the open is tried again, as a switch would.
    if (new_type == static_cast<int32_t>(driver.connection_type_) &&
        !(driver.connection_type_ >= 3 && driver.port_ == nullptr))
      return;
    DriverLockGuard guard(driver);
    const unsigned from = driver.connection_type_;
    // The old port goes first, so that the new one may be the same device.
    delete driver.port_;
    driver.port_ = nullptr;
    driver.connection_type_ = static_cast<uint8_t>(new_type & 0xFF);
    // The trace settings are read again with the connection's new name.
    const std::shared_ptr<lumo::Trace> old_trace = driver.trace_;
    driver.trace_ = TSilo::OpenTrace(driver.connection_type_);
    try {
      if (driver.connection_type_ < 3) {
        driver.SetupLink(1);
      } else {
        try {
          driver.port_ = TSilo::OpenGaugePort(driver.connection_type_, driver.trace_);
        } catch (...) {
          lumo::TraceCaught(driver.trace_, "switch");
          driver.port_ = nullptr;
          port_failed = true;
        }
      }
    } catch (...) {
      lumo::TraceCaught(driver.trace_, "switch");
      TraceSwitch(old_trace, driver.trace_, from, driver.connection_type_, "failed");
      throw;
    }
    TraceSwitch(old_trace, driver.trace_, from, driver.connection_type_,
                port_failed ? "port-failed" : "ok");
  } catch (...) {
    lumo::ui::ShowErrorBox(owner, kSwitchFailed);
    return;
  }
  // Shown after the lock is released: other threads' requests go on (and
  // find no transport) while the box waits for the user.
  if (port_failed) lumo::ui::ShowErrorBox(owner, kPortOpenFailed);
}

void SaveConnectionType(TSilo& driver, int32_t new_type, HWND owner) {
  WriteConnectionType(new_type);
  SetConnectionType(driver, new_type, owner);
}
