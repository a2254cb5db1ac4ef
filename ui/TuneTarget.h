// TuneTarget: what the tuning dialog and its workers need of the driver object
// they tune. The dialog reaches the driver only through this interface; the
// driver layer hands it an implementation when it opens the dialog.
#ifndef LUMO_UI_TUNETARGET_H
#define LUMO_UI_TUNETARGET_H

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

namespace lumo {
class Trace;
}

namespace lumo::ui {

// Why a save left cnf.ini unwritten: the file's full path and the Windows
// error code.
struct ConfigWriteFailure {
  std::wstring path;
  unsigned long error = 0;
};

class TuneTarget {
 public:
  virtual ~TuneTarget() = default;

  // The connection type in force: 0 to 2 a communication unit, 3 and above
  // COM(type - 2).
  virtual uint8_t ConnectionType() const = 0;
  // True while the driver has a gauge port open (a serial type whose last
  // open succeeded).
  virtual bool HasGaugePort() const = 0;
  // Writes type into cnf.ini when the file exists, then switches the driver
  // to it. When the file exists but cannot be written, nothing is switched
  // and the result is false, with failure saying why. A failed switch is
  // answered with a message box owned by owner; the result is then true.
  virtual bool SaveConnectionType(int32_t type, HWND owner, ConfigWriteFailure& failure) = 0;

  // The driver lock, re-entrant: held across a batch of requests, nothing of
  // the host's falls between them.
  virtual void Lock() = 0;
  virtual void Unlock() = 0;
  // The link state the last request left (lumo::kLinkValidReply, ...).
  virtual uint8_t GetLinkState() const = 0;

  // Channel parameter and program code requests.
  virtual int64_t ReadChannelParameter(uint8_t channel, uint8_t parameter) = 0;
  virtual void WriteChannelParameter(uint8_t channel, uint8_t parameter, int64_t value) = 0;
  // Sets text to the program code on a valid reply; leaves it unchanged otherwise.
  virtual void ReadProgramCode(uint8_t channel, std::string& text) = 0;

  // The driver's trace, which the dialog's batches also go into; null when off.
  virtual std::shared_ptr<lumo::Trace> TraceLog() const { return nullptr; }

 protected:
  TuneTarget() = default;
  TuneTarget(const TuneTarget&) = default;
  TuneTarget& operator=(const TuneTarget&) = default;
};

// Holds a target's driver lock for a scope.
class TuneTargetLock {
 public:
  explicit TuneTargetLock(TuneTarget& target) : target_(target) { target_.Lock(); }
  ~TuneTargetLock() { target_.Unlock(); }
  TuneTargetLock(const TuneTargetLock&) = delete;
  TuneTargetLock& operator=(const TuneTargetLock&) = delete;

 private:
  TuneTarget& target_;
};

}  // namespace lumo::ui

#endif
