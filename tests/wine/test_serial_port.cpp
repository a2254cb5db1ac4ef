// TComPort under Wine on a raw line of the simulated gauge (lumo-sim --raw,
// started by scripts/sim-run.sh): the test plays the far end itself.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>
#include <string>
#include <vector>

#include "LumoHost.h"
#include "SimGauge.h"
#include "Wait.h"
#include "serial/ComPort.h"
#include "serial/KorvoPort.h"
#include "serial/SerialApi.h"

// White-box access to the rings.
struct TComPortProbe {
  static CRITICAL_SECTION& Lock(TComPort& p) { return p.lock_; }
  static HANDLE Device(TComPort& p) { return p.device_; }
  static uint16_t OutHead(TComPort& p) { return static_cast<uint16_t>(p.out_ring_.Head()); }
  static uint8_t OutFull(TComPort& p) { return p.out_ring_.Full() ? 1 : 0; }
  static const uint8_t* OutRing(TComPort& p) { return p.out_ring_.Storage(); }
  static int32_t InFull(TComPort& p) { return p.in_ring_.Full() ? -1 : 0; }
  static uint32_t MaskInForce(TComPort& p) { return p.mask_in_force_.load(); }
  // Moves both indices of the idle, empty output ring to at, through the
  // ring itself (filled and drained behind the writer's back).
  static void SetOutIndices(TComPort& p, uint16_t at) {
    const std::vector<uint8_t> filler(at);
    p.out_ring_.Put(filler.data(), filler.size());
    p.out_ring_.Consume(filler.size());
  }
};

namespace {

const int kPort = static_cast<int>(SimGauge::Com());  // 12, above 9: needs the "\\.\COMn" path
constexpr int kMissingPort = 77;  // never linked

std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1103515245u + 12345u;
    v[i] = static_cast<uint8_t>(seed >> 16);
  }
  return v;
}

using lumo_test::WaitFor;

// A device counts as lost after three failed probes a second apart.
constexpr int kLossNoticedMs = 3 * 1000 + 3000;

// A descendant as the gauge port is one: deferred reception, its handler
// either takes every byte (collecting them) or leaves them in the ring.
class RecordingPort : public TComPort {
 public:
  RecordingPort(uint16_t port, bool consume)
      : TComPort(port, kDeferReception), consume_(consume) {
    got_.resize(1 << 16);
    StartReception();
  }
  ~RecordingPort() override { ClosePort(); }

  size_t Count() const { return size_.load(); }
  int Calls() const { return calls_.load(); }
  std::vector<uint8_t> Bytes() const { return {got_.begin(), got_.begin() + size_.load()}; }
  using TComPort::ClosePort;

 protected:
  void DataReceived(int32_t count) override {
    calls_++;
    if (!consume_) return;
    for (int32_t i = 0; i < count; ++i) {
      size_t at = size_.load();
      if (at < got_.size()) got_[at] = ReadByte();
      size_ = at + 1;
    }
  }

 private:
  bool consume_;
  std::vector<uint8_t> got_;
  std::atomic<size_t> size_{0};
  std::atomic<int> calls_{0};
};

class SerialPortTest : public ::testing::Test {
 protected:
  // An unpaced line: these tests are about order, rings and the pty's
  // buffer, not wire time, and 30000 bytes at the port's 5760 baud would take
  // almost a minute.
  void SetUp() override {
    ASSERT_EQ(line_.Ok("set pace=off"), "ok");
    Link();
  }
  void TearDown() override { line_.Ok("unlink com=" + std::to_string(kPort)); }
  // A fresh pty behind COMn: the device is (back) there.
  void Link() { line_.Ok("link com=" + std::to_string(kPort)); }
  std::string Settings() { return line_.Ok("get line"); }
  SimGauge line_;
};

template <typename E>
std::string MessageOf(const std::function<void()>& op) {
  try {
    op();
  } catch (const E& e) {
    return e.what();
  } catch (const std::exception& e) {
    return std::string("wrong exception: ") + e.what();
  }
  return "no exception";
}

// ---------------------------------------------------------------------------

TEST(SerialPortClosed, PortZeroOpensNothingAndOperationsNameCom0) {
  TComPort port(0);
  EXPECT_FALSE(port.IsOpen());
  uint8_t byte = 1;
  struct Case {
    const char* name;
    std::function<void()> op;
  } cases[] = {
      {"PutBlock", [&] { port.PutBlock(&byte, 1); }},
      {"ReadByte", [&] { port.ReadByte(); }},
      {"Purge", [&] { port.Purge(); }},
  };
  for (const auto& c : cases)
    EXPECT_EQ(MessageOf<lumo::EPortNotOpen>(c.op), "Port COM0 not open") << c.name;
  // Setters only store; peeking a closed port is refused, not a crash.
  port.SetBaudRate(9600);
  port.SetStopBits(2);
  EXPECT_EQ(port.BaudRate(), 9600u);
  EXPECT_EQ(port.StopBits(), 2);
  EXPECT_EQ(MessageOf<lumo::EBufferIsEmpty>([&] { port.PeekByte(1); }),
            "Buffer is empty for port COM0");
  EXPECT_EQ(MessageOf<lumo::EBufferIsEmpty>([&] { port.PeekByte(0); }),
            "Buffer is empty for port COM0");
  EXPECT_EQ(MessageOf<lumo::ESerialIO>([&] { port.EscapeFunction(CLRRTS); }),
            lumo_test::Cp1251("Не удается переключить RTS"));
}

