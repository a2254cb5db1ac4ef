#include "serial/KorvoPort.h"

#include <cstring>

#include "protocol/FrameCodec.h"
#include "protocol/TraceText.h"
#include "serial/SerialApi.h"
#include "serial/WaitClock.h"

using lumo::serial::Api;

namespace {

using lumo::serial::WaitClock;

void SleepFull(DWORD ms) {
  const WaitClock clock;
  for (DWORD left; (left = clock.LeftMs(ms)) > 0;) Api().Sleep(left);
}

}  // namespace

TKorvoComPort::AttemptCapture::AttemptCapture() {
  InitializeCriticalSection(&lock);
  QueryPerformanceFrequency(&frequency);
}

TKorvoComPort::AttemptCapture::~AttemptCapture() { DeleteCriticalSection(&lock); }

void TKorvoComPort::AttemptCapture::Begin() {
  EnterCriticalSection(&lock);
  length = 0;
  burst_count = 0;
  QueryPerformanceCounter(&sent);
  LeaveCriticalSection(&lock);
}

void TKorvoComPort::AttemptCapture::Add(const uint8_t* data, int count) {
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  EnterCriticalSection(&lock);
  const int room = static_cast<int>(sizeof bytes) - length;
  const int n = count < room ? count : room;
  if (n > 0) {
    std::memcpy(bytes + length, data, static_cast<size_t>(n));
    length = static_cast<uint16_t>(length + n);
    const auto at = static_cast<uint32_t>(
        frequency.QuadPart ? (now.QuadPart - sent.QuadPart) * 1000 / frequency.QuadPart : 0);
    // Beyond the last burst record, later bursts join it.
    if (burst_count < kBursts) bursts[burst_count++] = {length, at};
    else bursts[kBursts - 1].end = length;
  }
  LeaveCriticalSection(&lock);
}

TKorvoComPort::TKorvoComPort(uint8_t port_number, ReplyMode mode, std::shared_ptr<lumo::Trace> trace)
    : TComPort(port_number, kDeferReception, std::move(trace), kBaudRate) {
  try {
    SetParity(NOPARITY);
    SetDataBits(8);
    SetStopBits(1);
    Purge();
    // The line settings already hold RTS low (RTS control disabled); a
    // driver that refuses the escape function as well costs nothing.
    try {
      EscapeFunction(CLRRTS);
    } catch (const lumo::ESerialIO&) {
      if (Tracer()) Tracer()->Caught("clear-rts");
    }
    SetBaudRate(kBaudRate);
  } catch (...) {
    if (Tracer())
      Tracer()->Event("port-open-failed", "error=%lu class=%s", GetLastError(),
                      lumo::CurrentExceptionClass());
    throw;
  }
  if (Tracer()) capture_ = std::make_unique<AttemptCapture>();
  judged_at_ = WaitClock::Ticks();
  receive_state_ = kIdle;
  result_code_ = 0;
  link_state_ = lumo::kLinkValidReply;
  // Last before reception starts, so that no earlier step's exception can
  // leave it behind. Without it (none to be had) the port keeps the fixed window.
  if (mode == ReplyMode::kEndOnValidFrame) frame_end_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (Tracer()) Tracer()->Event("port-open", "mode=%s", frame_end_ ? "fast" : "fixed");
  // Only now may the event thread reach DataReceived of this class.
  StartReception();
}

TKorvoComPort::~TKorvoComPort() {
  // Stop the service threads before this object's members go away.
  ClosePort();
  if (frame_end_) CloseHandle(frame_end_);
}

void TKorvoComPort::DataReceived(int32_t count) {
  if (count > 0) last_rx_.store(WaitClock::Ticks());
  if (!capture_) {
    for (int32_t i = 0; i < count; ++i) ProcessByte(ReadByte());
    return;
  }
  // Captured before they are processed: a frame end wakes the exchange,
  // which then traces what has arrived.
  uint8_t chunk[256];
  while (count > 0) {
    const int n = count < static_cast<int32_t>(sizeof chunk) ? count : static_cast<int>(sizeof chunk);
    for (int i = 0; i < n; ++i) chunk[i] = ReadByte();
    capture_->Add(chunk, n);
    for (int i = 0; i < n; ++i) ProcessByte(chunk[i]);
    count -= n;
  }
}

