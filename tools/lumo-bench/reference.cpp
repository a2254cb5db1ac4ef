// lumo-bench-ref: the least a program can do to run the gauge's exchange over
// a serial port, as the yardstick for lumo-bench. One overlapped WriteFile of
// the request and one overlapped ReadFile that ends with the 200-ms window
// (fixed mode) or as soon as the expected characters are in (fast mode).
// With --events the reply is received the way the library's event thread
// does it, a WaitCommEvent followed by a read, to tell what that Wine service
// costs by itself.
//
// Prints one line: key=value pairs (median_ms, cpu_ms, valid, count, or
// idle_percent), read by lumo-bench.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "BenchClock.h"
#include "lumo.h"
#include "protocol/FrameCodec.h"

namespace {

constexpr DWORD kWindowMs = 200;

struct Port {
  HANDLE h = INVALID_HANDLE_VALUE;
  OVERLAPPED write_ov{}, read_ov{}, wait_ov{};

  explicit Port(unsigned com) {
    const std::string path = "\\\\.\\COM" + std::to_string(com);
    h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(h, &dcb);
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    SetCommState(h, &dcb);
    write_ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    read_ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    wait_ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }
  ~Port() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    for (HANDLE e : {write_ov.hEvent, read_ov.hEvent, wait_ov.hEvent})
      if (e) CloseHandle(e);
  }
  bool Open() const { return h != INVALID_HANDLE_VALUE; }

  void Timeouts(DWORD interval, DWORD constant) {
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = interval;
    t.ReadTotalTimeoutConstant = constant;
    SetCommTimeouts(h, &t);
  }

  // Read of up to `want` characters, ended by the port's timeouts.
  DWORD Read(char* into, DWORD want) {
    DWORD got = 0;
    if (!ReadFile(h, into, want, &got, &read_ov) && GetLastError() == ERROR_IO_PENDING)
      GetOverlappedResult(h, &read_ov, &got, TRUE);
    return got;
  }

  void Write(const std::string& frame) {
    DWORD sent = 0;
    if (!WriteFile(h, frame.data(), static_cast<DWORD>(frame.size()), &sent, &write_ov) &&
        GetLastError() == ERROR_IO_PENDING)
      GetOverlappedResult(h, &write_ov, &sent, TRUE);
  }

  // A reply collected from line events until the window ends (or, fast,
  // until `want` characters are in). One wait stays in flight across calls;
  // the driver's count is looked at on every round, since EV_RXCHAR only
  // fires on an edge.
  bool wait_pending = false;
  DWORD event_mask = 0;  // written when the wait completes: lives with the port
  DWORD ReadByEvents(char* into, DWORD want, bool fast, DWORD window_start) {
    DWORD total = 0;
    for (;;) {
      DWORD errors = 0;
      COMSTAT stat{};
      ClearCommError(h, &errors, &stat);
      if (stat.cbInQue > 0 && total < 256)
        total += Read(into + total, std::min<DWORD>(stat.cbInQue, 256 - total));
      const DWORD elapsed = GetTickCount() - window_start;
      if (elapsed >= kWindowMs || (fast && total >= want)) return total;
      if (!wait_pending) {
        ResetEvent(wait_ov.hEvent);
        if (WaitCommEvent(h, &event_mask, &wait_ov)) continue;
        if (GetLastError() != ERROR_IO_PENDING) return total;
        wait_pending = true;
      }
      if (WaitForSingleObject(wait_ov.hEvent, kWindowMs - elapsed) != WAIT_OBJECT_0) return total;
      DWORD unused = 0;
      GetOverlappedResult(h, &wait_ov, &unused, FALSE);
      wait_pending = false;
    }
  }
};

std::string RequestFrame() {
  const uint8_t payload[3] = {0x00, 0x04, 0x00};  // value 4 of channel 0
  char frame[16];
  return std::string(frame, lumo::protocol::EncodeFrame(payload, sizeof payload, frame));
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"lumo-bench-ref: the reference exchange for lumo-bench"};
  unsigned com = 6;
  int count = 40;
  int idle_seconds = 0;
  bool fast = false, events = false;
  app.add_option("--com", com, "COM port number")->required();
  app.add_option("--count", count, "exchanges to run");
  app.add_option("--idle", idle_seconds, "only hold the port open this many seconds");
  app.add_flag("--fast", fast, "end the read at the expected characters");
  app.add_flag("--events", events, "receive by line events, as the library does");
  CLI11_PARSE(app, argc, argv);

  Port port(com);
  if (!port.Open()) {
    std::fprintf(stderr, "lumo-bench-ref: cannot open COM%u\n", com);
    return 1;
  }
  lumo_bench::CpuClock cpu;
  if (idle_seconds > 0) {
    // Held open, and with --events one wait in flight all the while.
    if (events) {
      SetCommMask(port.h, EV_RXCHAR);
      WaitCommEvent(port.h, &port.event_mask, &port.wait_ov);
    }
    const auto t0 = std::chrono::steady_clock::now();
    Sleep(static_cast<DWORD>(idle_seconds) * 1000);
    std::printf("idle_percent=%.3f\n", cpu.PercentOfOneCore(std::chrono::steady_clock::now() - t0));
    return 0;
  }

  const std::string frame = RequestFrame();
  constexpr DWORD kExpected = 19;
  if (events) {
    SetCommMask(port.h, EV_RXCHAR);
    port.Timeouts(MAXDWORD, 0);  // reads return what is there
  } else {
    port.Timeouts(0, kWindowMs);  // one read ends with the window
  }
  std::vector<double> wall;
  wall.reserve(static_cast<size_t>(count));
  int valid = 0;
  char reply[256];
  for (int i = 0; i < count; ++i) {
    PurgeComm(port.h, PURGE_RXCLEAR);
    const auto t0 = std::chrono::steady_clock::now();
    const DWORD window_start = GetTickCount();
    port.Write(frame);
    const DWORD got = events ? port.ReadByEvents(reply, kExpected, fast, window_start)
                             : port.Read(reply, fast ? kExpected : sizeof reply);
    wall.push_back(lumo_bench::Ms(std::chrono::steady_clock::now() - t0));
    if (got == kExpected && lumo::protocol::CheckReplyFrame(reinterpret_cast<uint8_t*>(reply), got) ==
                                lumo::kReplyValid)
      ++valid;
  }
  std::printf("count=%d valid=%d median_ms=%.3f cpu_ms=%.4f\n", count, valid,
              lumo_bench::Median(wall), cpu.MsPer(count));
  return 0;
}