TEST(SerialPortClosed, MissingPortRaisesOpenFailInCp1251) {
  ASSERT_EQ(SimGauge().Ok("unlink com=" + std::to_string(kMissingPort)), "ok");
  EXPECT_EQ(MessageOf<lumo::EOpenPortFail>([] { TComPort port(kMissingPort); }),
            lumo_test::Cp1251("Невозможно открыть COM77"));
}

TEST_F(SerialPortTest, OpensWithDefaultsAndRtsControlOff) {
  TComPort port(kPort);
  ASSERT_TRUE(port.IsOpen());
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  ASSERT_TRUE(GetCommState(TComPortProbe::Device(port), &dcb));
  // 5760 is no standard tty rate: Wine asks for a custom divisor, which a pty
  // ignores, and reads 38400 back.
  EXPECT_EQ(port.BaudRate(), 5760u);
  EXPECT_TRUE(dcb.BaudRate == 5760u || dcb.BaudRate == 38400u) << dcb.BaudRate;
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, NOPARITY);
  EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
  EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
  EXPECT_EQ(port.ErrorFlags(), 0u);
}

TEST_F(SerialPortTest, StopBitsMapAndKeepValuesLeaveTheLine) {
  TComPort port(kPort);
  HANDLE h = TComPortProbe::Device(port);
  auto stop_bits = [&] {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(h, &dcb);
    return dcb.StopBits;
  };
  struct Case {
    uint8_t value;
    BYTE expected;
    const char* tty;
  } cases[] = {
      {7, TWOSTOPBITS, "stop=2"}, {3, TWOSTOPBITS, "stop=2"},  // 3 keeps what is there
      {0, ONESTOPBIT, "stop=1"},  {3, ONESTOPBIT, "stop=1"},
      {2, TWOSTOPBITS, "stop=2"}, {1, ONESTOPBIT, "stop=1"},
  };
  for (const auto& c : cases) {
    port.SetStopBits(c.value);
    EXPECT_EQ(port.StopBits(), c.value);
    EXPECT_EQ(stop_bits(), c.expected) << "value " << int(c.value);
    EXPECT_NE(Settings().find(c.tty), std::string::npos) << "value " << int(c.value);
  }

  // Keep values rewrite the driver's speed and framing unchanged; the flags
  // become the library's own line (LeftoverSettingsAreReplaced).
  DCB before{};
  before.DCBlength = sizeof before;
  GetCommState(h, &before);
  before.BaudRate = 19200;
  before.Parity = EVENPARITY;
  before.ByteSize = 7;
  before.fRtsControl = RTS_CONTROL_ENABLE;
  ASSERT_TRUE(SetCommState(h, &before));
  GetCommState(h, &before);
  std::string tty_before = Settings();
  port.SetLine(0, 5, 9, 3);
  DCB after{};
  after.DCBlength = sizeof after;
  GetCommState(h, &after);
  EXPECT_EQ(after.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
  EXPECT_EQ(after.BaudRate, before.BaudRate);
  EXPECT_EQ(after.Parity, before.Parity);
  EXPECT_EQ(after.ByteSize, before.ByteSize);
  EXPECT_EQ(after.StopBits, before.StopBits);
  EXPECT_EQ(Settings(), tty_before);
}


TEST_F(SerialPortTest, BlockAcrossTheRingEndArrivesInOrder) {
  TComPort port(kPort);
  std::vector<uint8_t> block = Pattern(200, 7);
  {
    // The writer is idle with an empty ring; move both indices to 4000.
    EnterCriticalSection(&TComPortProbe::Lock(port));
    TComPortProbe::SetOutIndices(port, 4000);
    port.PutBlock(block.data(), 200);
    EXPECT_EQ(TComPortProbe::OutHead(port), 104);
    const uint8_t* ring = TComPortProbe::OutRing(port);
    EXPECT_EQ(std::memcmp(ring + 4000, block.data(), 96), 0);
    EXPECT_EQ(std::memcmp(ring, block.data() + 96, 104), 0);
    LeaveCriticalSection(&TComPortProbe::Lock(port));
  }
  EXPECT_EQ(line_.Recv(200, 5000), block);
  EXPECT_TRUE(WaitFor([&] { return port.OutputPending() == 0; }, 5000));
  EXPECT_EQ(port.LastBlockCount(), 200);
}

TEST_F(SerialPortTest, FullOutputRingAndOneByteTooMany) {
  struct Case {
    uint16_t prefill, block;
  } cases[] = {{0, 4096}, {1000, 3096}, {4095, 1}};
  uint32_t seed = 1;
  for (const auto& c : cases) {
    TComPort port(kPort);
    std::vector<uint8_t> first = Pattern(c.prefill, seed++), second = Pattern(c.block, seed++);
    // Holding the port lock keeps the writer from draining the ring.
    EnterCriticalSection(&TComPortProbe::Lock(port));
    if (c.prefill) port.PutBlock(first.data(), c.prefill);
    EXPECT_EQ(TComPortProbe::OutFull(port), 0);
    port.PutBlock(second.data(), c.block);
    EXPECT_EQ(TComPortProbe::OutFull(port), 1) << c.prefill;
    EXPECT_EQ(port.OutputPending(), 4096);
    uint16_t head = TComPortProbe::OutHead(port);
    uint8_t extra = 0xEE;
    std::string message =
        MessageOf<lumo::EOutputBufferTooSmall>([&] { port.PutBlock(&extra, 1); });
    EXPECT_EQ(message, "Buffer too small for port COM" + std::to_string(kPort));
    EXPECT_EQ(TComPortProbe::OutHead(port), head);
    EXPECT_EQ(port.OutputPending(), 4096);
    LeaveCriticalSection(&TComPortProbe::Lock(port));

    std::vector<uint8_t> all = first;
    all.insert(all.end(), second.begin(), second.end());
    EXPECT_EQ(line_.Recv(4096, 10000), all) << c.prefill;
    EXPECT_TRUE(line_.Recv(1, 100).empty());  // the refused byte never went out
  }
}

TEST_F(SerialPortTest, ReadFromEmptyRingAndPurge) {
  RecordingPort port(kPort, false);
  EXPECT_EQ(MessageOf<lumo::EBufferIsEmpty>([&] { port.ReadByte(); }),
            "Buffer is empty for port COM" + std::to_string(kPort));
  line_.Send({1, 2, 3});
  ASSERT_TRUE(WaitFor([&] { return port.InputCount() == 3; }, 5000));
  EXPECT_EQ(port.PeekByte(3), 3);
  EXPECT_EQ(port.ReadByte(), 1);
  port.Purge();
  EXPECT_EQ(port.InputCount(), 0);
  EXPECT_THROW(port.ReadByte(), lumo::EBufferIsEmpty);
}

TEST_F(SerialPortTest, FullInputRingReadsNothingMoreUntilRoomAndAnEvent) {
  RecordingPort port(kPort, false);
  std::vector<uint8_t> stream = Pattern(8192 + 300, 3);
  line_.Send(std::vector<uint8_t>(stream.begin(), stream.end() - 1));
  ASSERT_TRUE(WaitFor([&] { return port.InputCount() == 8192; }, 10000)) << port.InputCount();
  EXPECT_EQ(TComPortProbe::InFull(port), -1);
  EXPECT_EQ(port.PeekByte(8192), stream[8191]);
  EXPECT_THROW(port.PeekByte(8193), lumo::EBufferIsEmpty);
  // More bytes: the full ring takes none and announces nothing.
  int calls = port.Calls();
  line_.Send({0x55});
  Sleep(300);  // a negative: give the event thread time to misbehave
  EXPECT_EQ(port.Calls(), calls);
  EXPECT_EQ(port.InputCount(), 8192);

  std::vector<uint8_t> got;
  for (int i = 0; i < 8192; ++i) got.push_back(port.ReadByte());
  // The rest waits in the driver for the next received-character event.
  line_.Send({stream.back()});
  ASSERT_TRUE(WaitFor([&] { return port.InputCount() == 301; }, 5000)) << port.InputCount();
  while (port.InputCount()) got.push_back(port.ReadByte());
  std::vector<uint8_t> expected(stream.begin(), stream.end() - 1);
  expected.push_back(0x55);
  expected.push_back(stream.back());
  EXPECT_EQ(got, expected);
}

TEST_F(SerialPortTest, PeerBytesArriveInOrderThroughDataReceived) {
  struct Case {
    size_t size;
    int chunks;
  } cases[] = {{1, 1}, {300, 3}, {20000, 1}, {30000, 12}};
  uint32_t seed = 11;
  for (const auto& c : cases) {
    RecordingPort port(kPort, true);
    std::vector<uint8_t> data = Pattern(c.size, seed++);
    size_t step = (c.size + c.chunks - 1) / c.chunks;
    for (size_t at = 0; at < c.size; at += step)
      line_.Send(std::vector<uint8_t>(data.begin() + at,
                                              data.begin() + std::min(c.size, at + step)));
    ASSERT_TRUE(WaitFor([&] { return port.Count() >= c.size; }, 20000))
        << c.size << ": got " << port.Count();
    port.ClosePort();
    EXPECT_EQ(port.Bytes(), data) << c.size;
  }
}

TEST_F(SerialPortTest, CancelledWaitDoesNotStopReception) {
  RecordingPort port(kPort, true);
  line_.Send({0x10});
  ASSERT_TRUE(WaitFor([&] { return port.Count() == 1; }, 5000));
  // Changing the mask completes the pending wait as cancelled under Wine.
  for (int i = 0; i < 3; ++i) SetCommMask(TComPortProbe::Device(port), TComPort::kEventMask);
  line_.Send({0x11, 0x12});
  ASSERT_TRUE(WaitFor([&] { return port.Count() == 3; }, 5000)) << port.Count();
  EXPECT_EQ(port.Bytes(), (std::vector<uint8_t>{0x10, 0x11, 0x12}));
}

// The lines as the modem-line shim under Wine last set them (a pty has none,
// and Wine answers no query for the output lines).
TEST_F(SerialPortTest, EscapeFunctionDrivesTheModemLines) {
  TComPort port(kPort);
  const char* state_file = std::getenv("LUMO_MODEM_STATE");
  ASSERT_NE(state_file, nullptr);
  constexpr int kDtr = 0x002, kRts = 0x004;  // TIOCM_DTR, TIOCM_RTS
  auto lines = [&] {
    int bits = -1;
    if (FILE* f = std::fopen((std::string("Z:") + state_file).c_str(), "r")) {
      if (std::fscanf(f, "%d", &bits) != 1) bits = -1;
      std::fclose(f);
    }
    return bits < 0 ? bits : bits & (kDtr | kRts);
  };
  const struct {
    DWORD code;
    int dtr_rts;
  } steps[] = {{SETDTR, kDtr}, {SETRTS, kDtr | kRts}, {CLRDTR, kRts}, {CLRRTS, 0}, {SETRTS, kRts}};
  for (const auto& step : steps) {
    port.EscapeFunction(step.code);
    EXPECT_EQ(lines(), step.dtr_rts) << "after code " << step.code;
  }
  EXPECT_EQ(MessageOf<lumo::ESerialIO>([&] { port.EscapeFunction(0xDEAD); }),
            lumo_test::Cp1251("Не удается переключить RTS"));
}

double CpuMs() {
  FILETIME c, e, k, u;
  GetProcessTimes(GetCurrentProcess(), &c, &e, &k, &u);
  auto ms = [](FILETIME f) {
    return ((static_cast<uint64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime) / 10000.0;
  };
  return ms(k) + ms(u);
}

// Closing does not sit out the 200 ms per thread, whether the line is alive,
// busy sending, or gone; a lost device does not make the threads spin.
TEST_F(SerialPortTest, ClosesPromptlyAndNeverSpins) {
  enum Kind { kIdle, kSending, kDeviceLost } kinds[] = {kIdle, kSending, kDeviceLost};
  for (Kind kind : kinds) {
    DWORD best = ~0u;
    for (int round = 0; round < 3; ++round) {
      Link();
      auto* port = new RecordingPort(kPort, true);
      if (kind == kSending) {
        std::vector<uint8_t> block(4096, 0xA5);
        port->PutBlock(block.data(), 4096);  // the peer does not read: the write stalls
      }
      if (kind == kDeviceLost) {
        line_.Ok("drop");
        double cpu = CpuMs();
        DWORD t0 = GetTickCount();
        Sleep(500);
        double spent = CpuMs() - cpu;
        EXPECT_LT(spent, 0.5 * (GetTickCount() - t0)) << "service threads spin";
      }
      LARGE_INTEGER f, a, b;
      QueryPerformanceFrequency(&f);
      QueryPerformanceCounter(&a);
      delete port;
      QueryPerformanceCounter(&b);
      DWORD ms = static_cast<DWORD>((b.QuadPart - a.QuadPart) * 1000 / f.QuadPart);
      EXPECT_LT(ms, 1000u) << "kind " << kind;  // the hard bound: 2 x 200 ms plus margin
      best = std::min(best, ms);
    }
    EXPECT_LT(best, 150u) << "kind " << kind;
  }
}

// ---------------------------------------------------------------------------
// A gauge port whose device goes away and comes back under the same name.

uint32_t LUMO_STDCALL AcceptFramed(void*, uint32_t, const char* reply, int32_t, uint8_t* received,
                                   uint8_t*) {
  const uint8_t n = *received;
  return n >= 3 && reply[0] == '@' && reply[n - 2] == '*' && reply[n - 1] == '\r' ? 1 : 0;
}

struct ExchangeOutcome {
  uint8_t link_state;
  DWORD ms;
};

// One exchange, answered by the far end when answer is set.
ExchangeOutcome ExchangeOnce(TKorvoComPort& port, SimGauge& line, bool answer) {
  static const char kRequest[] = "@03040047*\r";
  // The reply repeats the request's channel and code, as a gauge's does.
  const std::vector<uint8_t> reply = {'@', '0', '3', '0', '4', '*', '\r'};
  uint8_t buffer[64] = {};
  DWORD started = GetTickCount();
  std::thread peer;
  if (answer) {
    peer = std::thread([&] {
      if (line.Recv(sizeof kRequest - 1, 1000).size() == sizeof kRequest - 1)
        line.Send(reply);
    });
  }
  port.Exchange(TKorvoComPort::kValidatorTag, kRequest, sizeof kRequest - 1, buffer, 19, 0, 0);
  if (peer.joinable()) peer.join();
  return {port.GetLinkState(), GetTickCount() - started};
}

// Another program (a terminal, `mode`, a vendor tool) leaves flow control and
// handshakes on the port; the serial driver keeps them between handles. The
// gauge port sets its whole line: with XON/XOFF left on, one noise byte 0x13
// from the far end would stop every later frame.
TEST_F(SerialPortTest, LeftoverSettingsAreReplaced) {
  char path[24];
  std::snprintf(path, sizeof path, "\\\\.\\COM%d", kPort);
  auto read_dcb = [&](HANDLE h) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    EXPECT_TRUE(GetCommState(h, &dcb));
    return dcb;
  };
  for (const auto mode : {TKorvoComPort::ReplyMode::kFixedWindow, TKorvoComPort::ReplyMode::kEndOnValidFrame}) {
    {
      HANDLE other = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
      ASSERT_NE(other, INVALID_HANDLE_VALUE);
      DCB dcb = read_dcb(other);
      dcb.fOutX = dcb.fInX = TRUE;
      dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fDsrSensitivity = TRUE;
      dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
      dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
      dcb.fAbortOnError = dcb.fErrorChar = dcb.fNull = dcb.fParity = TRUE;
      ASSERT_TRUE(SetCommState(other, &dcb));
      CloseHandle(other);
    }
    TKorvoComPort port(static_cast<uint8_t>(kPort), mode);
    port.SetReplyValidator({&AcceptFramed, nullptr});
    // Wine ignores sharing modes: a second handle reads the line as it is.
    HANDLE look = CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(look, INVALID_HANDLE_VALUE);
    const DCB dcb = read_dcb(look);
    CloseHandle(look);
    const struct {
      const char* flag;
      DWORD value, expected;
    } flags[] = {
        {"fBinary", dcb.fBinary, TRUE},
        {"fParity", dcb.fParity, FALSE},
        {"fOutxCtsFlow", dcb.fOutxCtsFlow, FALSE},
        {"fOutxDsrFlow", dcb.fOutxDsrFlow, FALSE},
        {"fDtrControl", dcb.fDtrControl, DTR_CONTROL_ENABLE},
        {"fDsrSensitivity", dcb.fDsrSensitivity, FALSE},
        {"fOutX", dcb.fOutX, FALSE},
        {"fInX", dcb.fInX, FALSE},
        {"fErrorChar", dcb.fErrorChar, FALSE},
        {"fNull", dcb.fNull, FALSE},
        {"fRtsControl", dcb.fRtsControl, RTS_CONTROL_DISABLE},
        {"fAbortOnError", dcb.fAbortOnError, FALSE},
        {"BaudRate", dcb.BaudRate, 9600},
        {"ByteSize", dcb.ByteSize, 8},
    };
    for (const auto& f : flags) EXPECT_EQ(f.value, f.expected) << f.flag;
    line_.Send({0x13});
    EXPECT_EQ(ExchangeOnce(port, line_, true).link_state, lumo::kLinkValidReply) << "an XOFF stopped the output";
  }
}

TEST_F(SerialPortTest, LostDeviceCostsLittleAndIsReopenedWhenItReturns) {
  auto port = std::make_unique<TKorvoComPort>(static_cast<uint8_t>(kPort));
  port->SetReplyValidator({&AcceptFramed, nullptr});
  EXPECT_EQ(ExchangeOnce(*port, line_, true).link_state, lumo::kLinkValidReply);
  EXPECT_FALSE(port->DeviceLost());

  line_.Ok("drop");
  ASSERT_TRUE(WaitFor([&] { return port->DeviceLost(); }, kLossNoticedMs)) << "the loss goes unnoticed";
  // While it is gone: little CPU, requests end as no reply within the usual
  // failing-exchange time (about 740 ms), and never throw.
  const double cpu = CpuMs();
  const DWORD t0 = GetTickCount();
  Sleep(2000);  // the measuring window, not a wait for anything
  const double share = (CpuMs() - cpu) / (GetTickCount() - t0);
  // The goal is 1 %; the bound only catches a port that spins (about 50 %).
  EXPECT_LT(share, 0.10) << "the port is busy while its device is gone";
  std::printf("lost device: %.2f %% of one core\n", 100 * share);
  for (int i = 0; i < 2; ++i) {
    const ExchangeOutcome lost = ExchangeOnce(*port, line_, false);
    EXPECT_EQ(lost.link_state, lumo::kLinkNoReply);
    EXPECT_LT(lost.ms, 2000u);
  }

  // Back under the same name: a request succeeds soon after.
  Link();
  const DWORD back = GetTickCount();
  bool answered = false;
  while (!answered && GetTickCount() - back < 10000)
    answered = ExchangeOnce(*port, line_, true).link_state == lumo::kLinkValidReply;
  ASSERT_TRUE(answered) << "never recovered";
  const DWORD recovered_ms = GetTickCount() - back;
  std::printf("recovered %lu ms after the device came back\n", recovered_ms);
  EXPECT_LT(recovered_ms, 4000u);
  EXPECT_FALSE(port->DeviceLost());

  // A working device is never reopened: the exchange keeps its timing.
  EXPECT_EQ(ExchangeOnce(*port, line_, true).link_state, lumo::kLinkValidReply);

  // Released while lost, promptly.
  line_.Ok("drop");
  ASSERT_TRUE(WaitFor([&] { return port->DeviceLost(); }, kLossNoticedMs));
  const DWORD r0 = GetTickCount();
  port.reset();
  const DWORD release_ms = GetTickCount() - r0;
  std::printf("released in %lu ms while lost\n", release_ms);
  EXPECT_LT(release_ms, 1000u) << "release while lost";
}

// ---------------------------------------------------------------------------
// Failures at the Win32 boundary, as real adapters and their drivers produce
// them: wrappers around the port's Win32 calls fail the chosen call with the
// chosen code (once or until cleared) or cut writes short; all else passes.

enum class Call {
  kNone,
  kSetupComm,
  kSetCommState,
  kWaitCommEvent,
  kWaitResult,
  kClearCommError,
  kReadFile,
  kWriteFile,
  kGetCommState,
  kSetCommTimeouts,
  kPurgeComm,
  kEscapeCommFunction,
  kCancelIoEx,
  kSetCommMaskTxEmpty,  // SetCommMask refused while the mask holds 0x2000
  kSetCommStateRate,    // SetCommState refused for a rate the driver does not list (5760)
  kSlowRead,            // ReadFile takes this many ms (the code) before it starts
};

struct Injected {
  std::atomic<Call> call{Call::kNone};
  std::atomic<DWORD> code{0};
  std::atomic<int> remaining{0};  // -1: until cleared
  std::atomic<bool> short_writes{false};
  std::atomic<bool> refuse_tx_empty_mask{false};
  std::atomic<DWORD> mask{0};
  std::atomic<LPOVERLAPPED> wait_ov{nullptr};
  std::atomic<int> hits{0};
} g_fault;

lumo::serial::SerialApi g_windows;  // the real calls

bool Fires(Call call) {
  if (g_fault.call != call) return false;
  int left = g_fault.remaining.load();
  while (left != 0) {
    if (left < 0 || g_fault.remaining.compare_exchange_weak(left, left - 1)) {
      g_fault.hits++;
      SetLastError(g_fault.code);
      return true;
    }
  }
  return false;
}

BOOL WINAPI FaultySetupComm(HANDLE h, DWORD in, DWORD out) {
  if (Fires(Call::kSetupComm)) return FALSE;
  return g_windows.SetupComm(h, in, out);
}
BOOL WINAPI FaultySetCommState(HANDLE h, LPDCB dcb) {
  if (Fires(Call::kSetCommState)) return FALSE;
  if (dcb->BaudRate == 5760 && Fires(Call::kSetCommStateRate)) return FALSE;
  return g_windows.SetCommState(h, dcb);
}
BOOL WINAPI FaultySetCommMask(HANDLE h, DWORD mask) {
  if ((mask & 0x2000) && Fires(Call::kSetCommMaskTxEmpty)) return FALSE;
  g_fault.mask = mask;
  return g_windows.SetCommMask(h, mask);
}
BOOL WINAPI FaultyGetCommState(HANDLE h, LPDCB dcb) {
  if (Fires(Call::kGetCommState)) return FALSE;
  return g_windows.GetCommState(h, dcb);
}
BOOL WINAPI FaultySetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t) {
  if (Fires(Call::kSetCommTimeouts)) return FALSE;
  return g_windows.SetCommTimeouts(h, t);
}
BOOL WINAPI FaultyEscapeCommFunction(HANDLE h, DWORD code) {
  if (Fires(Call::kEscapeCommFunction)) return FALSE;
  return g_windows.EscapeCommFunction(h, code);
}
BOOL WINAPI FaultyCancelIoEx(HANDLE h, LPOVERLAPPED ov) {
  if (Fires(Call::kCancelIoEx)) return FALSE;
  return g_windows.CancelIoEx(h, ov);
}
BOOL WINAPI FaultyWaitCommEvent(HANDLE h, LPDWORD mask, LPOVERLAPPED ov) {
  g_fault.wait_ov = ov;
  if (g_fault.refuse_tx_empty_mask && (g_fault.mask & 0x2000)) {
    g_fault.hits++;
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (Fires(Call::kWaitCommEvent)) return FALSE;
  if (g_fault.call == Call::kWaitResult && g_fault.remaining != 0) {
    // A wait that completes at once, as failed: its result says how.
    SetEvent(ov->hEvent);
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
  }
  return g_windows.WaitCommEvent(h, mask, ov);
}
BOOL WINAPI FaultyGetOverlappedResult(HANDLE h, LPOVERLAPPED ov, LPDWORD n, BOOL wait) {
  if (ov == g_fault.wait_ov.load() && Fires(Call::kWaitResult)) return FALSE;
  return g_windows.GetOverlappedResult(h, ov, n, wait);
}
BOOL WINAPI FaultyClearCommError(HANDLE h, LPDWORD errors, LPCOMSTAT status) {
  if (Fires(Call::kClearCommError)) return FALSE;
  return g_windows.ClearCommError(h, errors, status);
}
BOOL WINAPI FaultyReadFile(HANDLE h, LPVOID data, DWORD n, LPDWORD done, LPOVERLAPPED ov) {
  if (Fires(Call::kReadFile)) return FALSE;
  if (g_fault.call == Call::kSlowRead && g_fault.remaining != 0) {
    g_fault.hits++;
    Sleep(g_fault.code);
  }
  return g_windows.ReadFile(h, data, n, done, ov);
}
// A line that stalls (flow control held, a hung adapter): writes stay pending
// until the stall ends; PurgeComm with PURGE_TXABORT aborts the one in flight.
struct Stall {
  std::atomic<bool> on{false};
  std::atomic<HANDLE> device{nullptr};
  std::atomic<LPCVOID> data{nullptr};
  std::atomic<DWORD> length{0};
  std::atomic<LPOVERLAPPED> ov{nullptr};
  std::atomic<int> writes{0};
  std::atomic<int> aborted{0};
  // Lets the write in flight go to the line.
  void End() {
    on = false;
    if (LPOVERLAPPED pending = ov.exchange(nullptr)) g_windows.WriteFile(device, data, length, nullptr, pending);
  }
} g_stall;
constexpr ULONG_PTR kStatusPending = 0x103, kStatusCancelled = 0xC0000120;

BOOL WINAPI FaultyPurgeComm(HANDLE h, DWORD flags) {
  if (Fires(Call::kPurgeComm)) return FALSE;
  if (flags & PURGE_TXABORT) {
    if (LPOVERLAPPED pending = g_stall.ov.exchange(nullptr)) {
      pending->Internal = kStatusCancelled;
      pending->InternalHigh = 0;
      g_stall.aborted++;
      SetEvent(pending->hEvent);
    }
  }
  return g_windows.PurgeComm(h, flags);
}

BOOL WINAPI FaultyWriteFile(HANDLE h, LPCVOID data, DWORD n, LPDWORD done, LPOVERLAPPED ov) {
  if (Fires(Call::kWriteFile)) return FALSE;
  if (g_stall.on) {
    g_stall.writes++;
    g_stall.device = h;
    g_stall.data = data;
    g_stall.length = n;
    ov->Internal = kStatusPending;
    g_stall.ov = ov;
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
  }
  if (g_fault.short_writes && n > 1) {
    n = n / 2;  // the device takes half
    g_fault.hits++;
  }
  return g_windows.WriteFile(h, data, n, done, ov);
}

class SerialFaults : public SerialPortTest {
 protected:
  void SetUp() override {
    SerialPortTest::SetUp();
    Clear();
    lumo::serial::SerialApi& api = lumo::serial::Api();
    g_windows = api;
    api.SetupComm = &FaultySetupComm;
    api.SetCommState = &FaultySetCommState;
    api.SetCommMask = &FaultySetCommMask;
    api.WaitCommEvent = &FaultyWaitCommEvent;
    api.GetOverlappedResult = &FaultyGetOverlappedResult;
    api.ClearCommError = &FaultyClearCommError;
    api.ReadFile = &FaultyReadFile;
    api.WriteFile = &FaultyWriteFile;
    api.GetCommState = &FaultyGetCommState;
    api.SetCommTimeouts = &FaultySetCommTimeouts;
    api.PurgeComm = &FaultyPurgeComm;
    api.EscapeCommFunction = &FaultyEscapeCommFunction;
    api.CancelIoEx = &FaultyCancelIoEx;
  }
  void TearDown() override {
    g_stall.End();
    lumo::serial::Api() = g_windows;
    SerialPortTest::TearDown();
  }
  static void Arm(Call call, DWORD code, int count) {
    g_fault.code = code;
    g_fault.remaining = count;
    g_fault.hits = 0;
    g_fault.call = call;
  }
  static void Clear() {
    g_fault.call = Call::kNone;
    g_fault.remaining = 0;
    g_fault.hits = 0;
    g_fault.short_writes = false;
    g_fault.refuse_tx_empty_mask = false;
  }
  // Bytes from the far end still arrive, in order.
  void ExpectReception(RecordingPort& port, uint32_t seed) {
    const size_t before = port.Count();
    const std::vector<uint8_t> data = Pattern(64, seed);
    line_.Send(data);
    ASSERT_TRUE(WaitFor([&] { return port.Count() >= before + data.size(); }, 5000));
    const auto bytes = port.Bytes();
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + before, bytes.end()), data);
  }
};

