#include "serial/Trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>

#include "lumo.h"
#include "protocol/TraceText.h"

namespace lumo {

namespace {

constexpr DWORD kMutexWaitMs = 200;

// The mutex is named after the file, case-folded, so that every process
// tracing into it serialises its rollover on the same one.
std::string MutexName(const std::string& path) {
  char full[MAX_PATH] = {};
  const DWORD n = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
  const std::string name = n > 0 && n < sizeof full ? std::string(full, n) : path;
  uint32_t hash = 2166136261u;
  for (const char c : name) {
    const char folded = c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c == '/' ? '\\' : c;
    hash = (hash ^ static_cast<uint8_t>(folded)) * 16777619u;
  }
  char text[40];
  std::snprintf(text, sizeof text, "Local\\LumoTrace-%08X", static_cast<unsigned>(hash));
  return text;
}

HANDLE OpenForAppend(const std::string& path) {
  return CreateFileA(path.c_str(), FILE_APPEND_DATA,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

size_t Timestamp(char* out, size_t capacity) {
  SYSTEMTIME t{};
  GetSystemTime(&t);
  const int n = std::snprintf(out, capacity, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", t.wYear,
                              t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
  return n > 0 ? static_cast<size_t>(n) : 0;
}

}  // namespace

Trace::Trace(std::string path, uint64_t max_bytes, const char* where)
    : path_(std::move(path)), rolled_path_(path_ + ".1"), max_bytes_(max_bytes) {
  SetWhere(where);
  file_mutex_ = CreateMutexA(nullptr, FALSE, MutexName(path_).c_str());
}

Trace::~Trace() {
  if (file_mutex_) CloseHandle(file_mutex_);
}

std::shared_ptr<Trace> Trace::Open(const std::string& file, uint32_t max_kb, const char* where) {
  char from_environment[MAX_PATH] = {};
  const DWORD n = GetEnvironmentVariableA(kTraceFileVariable, from_environment, sizeof from_environment);
  const std::string path = n > 0 && n < sizeof from_environment ? std::string(from_environment, n) : file;
  if (path.empty()) return nullptr;
  try {
    auto trace = std::make_shared<Trace>(path, uint64_t{max_kb ? max_kb : kDefaultMaxKb} * 1024, where);
    char escaped[2 * MAX_PATH];
    protocol::EscapeBytes(reinterpret_cast<const uint8_t*>(path.data()), path.size(), escaped,
                          sizeof escaped);
    trace->Event("trace-start", "file=\"%s\" pid=%lu version=%s", escaped,
                 static_cast<unsigned long>(GetCurrentProcessId()), LUMO_VERSION);
    return trace;
  } catch (...) {
    return nullptr;  // no memory for a trace: run untraced
  }
}

void Trace::SetWhere(const char* where) {
  std::snprintf(where_, sizeof where_, "%s", where ? where : "-");
}

void Trace::Event(const char* event, const char* format, ...) {
  if (!On()) return;
  char line[kLineCapacity];
  size_t at = Timestamp(line, sizeof line);
  const int head = std::snprintf(line + at, sizeof line - at, " %lu %s %s",
                                 static_cast<unsigned long>(GetCurrentThreadId()), where_, event);
  if (head > 0) at += static_cast<size_t>(head);
  if (at + 1 < sizeof line) {
    line[at++] = ' ';
    va_list args;
    va_start(args, format);
    const int body = std::vsnprintf(line + at, sizeof line - at, format, args);
    va_end(args);
    if (body > 0) at += static_cast<size_t>(body);
    // No fields: no trailing space.
    if (body <= 0) --at;
  }
  // A line longer than the buffer is cut; it still ends the line.
  if (at > sizeof line - 3) at = sizeof line - 3;
  line[at++] = '\r';
  line[at++] = '\n';
  Write(line, at);
}

void Trace::Caught(const char* where) {
  char message[512];
  QuoteText(CurrentExceptionMessage(), message, sizeof message);
  Event("caught", "where=%s class=%s message=\"%s\"", where, CurrentExceptionClass(), message);
}

void Trace::CheckVerdict(int attempt, uint32_t code, unsigned length) {
  if (code == kReplyValid)
    Event("verdict", "attempt=%d result=valid length=%u", attempt, length);
  else
    Event("verdict", "attempt=%d result=%s code=%u", attempt,
          code == kReplyBadEnd ? "incomplete" : "bad-check", static_cast<unsigned>(code));
}

void Trace::ErrorVerdict(int attempt) {
  char why[256];
  QuoteText(CurrentExceptionMessage(), why, sizeof why);
  Event("verdict", "attempt=%d result=error class=%s why=\"%s\"", attempt, CurrentExceptionClass(), why);
}

void Trace::Write(const char* line, size_t length) {
  const bool locked =
      file_mutex_ && WaitForSingleObject(file_mutex_, kMutexWaitMs) != WAIT_TIMEOUT;
  HANDLE file = OpenForAppend(path_);
  if (file != INVALID_HANDLE_VALUE) {
    LARGE_INTEGER size{};
    if (GetFileSizeEx(file, &size) && size.QuadPart > 0 &&
        static_cast<uint64_t>(size.QuadPart) + length > max_bytes_) {
      CloseHandle(file);
      MoveFileExA(path_.c_str(), rolled_path_.c_str(), MOVEFILE_REPLACE_EXISTING);
      file = OpenForAppend(path_);
    }
  }
  bool written = false;
  if (file != INVALID_HANDLE_VALUE) {
    DWORD count = 0;
    written = WriteFile(file, line, static_cast<DWORD>(length), &count, nullptr) && count == length;
    CloseHandle(file);
  }
  if (locked) ReleaseMutex(file_mutex_);
  if (!written) failed_.store(true, std::memory_order_relaxed);
}

size_t QuoteText(const char* text, char* out, size_t capacity) {
  if (capacity == 0) return 0;
  wchar_t wide[512];
  const int n = MultiByteToWideChar(1251, 0, text, -1, wide, 512);
  if (n <= 0) wide[0] = L'\0';
  wide[511] = L'\0';
  char utf8[1536];
  if (WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, sizeof utf8, nullptr, nullptr) <= 0)
    utf8[0] = '\0';
  utf8[sizeof utf8 - 1] = '\0';
  size_t at = 0;
  for (const char* p = utf8; *p; ++p) {
    const auto c = static_cast<uint8_t>(*p);
    // Bytes of UTF-8 sequences pass; ASCII goes through the byte escaper.
    if (c >= 0x80) {
      if (at + 1 >= capacity) break;
      out[at++] = *p;
    } else {
      char piece[8];
      const size_t length = protocol::EscapeBytes(&c, 1, piece, sizeof piece);
      if (at + length >= capacity) break;
      std::memcpy(out + at, piece, length);
      at += length;
    }
  }
  out[at] = '\0';
  return at;
}

const char* CurrentExceptionClass() {
  try {
    throw;
  } catch (const EOpenPortFail&) {
    return "EOpenPortFail";
  } catch (const ENotSupported&) {
    return "ENotSupported";
  } catch (const EOutputBufferTooSmall&) {
    return "EOutputBufferTooSmall";
  } catch (const EPutBlockFail&) {
    return "EPutBlockFail";
  } catch (const EBufferIsEmpty&) {
    return "EBufferIsEmpty";
  } catch (const EPortNotOpen&) {
    return "EPortNotOpen";
  } catch (const ESerialIO&) {
    return "ESerialIO";
  } catch (const EConvertError&) {
    return "EConvertError";
  } catch (const EAbstractError&) {
    return "EAbstractError";
  } catch (const Exception&) {
    return "Exception";
  } catch (const std::bad_alloc&) {
    return "std::bad_alloc";
  } catch (const std::exception&) {
    return "std::exception";
  } catch (...) {
    return "unknown";
  }
}

const char* CurrentExceptionMessage() {
  try {
    throw;
  } catch (const std::exception& error) {
    return error.what();
  } catch (...) {
    return "";
  }
}

}  // namespace lumo
