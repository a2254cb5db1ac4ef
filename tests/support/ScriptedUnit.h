// A communication unit implemented the way a host would: a table of stdcall
// entries. It records every call and answers exchanges with scripted replies.
#ifndef LUMO_TESTS_SCRIPTEDUNIT_H
#define LUMO_TESTS_SCRIPTEDUNIT_H

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "lumo.h"

namespace lumo_test {

struct UnitCall {
  int slot;
  std::vector<uintptr_t> args;  // the words after the unit
  std::string frame;            // LineExchange: the frame it was given
};

// Thrown by the unit when told to, to see how the driver copes.
struct UnitFailure {
  int code;
};

class ScriptedUnit {
 public:
  ScriptedUnit();
  lumo::Unit* unit() { return &object_.unit; }

  // Replies for the next exchanges, in order; an empty string is silence.
  // Without a scripted reply an exchange is silent.
  void QueueReply(const std::string& reply);
  // Called inside every LineExchange (after the reply is chosen), for tests
  // that need to act while the driver holds its lock.
  std::function<void()> during_exchange;
  std::atomic<int32_t> exchange_result{0};
  std::atomic<bool> throw_in_exchange{false};

  std::vector<UnitCall> Calls();
  std::vector<uint32_t> ReportedCodes();
  std::vector<std::string> Frames();
  void ClearCalls();
  int max_concurrent_exchanges() const { return max_concurrent_; }

 private:
  struct Object {
    lumo::Unit unit;
    ScriptedUnit* owner;
  };
  static ScriptedUnit* Owner(lumo::Unit* unit) { return reinterpret_cast<Object*>(unit)->owner; }
  void Record(int slot, std::vector<uintptr_t> args, std::string frame = {});

  static uint32_t LUMO_STDCALL GetLineState(lumo::Unit*, uint32_t line_key);
  static void LUMO_STDCALL SetReplyValidator(lumo::Unit*, uint32_t type, uint32_t address,
                                             lumo::ReplyValidatorFn entry, void* bound);
  static int32_t LUMO_STDCALL LineExchange(lumo::Unit*, uint32_t type, uint32_t address,
                                           uint32_t address2, const char* frame,
                                           uint32_t frame_length, char* buffer,
                                           uint32_t expected_length, uint32_t zero);
  static int32_t LUMO_STDCALL ConfigureLine(lumo::Unit*, uint32_t key, uint32_t a, uint32_t baud,
                                            uint32_t window, uint32_t b, uint32_t c);
  static void LUMO_STDCALL SetLineConfigHandler(lumo::Unit*, uint32_t key,
                                                lumo::LineConfigHandlerFn entry, void* bound);
  static void LUMO_STDCALL ReportReplyCheck(lumo::Unit*, uint32_t type, uint32_t code);

  void* table_[lumo::kUnitSlotCount];
  Object object_;
  std::mutex mutex_;
  std::deque<std::string> replies_;
  std::vector<UnitCall> calls_;
  lumo::ReplyValidatorFn validator_ = nullptr;
  void* validator_bound_ = nullptr;
  uint8_t line_state_ = 1;
  std::atomic<int> in_exchange_{0};
  std::atomic<int> max_concurrent_{0};

 public:
  lumo::LineConfigHandlerFn line_config_handler = nullptr;
  void* line_config_bound = nullptr;
};

// A reply frame for the given data characters, with its correct check digits.
std::string Frame(const std::string& data);
// The encoded request frame of a payload.
std::string RequestFrame(const std::vector<uint8_t>& payload);

}  // namespace lumo_test

#endif