// Every code that removed adapters have been seen to report, from each call
// that reports it, until it stops: the device counts as lost, then works again.
TEST_F(SerialFaults, PersistentFailuresMeanLostWhateverTheCode) {
  const struct {
    Call call;
    DWORD code;
  } cases[] = {
      {Call::kWaitCommEvent, ERROR_ACCESS_DENIED},     {Call::kWaitCommEvent, ERROR_NOT_READY},
      {Call::kWaitCommEvent, ERROR_BAD_COMMAND},       {Call::kWaitCommEvent, ERROR_OPERATION_ABORTED},
      {Call::kWaitCommEvent, ERROR_DEVICE_REMOVED},    {Call::kWaitCommEvent, ERROR_INVALID_PARAMETER},
      {Call::kWaitResult, ERROR_DEVICE_REMOVED},       {Call::kClearCommError, ERROR_BAD_COMMAND},
      {Call::kWriteFile, ERROR_ACCESS_DENIED},
  };
  uint32_t seed = 40;
  for (const auto& c : cases) {
    RecordingPort port(kPort, true);
    ExpectReception(port, seed++);
    const size_t base = port.Count();
    Arm(c.call, c.code, -1);
    // The wait in flight must complete (bytes arrive) before the next one can
    // fail or its result be read; a write fails only when something is sent.
    size_t trigger = 0;
    if (c.call == Call::kWaitCommEvent || c.call == Call::kWaitResult) {
      line_.Send({1, 2, 3});
      trigger = 3;
    }
    if (c.call == Call::kWriteFile) port.PutBlock("abc", 3);
    EXPECT_TRUE(WaitFor([&] { return port.DeviceLost(); }, kLossNoticedMs)) << int(c.call) << " " << c.code;
    EXPECT_GT(g_fault.hits.load(), 0) << int(c.call) << " " << c.code;
    Clear();
    EXPECT_TRUE(WaitFor([&] { return !port.DeviceLost(); }, 3000)) << int(c.call) << " " << c.code;
    // Nothing received is lost on the way.
    EXPECT_TRUE(WaitFor([&] { return port.Count() >= base + trigger; }, 3000));
    if (c.call == Call::kWriteFile) line_.Recv(3, 2000);
    ExpectReception(port, seed++);
  }
}