void TKorvoComPort::ProcessByte(uint8_t byte) {
  switch (receive_state_.load()) {
    case kCollecting: {
      // The length is 8-bit: the 256th byte wraps it to 0.
      const uint8_t length = received_length_.load();
      receive_buffer_[length] = byte;
      received_length_.store(static_cast<uint8_t>(length + 1));
      if (byte == '\r' && IsEcho(length + 1)) {
        // The line gave back the request itself: wait for the gauge's frame.
        echo_held_.store(true);
        received_length_.store(0);
        receive_state_.store(kWaitingForAt);
        break;
      }
      if (byte == '\r' && frame_end_) {
        frame_end_length_.store(static_cast<uint8_t>(length + 1));
        SetEvent(frame_end_);
      }
      break;
    }
    case kWaitingForAt:
      if (byte == '@') {
        SetLinkState(lumo::kLinkValidReply);
        receive_buffer_[0] = byte;
        received_length_.store(1);
        receive_state_.store(kCollecting);
      }
      break;
    default:  // idle: dropped
      break;
  }
}

// The first frame of an attempt that repeats its request byte for byte, as an
// RS-485 converter whose receiver stays on gives it back.
bool TKorvoComPort::IsEcho(int length) const {
  return !echo_held_.load() && length == request_length_ &&
         std::memcmp(receive_buffer_, request_, static_cast<size_t>(length)) == 0;
}

void TKorvoComPort::ResetReceive() {
  echo_held_.store(false);
  received_length_.store(0);
  receive_state_.store(kWaitingForAt);
  result_code_.store(kResultBusy);
  // A frame end signalled for an earlier attempt then finds no frame to
  // judge: cheaper than clearing the event on every attempt.
  frame_end_length_.store(0);
}

// Bytes that came in after the last attempt was judged answer nothing of ours
// (a far end replaying a backlog after a stall, another master on the bus): no
// frame is sent into them, or their replies would meet it.
void TKorvoComPort::WaitForQuietLine() {
  if (last_rx_.load() <= judged_at_) return;
  const WaitClock waited;
  for (;;) {
    const DWORD quiet = WaitClock::MsSince(last_rx_.load());
    if (quiet >= kQuietMs || waited.LeftMs(kQuietMaxMs) == 0) break;
    Api().Sleep(kQuietMs - quiet);
  }
  wary_ = kWaryReplies;
  if (Tracer())
    Tracer()->Event("line-busy", "waited=%lums",
                    static_cast<unsigned long>(kQuietMaxMs - waited.LeftMs(kQuietMaxMs)));
}

void TKorvoComPort::SendFrame(const char* frame, uint8_t length) {
  uint8_t send_buffer[255];
  const uint8_t n = length < sizeof send_buffer ? length : sizeof send_buffer;
  std::memcpy(send_buffer, frame, n);
  // Known to the event thread before it may collect this attempt's bytes.
  std::memcpy(request_, frame, n);
  request_length_ = n;
  ResetReceive();
  if (capture_) capture_->Begin();
  try {
    // Nothing of an earlier attempt's frame may leave after this one: a line
    // that stalled and resumed would carry a backlog whose replies meet
    // later requests.
    if (IsOpen()) DropOutput();
    PutBlock(send_buffer, n);
  } catch (const lumo::ESerialIO&) {
    if (Tracer()) Tracer()->Caught("send");
    result_code_.store(kResultNotQueued);
  }
}

bool TKorvoComPort::Judge(const uint8_t* source, uint8_t* destination, uint8_t expected_length,
                          uint8_t& received, const char* request, uint8_t request_length) {
  // Judge a snapshot, so that bytes still arriving cannot change what was
  // validated before it is copied.
  uint8_t snapshot[256];
  std::memcpy(snapshot, source, received);
  uint8_t expected = expected_length;
  const bool accepted =
      validator_.entry &&
      validator_.entry(validator_.bound, kValidatorTag, reinterpret_cast<const char*>(snapshot),
                       255, &received, &expected) != 0;
  if (!accepted) return false;
  if (!header_convention_.Take(snapshot, received, request, request_length)) {
    ++refused_;
    return false;
  }
  std::memcpy(destination, snapshot, received);
  return true;
}

bool TKorvoComPort::AcceptEarlyFrame(const WaitClock& window, uint8_t* destination,
                                     uint8_t expected_length, uint8_t& received,
                                     const char* request, uint8_t request_length) {
  for (DWORD left; (left = window.LeftMs(kReplyWindowMs)) > 0;) {
    // A wait that Windows ends early on its tick is simply waited again.
    if (Api().WaitForSingleObject(frame_end_, left) != WAIT_OBJECT_0) continue;
    received = frame_end_length_.load();
    if (received < 2 || receive_buffer_[received - 2] != '*' || receive_buffer_[received - 1] != '\r')
      continue;
    // No reply can answer a frame that has not left yet.
    if (OutputPending() > 0) continue;
    // Another frame right behind this one (a backlog replayed back to back):
    // neither is taken early; the window's end judges the whole.
    if (wary_ > 0 && FrameFollows(received)) continue;
    // A frame that fails here (a bad check, a garbled field the validator
    // raises on, a reply to another request) is judged again at the window's
    // end, exactly as in the fixed mode.
    try {
      if (Judge(receive_buffer_, destination, expected_length, received, request, request_length))
        return true;
    } catch (...) {
      if (Tracer()) Tracer()->Caught("early-frame");
    }
  }
  return false;
}

