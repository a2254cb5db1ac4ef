#include "serial/ComPort.h"
#include "serial/SerialApi.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "protocol/Texts.h"

using lumo::serial::Api;

namespace lumo::serial {
SerialApi& Api() {
  static SerialApi api;
  return api;
}
}  // namespace lumo::serial

namespace {

enum ErrorKind {
  kSetupNotSupported,
  kParamNotSupported,
  kOpenFail,
  kBufferTooSmall,
  kPutBlockFail,
  kBufferEmpty,
  kNotOpen,
};

constexpr char kSetupNotSupportedFmt[] = "Setup parameter not supported for COM%d";
constexpr char kParamNotSupportedFmt[] = "Parameter not supported for COM%d";
constexpr char kBufferTooSmallFmt[] = "Buffer too small for port COM%d";
constexpr char kOutputErrorFmt[] = "Output error for port COM%d";
constexpr char kBufferEmptyFmt[] = "Buffer is empty for port COM%d";
constexpr char kNotOpenFmt[] = "Port COM%d not open";

constexpr DWORD kPaceMs = 5;         // pause between repeated outright failures
constexpr DWORD kLostPaceMs = 250;   // the same once the device counts as lost
constexpr DWORD kProbeMs = 1000;     // a pending wait asks the driver this often
constexpr DWORD kStartWaitMs = 3000;
constexpr DWORD kStackSize = 16384;
constexpr char kStandardXon = 0x11;
constexpr char kStandardXoff = 0x13;

// Throws E with the message formatted for the port number.
template <typename E>
[[noreturn]] void RaiseAs(const char* fmt, int port) {
  char text[96];
  std::snprintf(text, sizeof text, fmt, port);
  throw E(text);
}

void CloseIf(HANDLE& h) {
  if (h != nullptr && h != INVALID_HANDLE_VALUE) CloseHandle(h);
  h = nullptr;
}

}  // namespace

TComPort::TComPort(uint16_t port_number) { Init(port_number, true); }

TComPort::TComPort(uint16_t port_number, DeferReception, std::shared_ptr<lumo::Trace> trace,
                   uint32_t baud_rate)
    : baud_rate_(baud_rate), trace_(std::move(trace)) {
  Init(port_number, false);
}

void TComPort::Init(uint16_t port_number, bool receive_at_once) {
  port_number_ = port_number;
  InitializeCriticalSection(&lock_);
  reception_ = receive_at_once;
  if (port_number_ != 0) {
    try {
      OpenPort();
    } catch (...) {
      if (trace_) {
        char message[256];
        lumo::QuoteText(lumo::CurrentExceptionMessage(), message, sizeof message);
        trace_->Event("port-open-failed", "error=%lu class=%s message=\"%s\"",
                      static_cast<unsigned long>(open_error_), lumo::CurrentExceptionClass(),
                      message);
      }
      DeleteCriticalSection(&lock_);
      throw;
    }
  }
}

TComPort::~TComPort() {
  ClosePort();
  DeleteCriticalSection(&lock_);
}

void TComPort::DataReceived(int32_t) {}

void TComPort::Raise(int kind) const {
  const int port = static_cast<int>(port_number_);
  switch (kind) {
    case kSetupNotSupported: RaiseAs<lumo::ENotSupported>(kSetupNotSupportedFmt, port);
    case kParamNotSupported: RaiseAs<lumo::ENotSupported>(kParamNotSupportedFmt, port);
    case kOpenFail: RaiseAs<lumo::EOpenPortFail>(lumo::text::kCannotOpenComFmt, port);
    case kBufferTooSmall: RaiseAs<lumo::EOutputBufferTooSmall>(kBufferTooSmallFmt, port);
    case kPutBlockFail: RaiseAs<lumo::EPutBlockFail>(kOutputErrorFmt, port);
    case kBufferEmpty: RaiseAs<lumo::EBufferIsEmpty>(kBufferEmptyFmt, port);
    default: RaiseAs<lumo::EPortNotOpen>(kNotOpenFmt, port);
  }
}

// ---------------------------------------------------------------------------
// Opening and closing

HANDLE TComPort::OpenDevice() const {
  char path[24];
  std::snprintf(path, sizeof path, "\\\\.\\COM%d", static_cast<int>(port_number_));
  return Api().CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
}