// A device that opens but refuses its queue sizes or its line settings: the
// open fails with its text and leaves nothing open behind it. The same refusal
// on a reopen keeps the device lost, its requests ending as no reply, until
// the device takes its settings again.
TEST_F(SerialFaults, SetUpRefusedOnOpenAndOnReopen) {
  const struct {
    Call call;
    const char* text;
  } cases[] = {
      {Call::kSetupComm, "Setup parameter not supported for COM"},
      {Call::kSetCommState, "Parameter not supported for COM"},
  };
  for (const auto& c : cases) {
    Arm(c.call, ERROR_INVALID_PARAMETER, 1);
    EXPECT_EQ(MessageOf<lumo::ENotSupported>([] { TComPort port(kPort); }), c.text + std::to_string(kPort));
    EXPECT_EQ(g_fault.hits.load(), 1) << c.text;
    auto port = std::make_unique<TKorvoComPort>(static_cast<uint8_t>(kPort));
    port->SetReplyValidator({&AcceptFramed, nullptr});
    EXPECT_EQ(ExchangeOnce(*port, line_, true).link_state, lumo::kLinkValidReply) << c.text;

    Arm(c.call, ERROR_INVALID_PARAMETER, -1);
    line_.Ok("drop");
    ASSERT_TRUE(WaitFor([&] { return port->DeviceLost(); }, kLossNoticedMs)) << c.text;
    Link();
    ASSERT_TRUE(WaitFor([&] {
      ExchangeOnce(*port, line_, false);
      return g_fault.hits.load() > 0;
    }, 10000)) << "no reopen tried: " << c.text;
    EXPECT_EQ(ExchangeOnce(*port, line_, false).link_state, lumo::kLinkNoReply) << c.text;
    EXPECT_TRUE(port->DeviceLost()) << c.text;

    Clear();
    EXPECT_TRUE(WaitFor([&] { return ExchangeOnce(*port, line_, true).link_state == lumo::kLinkValidReply; },
                        10000))
        << "never recovered: " << c.text;
    EXPECT_FALSE(port->DeviceLost()) << c.text;
  }
}

