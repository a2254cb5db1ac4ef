// lumo::Trace: the opt-in trace of one driver object, one event per line,
// appended to a file that several objects and processes may share. A driver
// object without a trace holds no Trace at all, so that every trace point
// costs one pointer test when tracing is off.
#ifndef LUMO_SERIAL_TRACE_H
#define LUMO_SERIAL_TRACE_H

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#if defined(__MINGW_PRINTF_FORMAT)
#define LUMO_TRACE_PRINTF(f, a) __attribute__((format(__MINGW_PRINTF_FORMAT, f, a)))
#elif defined(__GNUC__)
#define LUMO_TRACE_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define LUMO_TRACE_PRINTF(f, a)
#endif

namespace lumo {

class Trace {
 public:
  static constexpr uint32_t kDefaultMaxKb = 10240;
  static constexpr size_t kLineCapacity = 2048;

  // Traces into path, rolling over to path + ".1" beyond max_bytes. where
  // names the connection in every line ("COM3", "unit0").
  Trace(std::string path, uint64_t max_bytes, const char* where);
  ~Trace();
  Trace(const Trace&) = delete;
  Trace& operator=(const Trace&) = delete;

  // A trace for the file that LUMO_TRACE_FILE or else file names, or none
  // when both are empty.
  static std::shared_ptr<Trace> Open(const std::string& file, uint32_t max_kb, const char* where);

  // False once the file could not be opened or written: the trace is off.
  bool On() const { return !failed_.load(std::memory_order_relaxed); }
  const std::string& Path() const { return path_; }

  // One line: the event and its fields, printf-style. Never throws.
  void Event(const char* event) { Event(event, "%s", ""); }
  void Event(const char* event, const char* format, ...) LUMO_TRACE_PRINTF(3, 4);
  // An attempt's verdict from the reply check's code: valid (length
  // characters), incomplete (no frame end) or bad-check.
  void CheckVerdict(int attempt, uint32_t code, unsigned length);
  // Called inside a catch block: the attempt that the error in flight ended.
  void ErrorVerdict(int attempt);
  // Called inside a catch block: a `caught` line with the error's class and
  // message, and where it was caught.
  void Caught(const char* where);

 private:
  void SetWhere(const char* where);
  void Write(const char* line, size_t length);

  const std::string path_;
  const std::string rolled_path_;
  const uint64_t max_bytes_;
  std::atomic<bool> failed_{false};
  char where_[16] = {};
  // Serialises the size check, the rollover and the write across processes.
  HANDLE file_mutex_ = nullptr;
};

// A message of the library's (Windows-1251) as UTF-8 for a quoted field, with
// quotes, backslashes and control characters escaped; terminated, cut to fit.
size_t QuoteText(const char* text, char* out, size_t capacity);

// The class name of the exception in flight (to be called inside a catch
// block) and its message; "unknown" and "" for anything not a std::exception.
const char* CurrentExceptionClass();
const char* CurrentExceptionMessage();

// Traces the exception in flight when trace is on.
inline void TraceCaught(const std::shared_ptr<Trace>& trace, const char* where) {
  if (trace) trace->Caught(where);
}

}  // namespace lumo

#endif