void TComPort::OpenPort() {
  status_ = COMSTAT{};
  dcb_ = DCB{};
  last_block_count_ = 0;
  error_flags_ = 0;
  HANDLE h = OpenDevice();
  if (h == INVALID_HANDLE_VALUE) {
    open_error_ = GetLastError();
    Raise(kOpenFail);
  }
  try {
    device_ = h;
    read_ov_ = OVERLAPPED{};
    read_ov_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    handshake_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    writer_wake_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    write_done_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    event_wake_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    write_wait_ = kWriteWaitMs;
    if (!read_ov_.hEvent || !handshake_ || !writer_wake_ || !write_done_ || !event_wake_)
      Raise(kOpenFail);
    in_ring_.Allocate(kInputRingSize);
    out_ring_.Allocate(output_queue_size_);
    std::snprintf(name_, sizeof name_, "COM%d", static_cast<int>(port_number_ % 10000));
    in_queue_copy_ = input_queue_size_;
    event_mask_ = static_cast<uint16_t>(kEventMask);
    open_ = true;
    SetUpDevice();
    StartThreads();
  } catch (...) {
    open_error_ = GetLastError();
    ReleaseDevice();
    throw;
  }
}

// The queue sizes and line settings, given to the device just opened.
void TComPort::SetUpDevice() {
  if (!Api().SetupComm(device_, input_queue_size_, output_queue_size_)) Raise(kSetupNotSupported);
  dcb_.DCBlength = sizeof dcb_;
  Api().GetCommState(device_, &dcb_);
  SetLine(baud_rate_, parity_, data_bits_, stop_bits_);
  UpdateErrors();
}

void TComPort::ClosePort() {
  if (!open_) return;
  ReleaseDevice();
  if (trace_) trace_->Event("port-close");
}

bool TComPort::Reopen() {
  if (!open_) return false;
  StopThreads();
  {
    Lock guard(lock_);
    DropDevice();
    status_ = COMSTAT{};
  }
  lost_ = true;
  failures_ = kLostAfterFailures;
  HANDLE h = OpenDevice();
  if (h == INVALID_HANDLE_VALUE) {
    if (trace_) trace_->Event("port-reopen-failed", "error=%lu", GetLastError());
    return false;
  }
  try {
    device_ = h;
    SetUpDevice();
    failures_ = 0;
    lost_ = false;
    StartThreads();
    if (trace_) trace_->Event("port-reopened");
    return true;
  } catch (...) {
    const DWORD error = GetLastError();
    StopThreads();
    Lock guard(lock_);
    DropDevice();
    lost_ = true;
    if (trace_) trace_->Event("port-reopen-failed", "error=%lu", error);
    return false;
  }
}

// Everything OpenPort acquires, in reverse; safe on a half-open port.
void TComPort::ReleaseDevice() {
  StopThreads();
  CloseIf(handshake_);
  CloseIf(writer_wake_);
  CloseIf(write_done_);
  CloseIf(event_wake_);
  in_ring_.Free();
  out_ring_.Free();
  CloseIf(read_ov_.hEvent);
  DropDevice();
  open_ = false;
}

// Closes the device and empties both rings; the rings themselves stay.
void TComPort::DropDevice() {
  CloseIf(device_);
  device_ = INVALID_HANDLE_VALUE;
  in_ring_.Clear();
  out_ring_.Clear();
}

// ---------------------------------------------------------------------------
// Service threads

void TComPort::StartThreads() {
  Lock guard(lock_);
  stop_ = 0;
  event_thread_ = CreateThread(nullptr, kStackSize, EventThreadEntry, this,
                               STACK_SIZE_PARAM_IS_A_RESERVATION, &event_thread_id_);
  if (!event_thread_) Raise(kOpenFail);
  WaitForSingleObject(handshake_, kStartWaitMs);
  SetThreadPriority(event_thread_, THREAD_PRIORITY_TIME_CRITICAL);
  writer_thread_ = CreateThread(nullptr, kStackSize, WriterThreadEntry, this,
                                STACK_SIZE_PARAM_IS_A_RESERVATION, &writer_thread_id_);
  if (!writer_thread_) Raise(kOpenFail);
  WaitForSingleObject(handshake_, kStartWaitMs);
  SetThreadPriority(writer_thread_, THREAD_PRIORITY_HIGHEST);
}