TEST_F(SerialFaults, SpuriousAbortedWaitsAndShortWritesLoseNothing) {
  RecordingPort port(kPort, true);
  // Some USB drivers complete a wait as aborted with nobody cancelling it.
  Arm(Call::kWaitResult, ERROR_OPERATION_ABORTED, 2);
  ExpectReception(port, 70);
  ExpectReception(port, 71);
  EXPECT_EQ(g_fault.hits.load(), 2);
  // A read the device refuses: the bytes wait in the driver for the next round.
  Arm(Call::kReadFile, ERROR_GEN_FAILURE, 1);
  ExpectReception(port, 73);
  EXPECT_EQ(g_fault.hits.load(), 1);
  EXPECT_FALSE(port.DeviceLost());
  // A write the device takes only half of: the rest follows, in order.
  Clear();
  g_fault.short_writes = true;
  const std::vector<uint8_t> block = Pattern(1000, 72);
  port.PutBlock(block.data(), static_cast<uint16_t>(block.size()));
  EXPECT_EQ(line_.Recv(block.size(), 5000), block);
  EXPECT_GT(g_fault.hits.load(), 0);
  EXPECT_FALSE(port.DeviceLost());
}

TEST_F(SerialFaults, RefusedTxEmptyBitFallsBackToTheSmallerMask) {
  g_fault.refuse_tx_empty_mask = true;
  RecordingPort port(kPort, true);
  ASSERT_TRUE(WaitFor([&] { return TComPortProbe::MaskInForce(port) == TComPort::kEventMaskFallback; }, 3000));
  EXPECT_EQ(g_fault.hits.load(), 1);
  ExpectReception(port, 80);
  EXPECT_FALSE(port.DeviceLost());
}

