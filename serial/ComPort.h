// TComPort: an overlapped Windows serial port with an 8192-byte input ring, an
// output ring and two service threads (event thread: line events and
// reception; writer thread: drains the output ring to the device).
//
// Reception and descendants. The event thread starts while the constructor
// runs, and a virtual call from another thread during construction (or
// destruction) of a descendant would reach the wrong override. So:
//  - TComPort(port) receives at once; its own DataReceived does nothing.
//  - A descendant that overrides DataReceived constructs its base with
//    TComPort(port, kDeferReception) and calls StartReception() as the last
//    step of its constructor; until then received bytes stay in the driver.
//    Its destructor calls ClosePort() first, so that no service thread runs
//    while its own members are destroyed.
#ifndef LUMO_SERIAL_COMPORT_H
#define LUMO_SERIAL_COMPORT_H

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "lumo.h"
#include "serial/ByteRing.h"
#include "serial/Trace.h"

// Optional hook called on the event thread with every completed event mask.
struct CommEventHook {
  void (*entry)(void* object, uint32_t event_mask) = nullptr;
  void* object = nullptr;
};

class TComPort {
 public:
  static constexpr uint16_t kInputRingSize = 8192;
  static constexpr uint32_t kEventMask = 0x21FD;
  static constexpr uint32_t kEventMaskFallback = 0x1FD;
  static constexpr uint32_t kWriteWaitMs = 60000;
  // How long a stop waits for each service thread before killing it: longer
  // than any step a thread can be in (a read's cancel, a trace write).
  static constexpr DWORD kStopWaitMs = 2000;
  // A device whose waits fail this many times in a row is taken as lost,
  // whatever the error code (removed adapters report 5, 21, 22, 87, 995, 1617).
  static constexpr unsigned kLostAfterFailures = 3;

  // "Keep" values of SetLine: one past each valid range.
  static constexpr uint32_t kKeepBaud = 0;
  static constexpr uint16_t kKeepParity = 5;
  static constexpr uint8_t kKeepDataBits = 9;
  static constexpr uint8_t kKeepStopBits = 3;

  // Opens COMn unless n is 0; raises what OpenPort raises.
  explicit TComPort(uint16_t port_number);
  virtual ~TComPort();

  TComPort(const TComPort&) = delete;
  TComPort& operator=(const TComPort&) = delete;

  // Setters store the value and apply it when the port is open.
  void SetBaudRate(uint32_t value);
  void SetDataBits(uint8_t value);
  void SetStopBits(uint8_t value);  // 1 one stop bit, 2 two; 0 -> 1, above 2 -> 2
  void SetParity(uint8_t value);    // NOPARITY .. SPACEPARITY
  void SetLine(uint32_t baud, uint16_t parity, uint8_t data_bits, uint8_t stop_bits);

  uint32_t GetStatus(COMSTAT& status);
  void UpdateErrors();
  void CheckOpen() const;

  uint8_t PeekByte(uint16_t index);  // 1 = oldest byte; does not consume
  uint8_t ReadByte();
  void PutBlock(const void* buffer, uint16_t count);
  void Purge();
  // Drops what the output ring still holds (and aborts the write in flight),
  // so that nothing of an earlier frame leaves after it; the count dropped.
  size_t DropOutput();
  void EscapeFunction(uint32_t code);

  bool IsOpen() const { return open_; }
  // True while the device keeps failing (unplugged adapter, far end gone).
  bool DeviceLost() const { return lost_.load(); }
  // Opens the port's device again, for a device that was lost and may be
  // back under the same name: the service threads stop, the old handle is
  // closed first (some drivers refuse a new open while it lives), both rings
  // are emptied, and a new handle gets the same line settings. False when the
  // device cannot be opened; the port then stays open without a device and
  // lost, so that writes are queued and no reply comes, and a later call may
  // try again. Never throws.
  bool Reopen();
  uint32_t BaudRate() const { return baud_rate_; }
  uint8_t DataBits() const { return data_bits_; }
  uint8_t StopBits() const { return stop_bits_; }
  uint8_t Parity() const { return parity_; }
  uint32_t ErrorFlags() const { return error_flags_; }
  int32_t LastBlockCount() const { return last_block_count_; }
  uint16_t InputCount() const;   // bytes held in the input ring
  uint16_t OutputPending() const;  // bytes waiting in the output ring
  // Service threads killed because they did not end within kStopWaitMs, in
  // this process; 0 unless a thread hung.
  static unsigned ThreadsTerminated() { return threads_terminated_.load(); }