// Waits for the thread's end, not just its farewell handshake: a host may
// unload the library right after releasing the port, and a thread still
// returning through the library's code would then run in unmapped memory.
// The wait runs without the port lock so that a thread busy with it can finish.
//
// A thread killed while it holds a lock (the heap's, the trace's mutex, a
// driver call) leaves it held for ever, so the wait is long enough for the
// slowest step a thread can be in when the stop comes (a read's cancel, a
// trace write waiting for its file); killing is the last resort, traced.
void TComPort::StopOne(HANDLE& thread, const char* which) {
  if (!thread) return;
  if (WaitForSingleObject(thread, kStopWaitMs) == WAIT_TIMEOUT) {
    TerminateThread(thread, 1);
    ++threads_terminated_;
    if (trace_) trace_->Event("thread-killed", "thread=%s waited=%lums", which,
                              static_cast<unsigned long>(kStopWaitMs));
  }
  CloseHandle(thread);
  thread = nullptr;
}

void TComPort::StopThreads() {
  {
    Lock guard(lock_);
    stop_ = -1;
    if (writer_wake_) SetEvent(writer_wake_);
  }
  StopOne(writer_thread_, "writer");
  if (device_ != INVALID_HANDLE_VALUE && device_ != nullptr) Api().SetCommMask(device_, 0);
  if (event_wake_) SetEvent(event_wake_);
  StopOne(event_thread_, "event");
  // The threads' farewells must not stand in for the next start's greetings.
  if (handshake_) ResetEvent(handshake_);
}

void TComPort::StartReception() {
  if (reception_.exchange(true)) return;
  // Wake the event thread for bytes that came in before.
  if (open_ && event_wake_) SetEvent(event_wake_);
}

// Cancels the wait in flight and lets it complete, so that nothing is left
// pending on the handle.
void TComPort::CancelWait() {
  Api().CancelIoEx(device_, &wait_ov_);
  if (WaitForSingleObject(wait_ov_.hEvent, 50) == WAIT_OBJECT_0) {
    DWORD unused = 0;
    Api().GetOverlappedResult(device_, &wait_ov_, &unused, FALSE);
  }
  ResetEvent(wait_ov_.hEvent);
}

void TComPort::NoteFailure() {
  const DWORD error = GetLastError();
  if (++failures_ >= kLostAfterFailures && !lost_.exchange(true) && trace_)
    trace_->Event("port-lost", "error=%lu", error);
}

void TComPort::NoteSuccess() {
  failures_ = 0;
  if (lost_.exchange(false) && trace_) trace_->Event("port-back");
}

bool TComPort::Pace(HANDLE wake) {
  if (stop_) return true;
  WaitForSingleObject(wake, lost_ ? kLostPaceMs : kPaceMs);
  return stop_ != 0;
}

DWORD WINAPI TComPort::EventThreadEntry(LPVOID self) {
  auto* port = static_cast<TComPort*>(self);
  try {
    port->EventThread();
  } catch (...) {
    lumo::TraceCaught(port->trace_, "event-thread");
  }
  return 0;
}

DWORD WINAPI TComPort::WriterThreadEntry(LPVOID self) {
  auto* port = static_cast<TComPort*>(self);
  try {
    port->WriterThread();
  } catch (...) {
    lumo::TraceCaught(port->trace_, "writer-thread");
  }
  return 0;
}

