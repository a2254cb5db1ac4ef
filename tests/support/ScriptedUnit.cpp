#include "ScriptedUnit.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace lumo_test {

namespace {
// A slot the driver must never call: stop at once rather than unbalance the stack.
void LUMO_STDCALL UnexpectedSlot() {
  std::fprintf(stderr, "driver called a communication-unit slot it must not use\n");
  std::abort();
}

std::string Hex2(unsigned v) {
  char s[3];
  std::snprintf(s, sizeof s, "%02X", v & 0xFF);
  return s;
}
}  // namespace

std::string Frame(const std::string& data) {
  std::string f = "@" + data;
  unsigned check = 0;
  for (unsigned char c : f) check ^= c;
  return f + Hex2(check) + "*\r";
}

std::string RequestFrame(const std::vector<uint8_t>& payload) {
  std::string data;
  for (uint8_t b : payload) data += Hex2(b);
  return Frame(data);
}

ScriptedUnit::ScriptedUnit() {
  for (auto& entry : table_) entry = reinterpret_cast<void*>(&UnexpectedSlot);
  table_[lumo::kUnitGetLineState] = reinterpret_cast<void*>(&GetLineState);
  table_[lumo::kUnitSetReplyValidator] = reinterpret_cast<void*>(&SetReplyValidator);
  table_[lumo::kUnitLineExchange] = reinterpret_cast<void*>(&LineExchange);
  table_[lumo::kUnitConfigureLine] = reinterpret_cast<void*>(&ConfigureLine);
  table_[lumo::kUnitSetLineConfigHandler] = reinterpret_cast<void*>(&SetLineConfigHandler);
  table_[lumo::kUnitReportReplyCheck] = reinterpret_cast<void*>(&ReportReplyCheck);
  object_.unit.slots = table_;
  object_.owner = this;
}

void ScriptedUnit::QueueReply(const std::string& reply) {
  std::lock_guard<std::mutex> lock(mutex_);
  replies_.push_back(reply);
}

void ScriptedUnit::Record(int slot, std::vector<uintptr_t> args, std::string frame) {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.push_back(UnitCall{slot, std::move(args), std::move(frame)});
}

std::vector<UnitCall> ScriptedUnit::Calls() {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

std::vector<uint32_t> ScriptedUnit::ReportedCodes() {
  std::vector<uint32_t> codes;
  for (const auto& c : Calls())
    if (c.slot == lumo::kUnitReportReplyCheck) codes.push_back(static_cast<uint32_t>(c.args[1]));
  return codes;
}

std::vector<std::string> ScriptedUnit::Frames() {
  std::vector<std::string> frames;
  for (const auto& c : Calls())
    if (c.slot == lumo::kUnitLineExchange) frames.push_back(c.frame);
  return frames;
}

void ScriptedUnit::ClearCalls() {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.clear();
}

uint32_t LUMO_STDCALL ScriptedUnit::GetLineState(lumo::Unit* unit, uint32_t line_key) {
  ScriptedUnit* self = Owner(unit);
  self->Record(lumo::kUnitGetLineState, {line_key});
  // Upper bits set on purpose: the driver must use the low byte only.
  return 0xABCD0000u | self->line_state_;
}

void LUMO_STDCALL ScriptedUnit::SetReplyValidator(lumo::Unit* unit, uint32_t type, uint32_t address,
                                                  lumo::ReplyValidatorFn entry, void* bound) {
  ScriptedUnit* self = Owner(unit);
  self->Record(lumo::kUnitSetReplyValidator,
               {type, address, reinterpret_cast<uintptr_t>(entry), reinterpret_cast<uintptr_t>(bound)});
  self->validator_ = entry;
  self->validator_bound_ = bound;
}

int32_t LUMO_STDCALL ScriptedUnit::LineExchange(lumo::Unit* unit, uint32_t type, uint32_t address,
                                                uint32_t address2, const char* frame,
                                                uint32_t frame_length, char* buffer,
                                                uint32_t expected_length, uint32_t zero) {
  ScriptedUnit* self = Owner(unit);
  const int now = ++self->in_exchange_;
  int seen = self->max_concurrent_.load();
  while (now > seen && !self->max_concurrent_.compare_exchange_weak(seen, now)) {
  }
  self->Record(lumo::kUnitLineExchange,
               {type, address, address2, reinterpret_cast<uintptr_t>(frame), frame_length,
                reinterpret_cast<uintptr_t>(buffer), expected_length, zero},
               std::string(frame, frame_length));
  std::string reply;
  {
    std::lock_guard<std::mutex> lock(self->mutex_);
    if (!self->replies_.empty()) {
      reply = self->replies_.front();
      self->replies_.pop_front();
    }
  }
  if (self->during_exchange) self->during_exchange();
  std::this_thread::yield();
  struct Leave {
    ScriptedUnit* self;
    ~Leave() { --self->in_exchange_; }
  } leave{self};
  if (self->throw_in_exchange) throw UnitFailure{42};
  if (reply.empty()) {
    self->line_state_ = lumo::kLinkNoReply;
    return self->exchange_result;
  }
  uint8_t received = static_cast<uint8_t>(reply.size());
  uint8_t expected = static_cast<uint8_t>(expected_length);
  const bool valid = self->validator_ &&
                     self->validator_(self->validator_bound_, 17, reply.data(), 255, &received,
                                      &expected) != 0;
  if (valid) {
    std::memcpy(buffer, reply.data(), std::min<size_t>(reply.size(), expected_length));
    self->line_state_ = lumo::kLinkValidReply;
  } else {
    self->line_state_ = lumo::kLinkBadReply;
  }
  return self->exchange_result;
}

int32_t LUMO_STDCALL ScriptedUnit::ConfigureLine(lumo::Unit* unit, uint32_t key, uint32_t a,
                                                 uint32_t baud, uint32_t window, uint32_t b,
                                                 uint32_t c) {
  Owner(unit)->Record(lumo::kUnitConfigureLine, {key, a, baud, window, b, c});
  return 77;
}

void LUMO_STDCALL ScriptedUnit::SetLineConfigHandler(lumo::Unit* unit, uint32_t key,
                                                     lumo::LineConfigHandlerFn entry, void* bound) {
  ScriptedUnit* self = Owner(unit);
  self->Record(lumo::kUnitSetLineConfigHandler,
               {key, reinterpret_cast<uintptr_t>(entry), reinterpret_cast<uintptr_t>(bound)});
  self->line_config_handler = entry;
  self->line_config_bound = bound;
}

void LUMO_STDCALL ScriptedUnit::ReportReplyCheck(lumo::Unit* unit, uint32_t type, uint32_t code) {
  Owner(unit)->Record(lumo::kUnitReportReplyCheck, {type, code});
}

}  // namespace lumo_test