  CommEventHook OnCommEvent;

 protected:
  struct DeferReception {};
  static constexpr DeferReception kDeferReception{};
  // trace, when given, gets the port's events from the open on. baud_rate is
  // the line's speed from the first set-up on: a descendant that sets its own
  // speed anyway never offers the driver a rate it may not list.
  TComPort(uint16_t port_number, DeferReception, std::shared_ptr<lumo::Trace> trace = nullptr,
           uint32_t baud_rate = 5760);

  // The trace of the driver object that owns the port; null when off.
  lumo::Trace* Tracer() const { return trace_.get(); }

  // Lets the event thread take bytes in and call DataReceived.
  void StartReception();
  // Stops the threads and releases the device; nothing when closed.
  void ClosePort();

  // Called on the event thread with the bytes just placed in the input ring
  // (0..8192), without the port lock; may call ReadByte and PeekByte.
  virtual void DataReceived(int32_t count);

 private:
  friend struct TComPortProbe;  // white-box tests

  class Lock {
   public:
    explicit Lock(CRITICAL_SECTION& cs) : cs_(cs) { EnterCriticalSection(&cs_); }
    ~Lock() { LeaveCriticalSection(&cs_); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    CRITICAL_SECTION& cs_;
  };

  void Init(uint16_t port_number, bool receive_at_once);
  HANDLE OpenDevice() const;  // "\\.\COMn", exclusive, overlapped
  void OpenPort();
  void SetUpDevice();
  void ReleaseDevice();
  void DropDevice();
  void StartThreads();
  void StopThreads();
  void StopOne(HANDLE& thread, const char* which);
  static void SetOwnFlags(DCB& dcb);
  [[noreturn]] void Raise(int kind) const;

  static DWORD WINAPI EventThreadEntry(LPVOID self);
  static DWORD WINAPI WriterThreadEntry(LPVOID self);
  void EventThread();
  void WriterThread();
  void ReceiveStep();
  DWORD DeviceRead(uint8_t* into, DWORD count);
  void TransmitPass();
  bool Pace(HANDLE wake);  // short pause (longer while lost); true when stopping
  void CancelWait();
  // Outright failures of the device, from either service thread, in a row.
  void NoteFailure();
  void NoteSuccess();

  // Configuration.
  uint32_t baud_rate_ = 5760;
  uint16_t port_number_ = 0;
  uint8_t data_bits_ = 8;
  uint8_t stop_bits_ = 1;
  uint8_t parity_ = NOPARITY;
  uint16_t output_queue_size_ = 4096;
  uint16_t input_queue_size_ = 4096;
  bool open_ = false;

  // Device block.
  HANDLE device_ = INVALID_HANDLE_VALUE;
  OVERLAPPED read_ov_{};

  // Status record.
  char name_[8] = {};
  int32_t last_block_count_ = 0;
  uint32_t error_flags_ = 0;
  uint16_t event_mask_ = 0;
  uint16_t in_queue_copy_ = 0;
  COMSTAT status_{};
  DCB dcb_{};
  std::atomic<int32_t> stop_{0};
  HANDLE event_thread_ = nullptr;
  DWORD event_thread_id_ = 0;
  HANDLE writer_thread_ = nullptr;
  DWORD writer_thread_id_ = 0;
  CRITICAL_SECTION lock_;
  HANDLE handshake_ = nullptr;
  HANDLE writer_wake_ = nullptr;
  HANDLE write_done_ = nullptr;
  HANDLE event_wake_ = nullptr;  // wakes the event thread (reception start, stop)
  uint32_t write_wait_ = kWriteWaitMs;
  DWORD last_event_mask_ = 0;
  std::atomic<uint32_t> mask_in_force_{0};
  OVERLAPPED wait_ov_{};
  OVERLAPPED write_ov_{};
  // The rings, allocated at open: output of the output queue size S, input
  // of kInputRingSize bytes. Guarded by lock_.
  lumo::serial::ByteRing out_ring_;
  lumo::serial::ByteRing in_ring_;
  // Counts DropOutput calls, so that a write in flight during one consumes
  // nothing of what was queued after it. Guarded by lock_.
  uint32_t out_generation_ = 0;
  static inline std::atomic<unsigned> threads_terminated_{0};
  std::atomic<bool> reception_{false};
  std::atomic<bool> lost_{false};
  std::atomic<unsigned> failures_{0};
  // The Win32 error of a failed open, for the trace.
  DWORD open_error_ = 0;
  std::shared_ptr<lumo::Trace> trace_;
};

#endif