// One WaitCommEvent stays in flight. The thread also wakes on event_wake_ and
// then checks the driver's input count without issuing a second wait. A wait
// that fails or completes as cancelled never ends the thread: only the stop
// flag does. Repeated failures are paced.
void TComPort::EventThread() {
  wait_ov_ = OVERLAPPED{};
  wait_ov_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  uint32_t mask = kEventMask;
  // Drivers that do not know the bit 0x2000 may refuse the mask outright
  // rather than the wait: the smaller mask at once, not a port without one.
  if (!Api().SetCommMask(device_, mask)) {
    mask = kEventMaskFallback;
    Api().SetCommMask(device_, mask);
  }
  mask_in_force_ = mask;
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 0;
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = 20000;
  Api().SetCommTimeouts(device_, &timeouts);
  SetEvent(handshake_);

  bool pending = false;
  unsigned failures = 0;
  for (;;) {
    if (stop_) break;
    if (lost_) {
      // No wait stays in flight on a lost device (Wine polls the line for a
      // pending one); the driver is asked now and then whether it is back.
      if (pending) {
        CancelWait();
        pending = false;
      }
      if (Pace(event_wake_)) break;
      DWORD errors = 0;
      COMSTAT probe{};
      if (Api().ClearCommError(device_, &errors, &probe)) NoteSuccess();
      continue;
    }
    // EV_RXCHAR fires on an edge: look at the driver's count on every round.
    if (reception_) ReceiveStep();
    if (stop_) break;
    if (!pending) {
      last_event_mask_ = 0;
      if (!Api().WaitCommEvent(device_, &last_event_mask_, &wait_ov_)) {
        DWORD err = GetLastError();
        if (err == ERROR_IO_PENDING) {
          pending = true;
        } else if (err == ERROR_INVALID_PARAMETER && (mask & 0x2000)) {
          mask = kEventMaskFallback;
          Api().SetCommMask(device_, mask);
          mask_in_force_ = mask;
          continue;
        } else {
          NoteFailure();
          if (++failures > 1 && Pace(event_wake_)) break;
          continue;
        }
      }
    }
    if (pending) {
      HANDLE waits[2] = {wait_ov_.hEvent, event_wake_};
      DWORD w = WaitForMultipleObjects(2, waits, FALSE, kProbeMs);
      if (w == WAIT_TIMEOUT) {
        // A wait can stay pending on a device that is gone; ask the driver.
        DWORD errors = 0;
        COMSTAT probe{};
        if (!Api().ClearCommError(device_, &errors, &probe)) NoteFailure();
        continue;
      }
      if (w == WAIT_OBJECT_0 + 1) continue;  // the wait stays in flight
      if (w != WAIT_OBJECT_0) {
        if (Pace(event_wake_)) break;
        continue;
      }
      pending = false;
      DWORD unused = 0;
      BOOL ok = Api().GetOverlappedResult(device_, &wait_ov_, &unused, FALSE);
      ResetEvent(wait_ov_.hEvent);
      if (!ok) {
        NoteFailure();
        if (++failures > 1 && Pace(event_wake_)) break;
        continue;
      }
    }
    failures = 0;
    NoteSuccess();
    if (OnCommEvent.entry) OnCommEvent.entry(OnCommEvent.object, last_event_mask_);
    if (last_event_mask_ & (EV_BREAK | EV_ERR)) UpdateErrors();
  }
  // Complete the wait before the handle can be closed.
  if (pending) CancelWait();
  CloseIf(wait_ov_.hEvent);
  SetEvent(handshake_);
}

DWORD TComPort::DeviceRead(uint8_t* into, DWORD count) {
  DWORD got = 0;
  if (Api().ReadFile(device_, into, count, &got, &read_ov_)) {
    Api().GetOverlappedResult(device_, &read_ov_, &got, FALSE);
    return got;
  }
  if (GetLastError() != ERROR_IO_PENDING) return 0;
  // Sized from the driver's count, so a read normally completes at once;
  // never let it hold the event thread.
  if (WaitForSingleObject(read_ov_.hEvent, 100) != WAIT_OBJECT_0) {
    Api().CancelIoEx(device_, &read_ov_);
    WaitForSingleObject(read_ov_.hEvent, 100);
  }
  got = 0;
  if (!Api().GetOverlappedResult(device_, &read_ov_, &got, FALSE)) got = 0;
  ResetEvent(read_ov_.hEvent);
  return got;
}

void TComPort::ReceiveStep() {
  size_t want;
  {
    Lock guard(lock_);
    if (in_ring_.Full()) return;
    UpdateErrors();
    if (status_.cbInQue == 0) return;
    want = status_.cbInQue < in_ring_.Room() ? status_.cbInQue : in_ring_.Room();
  }
  uint32_t total = 0;
  // At most two reads: up to the ring's end, then on from its start once the
  // first has filled its run. Only the event thread moves the head, so the
  // free run stays free while the device fills it outside the lock.
  while (want > 0) {
    uint8_t* into;
    size_t run;
    {
      Lock guard(lock_);
      into = in_ring_.FreeRun(run);
    }
    const DWORD asked = static_cast<DWORD>(want < run ? want : run);
    const DWORD got = DeviceRead(into, asked);
    {
      Lock guard(lock_);
      in_ring_.Commit(got);
    }
    total += got;
    want -= got;
    if (got < asked) break;
  }
  DataReceived(static_cast<int32_t>(total));
}

