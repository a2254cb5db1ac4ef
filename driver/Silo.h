// TSilo: the driver object a host receives from GetSiloEx / GetSiloEx3.
#ifndef LUMO_DRIVER_SILO_H
#define LUMO_DRIVER_SILO_H

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "lumo.h"
#include "serial/Trace.h"

class TKorvoComPort;

class TSilo {
 public:
  // Opens the gauge port for connection types 3 and above; the port's
  // exception leaves the constructor and nothing stays allocated.
  TSilo(uint8_t connection_type, lumo::Unit* unit);
  ~TSilo();
  TSilo(const TSilo&) = delete;
  TSilo& operator=(const TSilo&) = delete;

  lumo::Driver* AsDriver() { return reinterpret_cast<lumo::Driver*>(this); }
  static TSilo* FromDriver(lumo::Driver* driver) { return reinterpret_cast<TSilo*>(driver); }

  // Trivial slots.
  void GetDriverName(uint8_t* result) const;
  void SetLinkState(uint8_t state) { link_state_.store(state, std::memory_order_relaxed); }
  uint8_t GetLinkState() const { return link_state_.load(std::memory_order_relaxed); }
  void Reserved6() {}
  void GetZeroPair(uint16_t* pair) const;

  // Communication-unit line set-up (slot 5) and the callback the unit may call.
  void SetupLink(uint8_t unused);
  void ApplyLineSettings(uint8_t unused);

  // The one request entry: encodes the payload at the start of buffer, sends it
  // over the transport the connection type selects and records the link state.
  // Returns 0 when the transport reported no error; non-zero when there was no
  // transport or an exception ended the exchange. Never throws.
  int32_t SendRequest(uint8_t* buffer, uint8_t payload_length, uint8_t expected_length);
  // The same, also telling the length of the reply frame that passed
  // validation (0 when none did); the transport copied its first
  // min(length, expected_length) characters into buffer.
  int32_t SendRequest(uint8_t* buffer, uint8_t payload_length, uint8_t expected_length,
                      size_t* reply_length);
  // Checks a collected reply; reports the check code to the unit when one
  // carries the requests. Throws lumo::EConvertError on non-hex check digits.
  bool ValidateReply(uint8_t address, const uint8_t* reply, int32_t limit, uint8_t& received,
                     uint8_t& expected);

  // Measurement and status requests (slots 7 to 12 and 14).
  void ReadConfig(uint8_t* block16);
  int32_t ReadState();
  double QueryValue4(uint8_t channel);
  void QuerySignedValue6(uint8_t channel, double* four);
  int32_t QueryRoundedValue5(uint8_t channel);
  double QueryScaledValue8(uint8_t channel);
  double QueryScaledValue16(uint8_t channel);

  // Channel parameters, used by the tuning dialog.
  int64_t ReadChannelParameter(uint8_t channel, uint8_t parameter);
  void WriteChannelParameter(uint8_t channel, uint8_t parameter, int64_t value);
  void ReadProgramCode(uint8_t channel, std::string& text);

  // The trace, null when off. Replaced only under the driver lock.
  const std::shared_ptr<lumo::Trace>& TraceLog() const { return trace_; }
  // A `value` line for the request just made (printf-style); call only when
  // TraceLog() is set.
  void TraceValue(const char* format, ...) LUMO_TRACE_PRINTF(2, 3);

  uint8_t ConnectionType() const { return connection_type_; }
  lumo::Unit* Unit() const { return unit_; }
  TKorvoComPort* GaugePort() const { return port_; }

  // The driver lock is re-entrant: a caller may hold it across several requests.
  void Lock() { EnterCriticalSection(&lock_); }
  void Unlock() { LeaveCriticalSection(&lock_); }

  // The menu item's click handler (defined with the menu hook): shows the
  // tuning dialog modally on the calling (user-interface) thread. The sender
  // is not used.
  void TuneMenuClick(void* sender);

  // Menu pending flag: true until the first AddMenuItems.
  bool TakeMenuPending() {
    const bool pending = menu_pending_;
    menu_pending_ = false;
    return pending;
  }

 private:
  friend void SetConnectionType(TSilo& driver, int32_t new_type, HWND owner);

  // A new gauge port on COM(connection_type - 2), in the reply mode that
  // cnf.ini asks for at this moment; raises the port's exceptions.
  static TKorvoComPort* OpenGaugePort(uint8_t connection_type,
                                      const std::shared_ptr<lumo::Trace>& trace);
  // The trace cnf.ini or the environment asks for now, named after the
  // connection; null when none.
  static std::shared_ptr<lumo::Trace> OpenTrace(uint8_t connection_type);
  // SendRequest's exchange over the transport, under the driver lock.
  int32_t SendOverTransport(uint8_t* buffer, uint8_t payload_length, uint8_t expected_length,
                            size_t* reply_length);
  void TraceRequest(const uint8_t* payload, uint8_t payload_length);
  void TraceUnitReply(const uint8_t* reply, uint8_t received, const uint32_t* code);
  // The traced request's channel, "-" for a whole-gauge request.
  void TracedChannel(char (&text)[8]) const;

  // The host's view: the first word points at slot 0 of the slot table.
  void* const* slots_;
  lumo::Unit* unit_;
  std::atomic<uint8_t> link_state_;
  TKorvoComPort* port_;
  bool menu_pending_;
  CRITICAL_SECTION lock_;
  uint8_t connection_type_;
  // Length of the last reply that passed validation during the current
  // request; written and read under the driver lock.
  size_t validated_length_ = 0;
  std::shared_ptr<lumo::Trace> trace_;
  // The request under way, for its trace lines (under the driver lock).
  const char* traced_name_ = "";
  int traced_channel_ = -1;
  int traced_unit_replies_ = 0;
};

// Holds the driver lock for a scope.
class DriverLockGuard {
 public:
  explicit DriverLockGuard(TSilo& driver) : driver_(driver) { driver_.Lock(); }
  ~DriverLockGuard() { driver_.Unlock(); }
  DriverLockGuard(const DriverLockGuard&) = delete;
  DriverLockGuard& operator=(const DriverLockGuard&) = delete;

 private:
  TSilo& driver_;
};

// The slot table the driver object points into (index 0 is the release entry,
// index 1 is slot 0).
extern void* const kSiloSlotTable[1 + lumo::kSlotCount];

#endif