// Drivers that refuse a set-up step whose result the gauge port does not need
// (it sets the line whole, holds RTS low through the line settings, and has
// fallbacks) still give a working gauge port; each refusal is one row.
TEST_F(SerialFaults, PickyDriversStillOpenTheGaugePort) {
  const struct {
    Call call;
    const char* what;
  } cases[] = {
      {Call::kSetCommStateRate, "5760 baud, the plain port's default"},
      {Call::kGetCommState, "reading the line settings"},
      {Call::kSetCommTimeouts, "the timeouts"},
      {Call::kPurgeComm, "purging"},
      {Call::kEscapeCommFunction, "the escape function (CLRRTS)"},
      {Call::kCancelIoEx, "cancelling"},
      {Call::kSetCommMaskTxEmpty, "the event mask with 0x2000"},
  };
  for (const auto& c : cases) {
    Arm(c.call, ERROR_INVALID_PARAMETER, -1);
    {
      auto port = std::make_unique<TKorvoComPort>(static_cast<uint8_t>(kPort));
      port->SetReplyValidator({&AcceptFramed, nullptr});
      EXPECT_EQ(ExchangeOnce(*port, line_, true).link_state, lumo::kLinkValidReply) << c.what;
      if (c.call == Call::kSetCommMaskTxEmpty) {
        EXPECT_EQ(TComPortProbe::MaskInForce(*port), TComPort::kEventMaskFallback) << "at once";
      }
      EXPECT_NE(Settings().find("baud=9600"), std::string::npos) << c.what;
    }
    if (c.call == Call::kSetCommStateRate) {
      EXPECT_EQ(MessageOf<lumo::ENotSupported>([] { TComPort port(kPort); }),
                "Parameter not supported for COM" + std::to_string(kPort));
    }
    EXPECT_GT(g_fault.hits.load(), 0) << c.what;
    Clear();
  }
}