// Whether a '@' comes in within kFrameGapMs after the first `end` collected
// bytes (the length is 8-bit and wraps like the buffer's index).
bool TKorvoComPort::FrameFollows(uint8_t end) const {
  SleepFull(kFrameGapMs);
  const auto extra = static_cast<uint8_t>(received_length_.load() - end);
  for (unsigned k = 0; k < extra; ++k)
    if (receive_buffer_[static_cast<uint8_t>(end + k)] == '@') return true;
  return false;
}

// While wary (see kWaryReplies), a window that ends with bytes still coming
// in is looked past by kFrameGapMs: true when a further frame starts behind
// the first one judged. What arrives meanwhile is only looked at, never
// judged: the window is not stretched for a reply.
bool TKorvoComPort::FrameRightBehind(uint8_t received) {
  if (wary_ == 0 || received == 0 || WaitClock::MsSince(last_rx_.load()) >= kFrameGapMs) return false;
  const void* end = std::memchr(receive_buffer_, '\r', received);
  if (!end) return false;
  if (!FrameFollows(static_cast<uint8_t>(static_cast<const uint8_t*>(end) - receive_buffer_ + 1)))
    return false;
  if (Tracer()) Tracer()->Event("frame-behind");
  return true;
}

// A frame followed by bytes that start no further frame (a bus nobody biases
// adds one when the gauge lets go of it): the frame alone is judged. Where a
// second '@' follows, the whole is judged as before, so that a late reply and
// the gauge's own in one window never hand over the late one.
uint8_t TKorvoComPort::WithoutTrailingNoise(uint8_t received) const {
  const uint8_t* end = static_cast<const uint8_t*>(std::memchr(receive_buffer_, '\r', received));
  if (!end) return received;
  const auto frame = static_cast<uint8_t>(end - receive_buffer_ + 1);
  if (frame == received || std::memchr(end + 1, '@', received - frame)) return received;
  return frame;
}

int32_t TKorvoComPort::WaitReply(uint8_t* destination, uint8_t expected_length,
                                 uint8_t& received, const char* request, uint8_t request_length) {
  const WaitClock window;
  if (frame_end_) {
    if (AcceptEarlyFrame(window, destination, expected_length, received, request, request_length)) {
      SetLinkState(lumo::kLinkValidReply);
      result_code_.store(kResultReplyCopied);
      return kResultReplyCopied;
    }
    // The window ended without an early verdict: judge what is there.
  } else {
    // A fixed window: neither shortened by a complete frame nor stretched
    // for one still arriving.
    SleepFull(kReplyWindowMs);
  }
  received = received_length_.load();
  const bool echo = echo_held_.load();
  const uint8_t* judged = receive_buffer_;
  if (FrameRightBehind(received)) {
    // The window ended inside a backlog replayed back to back: its first
    // frame is not this request's reply.
    SetLinkState(lumo::kLinkBadReply);
    result_code_.store(kResultRejected);
    return kResultRejected;
  }
  if (OutputPending() > 0) {
    // The frame never (wholly) left: whatever came in answers something else.
    if (Tracer()) Tracer()->Event("not-sent", "pending=%u", static_cast<unsigned>(OutputPending()));
    received = 0;
  } else if (echo && received > 0) {
    echo_ = EchoState::kEchoes;
  } else if (echo && echo_ == EchoState::kQuiet) {
    // A line that has never echoed: the copy is the gauge's own reply.
    judged = reinterpret_cast<const uint8_t*>(request_);
    received = static_cast<uint8_t>(request_length_);
  }
  if (received == 0) {
    wary_ = kWaryReplies;
    SetLinkState(lumo::kLinkNoReply);
    result_code_.store(kResultNoReply);
    return kResultNoReply;
  }
  if (judged == receive_buffer_) {
    const uint8_t frame = WithoutTrailingNoise(received);
    if (frame < received && Tracer())
      Tracer()->Event("noise", "after-frame=%u", static_cast<unsigned>(received - frame));
    received = frame;
  }
  if (Judge(judged, destination, expected_length, received, request, request_length)) {
    SetLinkState(lumo::kLinkValidReply);
    result_code_.store(kResultReplyCopied);
    return kResultReplyCopied;
  }
  SetLinkState(lumo::kLinkBadReply);
  result_code_.store(kResultRejected);
  return kResultRejected;
}

void TKorvoComPort::RecoverLostDevice() {
  if (!DeviceLost()) return;
  const DWORD now = GetTickCount();
  if (reopen_tried_ && now - last_reopen_ < kReopenIntervalMs) return;
  reopen_tried_ = true;
  last_reopen_ = now;
  // The device may come back behind another converter.
  if (Reopen()) echo_ = EchoState::kUnknown;
}

