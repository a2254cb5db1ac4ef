// TKorvoComPort: the serial port preset for the gauge line (9600 8N1, RTS
// low), with a receive state machine that picks the reply frame out of the
// incoming bytes from its '@', a link state of its own, and Exchange: one
// request/reply transaction of up to three attempts.
#ifndef LUMO_SERIAL_KORVOPORT_H
#define LUMO_SERIAL_KORVOPORT_H

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "lumo.h"
#include "protocol/ReplyHeaderConvention.h"
#include "serial/ComPort.h"
#include "serial/WaitClock.h"

// ValidateReply bound to its driver object.
struct BoundReplyValidator {
  lumo::ReplyValidatorFn entry = nullptr;
  void* bound = nullptr;
};

class TKorvoComPort : public TComPort {
 public:
  static constexpr int kAttempts = 3;
  static constexpr uint32_t kBaudRate = 9600;
  static constexpr DWORD kReplyWindowMs = 200;
  static constexpr DWORD kAttemptPauseMs = 70;
  static constexpr uint8_t kValidatorTag = 17;
  // Bytes that came in after an attempt was judged answer no request of
  // this port: the next frame waits until the line has been quiet this long
  // (longer than a USB adapter's latency timer), for at most kQuietMaxMs.
  static constexpr DWORD kQuietMs = 20;
  static constexpr DWORD kQuietMaxMs = 200;
  // After an attempt without a reply or bytes nobody asked for (a stalled
  // line may replay its backlog), and until kWaryReplies valid replies have
  // come since, a frame with another starting within kFrameGapMs behind it
  // is not taken: in the fast mode not early, and not at a window's end that
  // falls between the two. As long as kQuietMs: bytes reach the port in
  // chunks (a USB adapter's latency timer, Wine's polling of the line).
  static constexpr DWORD kFrameGapMs = kQuietMs;
  static constexpr int kWaryReplies = 8;
  // A lost device is opened again from the exchange path, at most this often.
  static constexpr DWORD kReopenIntervalMs = 1000;

  // Verdicts of an attempt.
  enum ResultCode : int32_t {
    kResultReplyCopied = 0,
    kResultBusy = 100,  // an attempt is under way, or has ended
    kResultNotQueued = 220,
    kResultRejected = 246,
    kResultNoReply = 247,
  };

  // Receive states.
  enum ReceiveState : uint8_t { kCollecting = 0, kIdle = 1, kWaitingForAt = 2 };

  // When an attempt's reply is judged. kFixedWindow: once, at the end of the
  // 200-ms window. kEndOnValidFrame: also as soon as the collected bytes end
  // with '*' and carriage return and pass the reply check (the window still
  // bounds the attempt).
  enum class ReplyMode : uint8_t { kFixedWindow, kEndOnValidFrame };

  // Opens COMn with the gauge's line settings; raises the port's exceptions.
  // With a trace, each attempt's frame, the bytes received and the verdict
  // are traced as well as the port's events.
  explicit TKorvoComPort(uint8_t port_number, ReplyMode mode = ReplyMode::kFixedWindow,
                         std::shared_ptr<lumo::Trace> trace = nullptr);
  ~TKorvoComPort() override;

  void SetReplyValidator(const BoundReplyValidator& validator) { validator_ = validator; }

  // Sends the frame and waits for a reply, up to three attempts. Returns 0;
  // the outcome is in the link state (1 reply copied, 2 none, 3 rejected) and,
  // for a valid reply, in its first min(expected_length, received) characters
  // at reply. Expected length 0 sends once and waits for nothing. An exception
  // of the last attempt (the validator's) propagates.
  int32_t Exchange(uint8_t tag, const char* frame, uint8_t frame_length, uint8_t* reply,
                   uint8_t expected_length, uint8_t unused1, int32_t unused2);

  virtual void SetLinkState(uint8_t state) { link_state_.store(state); }
  virtual uint8_t GetLinkState() { return link_state_.load(); }

  int32_t ResultCode() const { return result_code_.load(); }
  // Whether this gauge has shown that its replies repeat the request.
  bool RepeatsRequestLearned() const { return header_convention_.Learned(); }
  // Valid replies the header convention refused (as another request's).
  uint32_t RefusedReplies() const { return refused_.load(); }
  // What the line has shown of echoing requests since the device opened.
  enum class EchoState : uint8_t { kUnknown, kEchoes, kQuiet };
  EchoState Echo() const { return echo_; }
  ReplyMode Mode() const { return frame_end_ ? ReplyMode::kEndOnValidFrame : ReplyMode::kFixedWindow; }

 protected:
  void DataReceived(int32_t count) override;

