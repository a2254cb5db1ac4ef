#include "serial/KorvoPort.h"

#include <cstring>

TKorvoComPort::TKorvoComPort(uint8_t port_number, ReplyMode mode)
    : TComPort(port_number, kDeferReception) {
  SetParity(NOPARITY);
  SetDataBits(8);
  SetStopBits(1);
  Purge();
  EscapeFunction(CLRRTS);
  SetBaudRate(9600);
  receive_state_ = kIdle;
  result_code_ = 0;
  link_state_ = lumo::kLinkValidReply;
  // Last before reception starts, so that no earlier step's exception can
  // leave it behind. Without it (none to be had) the port keeps the fixed window.
  if (mode == ReplyMode::kEndOnValidFrame) frame_end_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  // Only now may the event thread reach DataReceived of this class.
  StartReception();
}

TKorvoComPort::~TKorvoComPort() {
  // Stop the service threads before this object's members go away.
  ClosePort();
  if (frame_end_) CloseHandle(frame_end_);
}

void TKorvoComPort::DataReceived(int32_t count) {
  for (int32_t i = 0; i < count; ++i) ProcessByte();
}

void TKorvoComPort::ProcessByte() {
  const uint8_t byte = ReadByte();
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
  try {
    PutBlock(send_buffer, n);
  } catch (const lumo::ESerialIO&) {
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
      SendFrame(frame, frame_length);
      if (expected_length == 0) {
        exchange_lock_.Leave();
        result_code_.store(kResultBusy);
        return 0;
      }
      uint8_t local[256];
      uint8_t received = 0;
      const int32_t verdict = WaitReply(local, expected_length, received, frame, frame_length);
      if (verdict == kResultReplyCopied && GetLinkState() == lumo::kLinkValidReply) {
        std::memcpy(reply, local, received < expected_length ? received : expected_length);
        exchange_lock_.Leave();
        result_code_.store(kResultBusy);
        return 0;
      }
      exchange_lock_.Leave();
      result_code_.store(kResultBusy);
    } catch (...) {
      exchange_lock_.Leave();
      result_code_.store(kResultBusy);
      if (attempt == kAttempts) throw;
    }
    // The exchange lock is free during the pause.
    if (attempt < kAttempts) Sleep(kAttemptPauseMs);
  }
  return 0;
}