int32_t TKorvoComPort::Exchange(uint8_t /*tag*/, const char* frame, uint8_t frame_length,
                                uint8_t* reply, uint8_t expected_length, uint8_t /*unused1*/,
                                int32_t /*unused2*/) {
  for (int attempt = 1; attempt <= kAttempts; ++attempt) {
    exchange_lock_.Enter();
    try {
      if (attempt == 1) RecoverLostDevice();
      header_convention_.BeginAttempt();
      if (Tracer()) {
        char escaped[4 * 256];
        lumo::protocol::EscapeBytes(reinterpret_cast<const uint8_t*>(frame), frame_length, escaped,
                                    sizeof escaped);
        Tracer()->Event("send", "attempt=%d frame=\"%s\"", attempt, escaped);
      }
      WaitForQuietLine();
      SendFrame(frame, frame_length);
      if (expected_length == 0) {
        exchange_lock_.Leave();
        result_code_.store(kResultBusy);
        return 0;
      }
      uint8_t local[256];
      uint8_t received = 0;
      const int32_t verdict = WaitReply(local, expected_length, received, frame, frame_length);
      judged_at_ = WaitClock::Ticks();
      if (capture_) TraceAttempt(attempt, verdict, received);
      if (verdict == kResultReplyCopied && GetLinkState() == lumo::kLinkValidReply) {
        if (!echo_held_.load() && echo_ == EchoState::kUnknown) echo_ = EchoState::kQuiet;
        if (wary_ > 0) --wary_;
        std::memcpy(reply, local, received < expected_length ? received : expected_length);
        exchange_lock_.Leave();
        result_code_.store(kResultBusy);
        return 0;
      }
      exchange_lock_.Leave();
      result_code_.store(kResultBusy);
    } catch (...) {
      judged_at_ = WaitClock::Ticks();
      if (capture_) TraceAttempt(attempt, -1, 0);
      exchange_lock_.Leave();
      result_code_.store(kResultBusy);
      if (attempt == kAttempts) throw;
    }
    // The exchange lock is free during the pause.
    if (attempt < kAttempts) SleepFull(kAttemptPauseMs);
  }
  return 0;
}

// Called with the exchange lock held; verdict -1 stands for an attempt that an
// exception ended (inside its catch block).
void TKorvoComPort::TraceAttempt(int attempt, int32_t verdict, uint8_t received) {
  lumo::Trace& trace = *Tracer();
  uint8_t bytes[256];
  AttemptCapture::Burst bursts[AttemptCapture::kBursts];
  EnterCriticalSection(&capture_->lock);
  const uint16_t length = capture_->length;
  const int burst_count = capture_->burst_count;
  std::memcpy(bytes, capture_->bytes, length);
  std::memcpy(bursts, capture_->bursts, sizeof bursts);
  LeaveCriticalSection(&capture_->lock);
  // Bursts closer together than kBurstGapMs make one line: on a paced line
  // the driver hands over a frame in pieces of a few characters.
  constexpr uint32_t kBurstGapMs = 20;
  uint16_t start = 0;
  for (int i = 0; i < burst_count;) {
    int last = i;
    while (last + 1 < burst_count && bursts[last + 1].at_ms - bursts[last].at_ms < kBurstGapMs) ++last;
    char escaped[4 * 256 + 1];
    lumo::protocol::EscapeBytes(bytes + start, bursts[last].end - start, escaped, sizeof escaped);
    trace.Event("recv", "attempt=%d at=+%lums until=+%lums bytes=\"%s\"", attempt,
                static_cast<unsigned long>(bursts[i].at_ms),
                static_cast<unsigned long>(bursts[last].at_ms), escaped);
    start = bursts[last].end;
    i = last + 1;
  }
  if (echo_held_.load()) trace.Event("echo", "attempt=%d", attempt);
  if (verdict == -1) {
    trace.ErrorVerdict(attempt);
    return;
  }
  if (verdict == kResultReplyCopied) {
    trace.CheckVerdict(attempt, lumo::kReplyValid, received);
    return;
  }
  if (verdict == kResultNoReply) {
    trace.Event("verdict", "attempt=%d result=no-reply", attempt);
    return;
  }
  // Rejected: tell a frame that is not this request's from a bad one.
  uint8_t judged[256];
  std::memcpy(judged, receive_buffer_, received);
  uint32_t code = 0;
  try {
    code = lumo::protocol::CheckReplyFrame(judged, received);
  } catch (...) {
    trace.ErrorVerdict(attempt);
    return;
  }
  if (code == lumo::kReplyValid)
    trace.Event("verdict", "attempt=%d result=not-taken why=other-request", attempt);
  else
    trace.CheckVerdict(attempt, code, received);
}