void TComPort::WriterThread() {
  write_ov_ = OVERLAPPED{};
  write_ov_.hEvent = write_done_;
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
  SetEvent(handshake_);
  for (;;) {
    WaitForSingleObject(writer_wake_, INFINITE);
    if (stop_) break;
    TransmitPass();
    if (stop_) break;
  }
  SetEvent(handshake_);
}

// Sends while the output ring holds bytes; the tail advances by what the
// device took, so a write cut short by the line's write timeout loses nothing.
void TComPort::TransmitPass() {
  for (;;) {
    if (stop_) return;
    // The held run stays put while it is sent: PutBlock only adds behind it.
    const uint8_t* from;
    DWORD length;
    uint32_t generation;
    {
      Lock guard(lock_);
      if (out_ring_.Empty()) return;
      size_t run;
      from = out_ring_.HeldRun(run);
      length = static_cast<DWORD>(run);
      generation = out_generation_;
    }
    DWORD sent = 0;
    bool done = false;
    bool failed = false;  // refused outright, not merely slow
    ResetEvent(write_done_);
    if (Api().WriteFile(device_, from, length, nullptr, &write_ov_)) {
      done = Api().GetOverlappedResult(device_, &write_ov_, &sent, FALSE) != FALSE;
      if (!done) sent = length, done = true;
    } else if (GetLastError() != ERROR_IO_PENDING) {
      failed = true;
    } else {
      HANDLE waits[2] = {write_done_, writer_wake_};
      DWORD started = GetTickCount();
      for (;;) {
        DWORD elapsed = GetTickCount() - started;
        DWORD left = elapsed < write_wait_ ? write_wait_ - elapsed : 0;
        DWORD w = WaitForMultipleObjects(2, waits, FALSE, left);
        if (w == WAIT_OBJECT_0) {
          done = Api().GetOverlappedResult(device_, &write_ov_, &sent, FALSE) != FALSE;
          failed = !done;
          break;
        }
        if (w == WAIT_OBJECT_0 + 1 && !stop_) continue;  // more bytes queued: same pass
        // Stopping, or still pending after the write wait: abandon the write.
        Api().CancelIoEx(device_, &write_ov_);
        WaitForSingleObject(write_done_, 100);
        done = Api().GetOverlappedResult(device_, &write_ov_, &sent, FALSE) != FALSE;
        break;
      }
      ResetEvent(write_done_);
    }
    {
      // Bytes dropped meanwhile (DropOutput) are gone from the ring, and the
      // write they aborted is no failure of the device.
      Lock guard(lock_);
      if (generation != out_generation_) continue;
    }
    if (failed) NoteFailure();
    if (done && sent > 0) {
      NoteSuccess();
      if (sent > length) sent = length;
      Lock guard(lock_);
      out_ring_.Consume(sent);
    } else if (Pace(writer_wake_)) {
      return;
    }
  }
}

// ---------------------------------------------------------------------------
// Line settings

void TComPort::SetBaudRate(uint32_t value) {
  baud_rate_ = value;
  SetLine(value, kKeepParity, kKeepDataBits, kKeepStopBits);
}

void TComPort::SetDataBits(uint8_t value) {
  data_bits_ = value;
  SetLine(kKeepBaud, kKeepParity, value, kKeepStopBits);
}

void TComPort::SetStopBits(uint8_t value) {
  stop_bits_ = value;
  SetLine(kKeepBaud, kKeepParity, kKeepDataBits, value);
}

void TComPort::SetParity(uint8_t value) {
  parity_ = value;
  SetLine(kKeepBaud, value, kKeepDataBits, kKeepStopBits);
}

