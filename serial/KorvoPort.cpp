#include "serial/KorvoPort.h"

#include <cstring>

#include "protocol/FrameCodec.h"
#include "protocol/TraceText.h"

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
    : TComPort(port_number, kDeferReception, std::move(trace)) {
  try {
    SetParity(NOPARITY);
    SetDataBits(8);
    SetStopBits(1);
    Purge();
    EscapeFunction(CLRRTS);
    SetBaudRate(9600);
  } catch (...) {
    if (Tracer())
      Tracer()->Event("port-open-failed", "error=%lu class=%s", GetLastError(),
                      lumo::CurrentExceptionClass());
    throw;
  }
  if (Tracer()) capture_ = std::make_unique<AttemptCapture>();
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

void TKorvoComPort::ResetReceive() {
  received_length_.store(0);
  receive_state_.store(kWaitingForAt);
  result_code_.store(kResultBusy);
  // A frame end signalled for an earlier attempt then finds no frame to
  // judge: cheaper than clearing the event on every attempt.
  frame_end_length_.store(0);
}

void TKorvoComPort::SendFrame(const char* frame, uint8_t length) {
  ResetReceive();
  uint8_t send_buffer[255];
  const uint8_t n = length < sizeof send_buffer ? length : sizeof send_buffer;
  std::memcpy(send_buffer, frame, n);
  if (capture_) capture_->Begin();
  try {
    PutBlock(send_buffer, n);
  } catch (const lumo::ESerialIO&) {
    if (Tracer()) Tracer()->Caught("send");
    result_code_.store(kResultNotQueued);
  }
}

bool TKorvoComPort::Judge(uint8_t* destination, uint8_t expected_length, uint8_t& received,
                          const char* request, uint8_t request_length) {
  // Judge a snapshot, so that bytes still arriving cannot change what was
  // validated before it is copied.
  uint8_t snapshot[256];
  std::memcpy(snapshot, receive_buffer_, received);
  uint8_t expected = expected_length;
  const bool accepted =
      validator_.entry &&
      validator_.entry(validator_.bound, kValidatorTag, reinterpret_cast<const char*>(snapshot),
                       255, &received, &expected) != 0;
  if (!accepted || !header_convention_.Take(snapshot, received, request, request_length)) return false;
  std::memcpy(destination, snapshot, received);
  return true;
}

bool TKorvoComPort::AcceptEarlyFrame(uint8_t* destination, uint8_t expected_length,
                                     uint8_t& received, const char* request,
                                     uint8_t request_length) {
  const DWORD start = GetTickCount();
  for (;;) {
    const DWORD elapsed = GetTickCount() - start;
    if (elapsed >= kReplyWindowMs) return false;
    if (WaitForSingleObject(frame_end_, kReplyWindowMs - elapsed) != WAIT_OBJECT_0) return false;
    received = frame_end_length_.load();
    if (received < 2 || receive_buffer_[received - 2] != '*' || receive_buffer_[received - 1] != '\r')
      continue;
    // A frame that fails here (a bad check, a garbled field the validator
    // raises on, a reply to another request) is judged again at the window's
    // end, exactly as in the fixed mode.
    try {
      if (Judge(destination, expected_length, received, request, request_length)) return true;
    } catch (...) {
      if (Tracer()) Tracer()->Caught("early-frame");
    }
  }
}

int32_t TKorvoComPort::WaitReply(uint8_t* destination, uint8_t expected_length,
                                 uint8_t& received, const char* request, uint8_t request_length) {
  if (frame_end_) {
    if (AcceptEarlyFrame(destination, expected_length, received, request, request_length)) {
      SetLinkState(lumo::kLinkValidReply);
      result_code_.store(kResultReplyCopied);
      return kResultReplyCopied;
    }
    // The window ended without an early verdict: judge what is there.
  } else {
    // A fixed window: neither shortened by a complete frame nor stretched
    // for one still arriving.
    Sleep(kReplyWindowMs);
  }
  received = received_length_.load();
  if (received == 0) {
    SetLinkState(lumo::kLinkNoReply);
    result_code_.store(kResultNoReply);
    return kResultNoReply;
  }
  if (Judge(destination, expected_length, received, request, request_length)) {
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
  Reopen();
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
      SendFrame(frame, frame_length);
      if (expected_length == 0) {
        exchange_lock_.Leave();
        result_code_.store(kResultBusy);
        return 0;
      }
      uint8_t local[256];
      uint8_t received = 0;
      const int32_t verdict = WaitReply(local, expected_length, received, frame, frame_length);
      if (capture_) TraceAttempt(attempt, verdict, received);
      if (verdict == kResultReplyCopied && GetLinkState() == lumo::kLinkValidReply) {
        std::memcpy(reply, local, received < expected_length ? received : expected_length);
        exchange_lock_.Leave();
        result_code_.store(kResultBusy);
        return 0;
      }
      exchange_lock_.Leave();
      result_code_.store(kResultBusy);
    } catch (...) {
      if (capture_) TraceAttempt(attempt, -1, 0);
      exchange_lock_.Leave();
      result_code_.store(kResultBusy);
      if (attempt == kAttempts) throw;
    }
    // The exchange lock is free during the pause.
    if (attempt < kAttempts) Sleep(kAttemptPauseMs);
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