 private:
  void ProcessByte(uint8_t byte);
  bool IsEcho(int length) const;
  void ResetReceive();
  void SendFrame(const char* frame, uint8_t length);
  void WaitForQuietLine();
  // Before an exchange: a device that counts as lost is opened again, at most
  // once per kReopenIntervalMs; a working device is never touched.
  void RecoverLostDevice();
  // Judges the reply after the window (or, in the fast mode, as soon as a
  // whole valid frame is in); received gets the length judged. A valid frame
  // that the header convention refuses counts as a rejected reply; a copy of
  // the request (an echoing line), or anything received while the frame had
  // not left, counts as no reply.
  int32_t WaitReply(uint8_t* destination, uint8_t expected_length, uint8_t& received,
                    const char* request, uint8_t request_length);
  // Fast mode: waits for frame ends within the window and judges each one.
  // True when a reply was accepted (copied to destination, length in received).
  bool AcceptEarlyFrame(const lumo::serial::WaitClock& window, uint8_t* destination,
                        uint8_t expected_length, uint8_t& received, const char* request,
                        uint8_t request_length);
  // The length to judge of `received` collected bytes: the first frame alone
  // when what follows it starts no further frame.
  uint8_t WithoutTrailingNoise(uint8_t received) const;
  bool FrameFollows(uint8_t end) const;
  bool FrameRightBehind(uint8_t received);
  // Validates the first `received` bytes of source and, when they are a valid
  // reply that the header convention takes for request's, copies them to
  // destination.
  bool Judge(const uint8_t* source, uint8_t* destination, uint8_t expected_length,
             uint8_t& received, const char* request, uint8_t request_length);
  // Trace lines of an attempt: the bytes received, in bursts, and the verdict.
  void TraceAttempt(int attempt, int32_t verdict, uint8_t received);

  // The raw bytes of the current attempt with their arrival times, kept only
  // while tracing: the event thread adds, the exchange reads after the window.
  struct AttemptCapture {
    static constexpr int kBursts = 64;
    CRITICAL_SECTION lock;
    LARGE_INTEGER sent{};
    LARGE_INTEGER frequency{};
    uint8_t bytes[256] = {};
    uint16_t length = 0;
    struct Burst {
      uint16_t end;
      uint32_t at_ms;
    } bursts[kBursts] = {};
    int burst_count = 0;
    AttemptCapture();
    ~AttemptCapture();
    AttemptCapture(const AttemptCapture&) = delete;
    AttemptCapture& operator=(const AttemptCapture&) = delete;
    void Begin();
    void Add(const uint8_t* data, int count);
  };

  class CriticalSection {
   public:
    CriticalSection() { InitializeCriticalSection(&cs_); }
    ~CriticalSection() { DeleteCriticalSection(&cs_); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;
    void Enter() { EnterCriticalSection(&cs_); }
    void Leave() { LeaveCriticalSection(&cs_); }

   private:
    CRITICAL_SECTION cs_;
  };

  // Shared with the event thread as single-byte values.
  std::atomic<uint8_t> receive_state_{kIdle};
  std::atomic<uint8_t> link_state_{lumo::kLinkValidReply};
  CriticalSection exchange_lock_;
  std::atomic<uint8_t> received_length_{0};
  uint8_t receive_buffer_[256] = {};
  std::atomic<int32_t> result_code_{0};
  BoundReplyValidator validator_;
  // Fast mode only: set by the event thread for each carriage return it
  // collects (auto-reset), with the received length just after it. Bytes that
  // follow a frame in the same burst are thus never judged with it.
  HANDLE frame_end_ = nullptr;
  std::atomic<uint8_t> frame_end_length_{0};
  // What this gauge carries in its replies' header, learned from its replies
  // (under the exchange lock). A reopened device keeps it: a different gauge
  // behind the same port drops it within one request.
  lumo::protocol::ReplyHeaderConvention header_convention_;
  // The attempt's request frame, for the event thread to know its echo.
  char request_[255] = {};
  int request_length_ = 0;
  // Set by the event thread when this attempt's first frame was the
  // request's own echo (then set aside).
  std::atomic<bool> echo_held_{false};
  // Under the exchange lock. Only a line that has shown a reply without an
  // echo before it takes a copy of the request as the gauge's reply.
  EchoState echo_ = EchoState::kUnknown;
  std::unique_ptr<AttemptCapture> capture_;  // only while tracing
  // The counter at the last byte received (event thread) and at the end of
  // the last attempt's judgement (under the exchange lock).
  std::atomic<long long> last_rx_{0};
  long long judged_at_ = 0;
  int wary_ = 0;  // under the exchange lock: see kWaryReplies
  std::atomic<uint32_t> refused_{0};
  bool reopen_tried_ = false;  // under the exchange lock
  DWORD last_reopen_ = 0;
};

#endif