void TComPort::SetLine(uint32_t baud, uint16_t parity, uint8_t data_bits, uint8_t stop_bits) {
  if (!open_) return;
  Lock guard(lock_);
  dcb_.DCBlength = sizeof dcb_;
  Api().GetCommState(device_, &dcb_);
  if (stop_bits != kKeepStopBits) {
    if (stop_bits == 0) stop_bits = 1;
    if (stop_bits > 2) stop_bits = 2;
  }
  if (baud != kKeepBaud) dcb_.BaudRate = baud;
  if (parity != kKeepParity) dcb_.Parity = static_cast<BYTE>(parity & 0xFF);
  if (data_bits != kKeepDataBits) dcb_.ByteSize = data_bits;
  if (stop_bits != kKeepStopBits) dcb_.StopBits = stop_bits == 1 ? ONESTOPBIT : TWOSTOPBITS;
  SetOwnFlags(dcb_);
  if (!Api().SetCommState(device_, &dcb_)) Raise(kParamNotSupported);
}

// The serial driver keeps flow control, DTR and error handling from whoever
// used the port last (a terminal program, `mode`, a vendor tool). Every flag
// is set here: a leftover XON/XOFF stops all output at one noise byte 0x13,
// a leftover CTS handshake never sends on a three-wire cable, and DSR
// sensitivity drops every reply.
void TComPort::SetOwnFlags(DCB& dcb) {
  dcb.fBinary = TRUE;
  dcb.fParity = FALSE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;  // some converters draw their power from DTR
  dcb.fDsrSensitivity = FALSE;
  dcb.fTXContinueOnXoff = TRUE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fErrorChar = FALSE;
  dcb.fNull = FALSE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  dcb.fAbortOnError = FALSE;
  dcb.fDummy2 = 0;
  // Windows refuses equal XON and XOFF characters even with XON/XOFF off.
  if (dcb.XonChar == dcb.XoffChar) {
    dcb.XonChar = kStandardXon;
    dcb.XoffChar = kStandardXoff;
  }
}

// ---------------------------------------------------------------------------
// Status

uint16_t TComPort::OutputPending() const { return static_cast<uint16_t>(out_ring_.Count()); }

uint16_t TComPort::InputCount() const { return static_cast<uint16_t>(in_ring_.Count()); }

uint32_t TComPort::GetStatus(COMSTAT& status) {
  DWORD errors = 0;
  status = COMSTAT{};  // a failed poll reports no bytes rather than stale ones
  if (!Api().ClearCommError(device_, &errors, &status)) errors = 0;
  status.cbOutQue = OutputPending();
  return errors;
}

void TComPort::UpdateErrors() {
  Lock guard(lock_);
  error_flags_ |= GetStatus(status_) & 0x1F;
}

void TComPort::CheckOpen() const {
  if (!open_) Raise(kNotOpen);
}

// ---------------------------------------------------------------------------
// Rings

uint8_t TComPort::PeekByte(uint16_t index) {
  if (index == 0 || !in_ring_.Allocated() || index > InputCount()) Raise(kBufferEmpty);
  return in_ring_.Peek(index - 1u);
}

uint8_t TComPort::ReadByte() {
  CheckOpen();
  Lock guard(lock_);
  uint8_t b = PeekByte(1);
  in_ring_.Consume(1);
  return b;
}

void TComPort::PutBlock(const void* buffer, uint16_t count) {
  CheckOpen();
  if (count == 0) return;
  {
    Lock guard(lock_);
    error_flags_ = GetStatus(status_);
    if (count > out_ring_.Room()) Raise(kBufferTooSmall);
    // The room check makes the put store the whole block.
    if (!out_ring_.Put(buffer, count)) Raise(kPutBlockFail);
    SetEvent(writer_wake_);
    last_block_count_ = count;
  }
}

void TComPort::Purge() {
  CheckOpen();
  Lock guard(lock_);
  Api().PurgeComm(device_, PURGE_TXCLEAR | PURGE_RXCLEAR);
  in_ring_.DropHeld();
}

size_t TComPort::DropOutput() {
  CheckOpen();
  size_t dropped;
  {
    Lock guard(lock_);
    dropped = out_ring_.Count();
    if (dropped == 0) return 0;
    out_ring_.Clear();
    ++out_generation_;
    // Aborts the write in flight; its completion then consumes nothing.
    Api().PurgeComm(device_, PURGE_TXABORT | PURGE_TXCLEAR);
  }
  if (trace_) trace_->Event("output-dropped", "bytes=%u", static_cast<unsigned>(dropped));
  return dropped;
}

void TComPort::EscapeFunction(uint32_t code) {
  if (!Api().EscapeCommFunction(device_, code)) throw lumo::ESerialIO(lumo::text::kRtsSwitchFailed);
}