// A service thread busy in a slow driver call when the port closes is waited
// for, not killed (a thread killed inside a lock leaves it held); later opens
// work.
TEST_F(SerialFaults, CloseWaitsForAThreadInASlowCall) {
  const unsigned killed = TComPort::ThreadsTerminated();
  {
    RecordingPort port(kPort, true);
    Arm(Call::kSlowRead, 600, -1);
    line_.Send({1, 2, 3});
    ASSERT_TRUE(WaitFor([] { return g_fault.hits.load() > 0; }, 3000));
  }
  EXPECT_EQ(TComPort::ThreadsTerminated(), killed);
  Clear();
  RecordingPort again(kPort, true);
  ExpectReception(again, 90);
}

// A line that stalls: frames cannot leave. Each attempt drops what is left of
// the one before, ends as no reply whatever comes in meanwhile, and when the
// line resumes it carries one frame, not the backlog of every attempt.
TEST_F(SerialFaults, StalledLineLeavesNoBacklog) {
  for (const auto mode : {TKorvoComPort::ReplyMode::kFixedWindow, TKorvoComPort::ReplyMode::kEndOnValidFrame}) {
    SCOPED_TRACE(mode == TKorvoComPort::ReplyMode::kFixedWindow ? "fixed window" : "fast");
    auto port = std::make_unique<TKorvoComPort>(static_cast<uint8_t>(kPort), mode);
    port->SetReplyValidator({&AcceptFramed, nullptr});
    ASSERT_EQ(ExchangeOnce(*port, line_, true).link_state, lumo::kLinkValidReply);
    g_stall.on = true;
    for (int i = 0; i < 2; ++i) {
      // A reply to some earlier frame comes in during the window.
      std::thread peer([&] {
        Sleep(50);
        line_.Send({'@', '0', '3', '0', '4', '*', '\r'});
      });
      EXPECT_EQ(ExchangeOnce(*port, line_, false).link_state, lumo::kLinkNoReply) << i;
      peer.join();
    }
    EXPECT_EQ(port->OutputPending(), 11) << "the last attempt's frame alone";
    EXPECT_GE(g_stall.aborted.load(), 5);
    g_stall.End();
    const std::vector<uint8_t> carried = line_.Recv(11 * 6, 1000);
    EXPECT_EQ(std::string(carried.begin(), carried.end()), "@03040047*\r");
    EXPECT_EQ(ExchangeOnce(*port, line_, true).link_state, lumo::kLinkValidReply);
    EXPECT_FALSE(port->DeviceLost()) << "aborted writes are no failures of the device";
  }
}

}  // namespace
