#include "driver/Silo.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "driver/ConnectionConfig.h"
#include "protocol/Texts.h"
#include "serial/KorvoPort.h"

TSilo::TSilo(uint8_t connection_type, lumo::Unit* unit)
    : slots_(&kSiloSlotTable[1]),
      unit_(nullptr),
      link_state_(lumo::kLinkValidReply),
      port_(nullptr),
      menu_pending_(true),
      connection_type_(connection_type) {
  trace_ = OpenTrace(connection_type_);
  // Any type above 2 asks for COM(type - 2), without an upper bound.
  if (connection_type_ > 2) port_ = OpenGaugePort(connection_type_, trace_);
  unit_ = unit;
  InitializeCriticalSection(&lock_);
}

TSilo::~TSilo() {
  delete port_;
  DeleteCriticalSection(&lock_);
}

void TSilo::GetDriverName(uint8_t* result) const {
  static_assert(sizeof(lumo::text::kDriverName) == 33, "driver name is 32 characters");
  result[0] = 32;
  std::memcpy(result + 1, lumo::text::kDriverName, 32);
}

void TSilo::GetZeroPair(uint16_t* pair) const {
  const uint16_t zeros[2] = {0, 0};
  std::memcpy(pair, zeros, sizeof zeros);
}

TKorvoComPort* TSilo::OpenGaugePort(uint8_t connection_type,
                                    const std::shared_ptr<lumo::Trace>& trace) {
  const auto mode = ReadFastReply() ? TKorvoComPort::ReplyMode::kEndOnValidFrame
                                    : TKorvoComPort::ReplyMode::kFixedWindow;
  return new TKorvoComPort(static_cast<uint8_t>(connection_type - 2), mode, trace);
}

std::shared_ptr<lumo::Trace> TSilo::OpenTrace(uint8_t connection_type) {
  const TraceSettings settings = ReadTraceSettings();
  char where[16];
  if (connection_type < 3)
    std::snprintf(where, sizeof where, "unit%u", static_cast<unsigned>(connection_type));
  else
    std::snprintf(where, sizeof where, "COM%u", static_cast<unsigned>(uint8_t(connection_type - 2)));
  return lumo::Trace::Open(settings.file, settings.max_kb, where);
}

void TSilo::TracedChannel(char (&text)[8]) const {
  if (traced_channel_ >= 0) std::snprintf(text, sizeof text, "%d", traced_channel_);
  else std::snprintf(text, sizeof text, "-");
}

void TSilo::TraceValue(const char* format, ...) {
  char value[128];
  va_list args;
  va_start(args, format);
  std::vsnprintf(value, sizeof value, format, args);
  va_end(args);
  char channel[8];
  TracedChannel(channel);
  trace_->Event("value", "name=%s channel=%s value=%s", traced_name_, channel, value);
}
