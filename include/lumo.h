// Host interface of Lumo.dll, the driver library for the Lumo tank level gauge.
//
// A host loads Lumo.dll, calls one of the two exported factories and gets a
// driver object. The driver object's first word points at slot 0 of a table of
// sixteen stdcall operations; the word just before slot 0 is the release
// operation. Every argument is one 32-bit word (a byte argument occupies a
// whole word, only its low byte is used); byte results come back zero-extended.
//
// Texts that cross this interface as 8-bit strings (the driver name and the
// exception messages) are in the Windows-1251 code page.
//
// The library's exceptions reach the host as C++ exceptions of the classes
// below; host and library must share the toolchain's shared C++ run-time
// (libstdc++-6.dll and its companions) for that to work.
#ifndef LUMO_H
#define LUMO_H

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <utility>

#if defined(__i386__) || defined(_M_IX86)
#if defined(_MSC_VER)
#define LUMO_STDCALL __stdcall
#else
#define LUMO_STDCALL __attribute__((stdcall))
#endif
#else
#define LUMO_STDCALL  // one calling convention on 64-bit targets
#endif

namespace lumo {

// ---------------------------------------------------------------------------
// Exceptions. what() gives the message in Windows-1251.

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// A failed exchange or a serial-port failure.
class ESerialIO : public Exception {
 public:
  using Exception::Exception;
};
// The driver refused the queue sizes or a line setting.
class ENotSupported : public ESerialIO {
 public:
  using ESerialIO::ESerialIO;
};
// The COM port could not be opened.
class EOpenPortFail : public ESerialIO {
 public:
  using ESerialIO::ESerialIO;
};
// A block is larger than the free room of the output ring.
class EOutputBufferTooSmall : public ESerialIO {
 public:
  using ESerialIO::ESerialIO;
};
// The output ring stored no byte of a block.
class EPutBlockFail : public ESerialIO {
 public:
  using ESerialIO::ESerialIO;
};
// The input ring holds fewer bytes than asked for.
class EBufferIsEmpty : public ESerialIO {
 public:
  using ESerialIO::ESerialIO;
};
// An operation that needs the device found the port closed.
class EPortNotOpen : public ESerialIO {
 public:
  using ESerialIO::ESerialIO;
};
// A reply field that should be hexadecimal is not. Not an ESerialIO: the
// exchange itself succeeded.
class EConvertError : public Exception {
 public:
  using Exception::Exception;
};
// Slots 0 and 1 are declared but have no implementation.
class EAbstractError : public Exception {
 public:
  using Exception::Exception;
};

// ---------------------------------------------------------------------------
// Communication unit: the host's own line object for connection types 0 to 2.
// Its first word points at slot 0 of a table of stdcall operations; the driver
// calls the slots below with the unit as first argument. A callback is passed
// as two words, the entry first and then the object it is bound to; the unit
// calls the entry with that object as first argument.

struct Unit {
  void* const* slots;
};

enum UnitSlot : int {
  kUnitGetLineState = 23,
  kUnitSetReplyValidator = 24,
  kUnitLineExchange = 25,
  kUnitConfigureLine = 26,
  kUnitSetLineConfigHandler = 27,
  kUnitReportReplyCheck = 31,
  kUnitSlotCount = 32  // a unit's table holds at least this many entries
};

// Reply check codes that the driver reports through kUnitReportReplyCheck.
enum ReplyCheck : uint32_t {
  kReplyValid = 0,
  kReplyBadEnd = 209,    // does not end with '*' and carriage return
  kReplyBadCheck = 222,  // check digits differ from the computed check byte
  kReplyBadStart = 223   // does not begin with '@'
};

// Reply validator callback: true (1) when the reply collected so far is valid.
// received and expected point at byte counts.
using ReplyValidatorFn = uint32_t(LUMO_STDCALL*)(void* bound, uint32_t address,
                                                 const char* reply, int32_t limit,
                                                 uint8_t* received, uint8_t* expected);
// Line configuration callback; its byte argument is ignored by the driver.
using LineConfigHandlerFn = void(LUMO_STDCALL*)(void* bound, uint32_t unused);

using UnitGetLineStateFn = uint32_t(LUMO_STDCALL*)(Unit*, uint32_t line_key);
using UnitSetReplyValidatorFn = void(LUMO_STDCALL*)(Unit*, uint32_t connection_type,
                                                    uint32_t address, ReplyValidatorFn entry,
                                                    void* bound);
using UnitLineExchangeFn = int32_t(LUMO_STDCALL*)(Unit*, uint32_t connection_type,
                                                  uint32_t address, uint32_t address2,
                                                  const char* frame, uint32_t frame_length,
                                                  char* buffer, uint32_t expected_length,
                                                  uint32_t zero);
using UnitConfigureLineFn = int32_t(LUMO_STDCALL*)(Unit*, uint32_t line_key, uint32_t a,
                                                   uint32_t baud, uint32_t window_ms,
                                                   uint32_t b, uint32_t c);
using UnitSetLineConfigHandlerFn = void(LUMO_STDCALL*)(Unit*, uint32_t line_key,
                                                       LineConfigHandlerFn entry, void* bound);
using UnitReportReplyCheckFn = void(LUMO_STDCALL*)(Unit*, uint32_t connection_type,
                                                   uint32_t code);

// ---------------------------------------------------------------------------
// Driver object.

struct Driver;  // opaque; its first word points at slot 0

enum Slot : int {
  kSlotRelease = -1,  // destructor: runs the destructor and frees the object
  kSlotAbstract0 = 0,
  kSlotAbstract1 = 1,
  kSlotGetDriverName = 2,
  kSlotSetLinkState = 3,
  kSlotGetLinkState = 4,
  kSlotSetupLink = 5,
  kSlotReserved6 = 6,
  kSlotReadConfig = 7,
  kSlotReadState = 8,
  kSlotQueryValue4 = 9,
  kSlotQuerySignedValue6 = 10,
  kSlotQueryRoundedValue5 = 11,
  kSlotQueryScaledValue8 = 12,
  kSlotGetZeroPair = 13,
  kSlotQueryScaledValue16 = 14,
  kSlotAddMenuItems = 15,
  kSlotCount = 16
};

// Link state values (GetLinkState).
enum LinkState : uint8_t {
  kLinkValidReply = 1,
  kLinkNoReply = 2,  // no reply, or no transport
  kLinkBadReply = 3  // the reply failed validation or the gauge reported an error
};

using ReleaseFn = void(LUMO_STDCALL*)(Driver*);
using AbstractFn = void(LUMO_STDCALL*)(Driver*);
// Slot 2 takes the result buffer first: 33 bytes, a length byte (32) and the
// name in Windows-1251.
using GetDriverNameFn = void(LUMO_STDCALL*)(unsigned char* result, Driver*);
using SetLinkStateFn = void(LUMO_STDCALL*)(Driver*, uint32_t state);
using GetLinkStateFn = uint32_t(LUMO_STDCALL*)(Driver*);
using SetupLinkFn = void(LUMO_STDCALL*)(Driver*, uint32_t unused);
using Reserved6Fn = void(LUMO_STDCALL*)(Driver*);
using ReadConfigFn = void(LUMO_STDCALL*)(Driver*, unsigned char* block16);
using ReadStateFn = int32_t(LUMO_STDCALL*)(Driver*);
using QueryValue4Fn = double(LUMO_STDCALL*)(Driver*, uint32_t channel);
using QuerySignedValue6Fn = void(LUMO_STDCALL*)(Driver*, uint32_t channel, double* four);
using QueryRoundedValue5Fn = int32_t(LUMO_STDCALL*)(Driver*, uint32_t channel);
using QueryScaledValue8Fn = double(LUMO_STDCALL*)(Driver*, uint32_t channel);
using GetZeroPairFn = void(LUMO_STDCALL*)(Driver*, uint32_t unused, uint16_t* pair);
using QueryScaledValue16Fn = double(LUMO_STDCALL*)(Driver*, uint32_t channel);
using AddMenuItemsFn = void(LUMO_STDCALL*)(Driver*, void* main_menu_root, uint32_t unused);

// Slot 15, AddMenuItems: the tuning dialog's menu item.
// - main_menu_root is the HMENU of the host's menu bar, as GetMenu returns it.
// - Call it on the thread that owns the window, after the menu bar is attached
//   to the window (SetMenu). Only the first call on a driver object acts.
// - The driver appends the item "Настройка уровнемера Лумо (COM №n)" (or
//   "(БС №n)") to the first top-level menu captioned exactly "&Настройка", and
//   receives its click by subclassing that window (SetWindowSubclass). A click
//   opens the modal tuning dialog on that thread, inside the click's handling;
//   the host's window stays disabled until the dialog closes.
// - Each item's command identifier is taken from the range below: a host must
//   not use these identifiers for its own WM_COMMAND items.
// - Releasing the driver object removes its item and its subclass. Release it
//   on the window's thread (elsewhere the subclass is removed when that thread
//   next handles a message, so let it run before unloading the library).
//   Releasing a driver whose dialog is open closes the dialog first: on the
//   dialog's thread the object is freed once the dialog has ended; on another
//   thread the release waits for that.
constexpr uint16_t kMenuCommandFirst = 0xA000;  // 40960
constexpr uint16_t kMenuCommandLast = 0xA0FF;   // 41215

// The entry of a slot (kSlotRelease to kSlotAddMenuItems).
inline void* SlotEntry(Driver* driver, int slot) {
  void* const* table = *reinterpret_cast<void* const* const*>(driver);
  return table[slot];
}

template <typename Fn>
inline Fn SlotAs(Driver* driver, int slot) {
  return reinterpret_cast<Fn>(SlotEntry(driver, slot));
}

// Releases a driver object obtained from a factory.
inline void Release(Driver* driver) {
  if (driver) SlotAs<ReleaseFn>(driver, kSlotRelease)(driver);
}

// Exported factories (look them up by name or by ordinal).
// GetSiloEx3 (ordinal 1): connection type = number - 1 when is_unit_number is
// true (communication unit No. 1 to 3), number + 2 otherwise (COM1 to COM8).
using GetSiloEx3Fn = Driver*(LUMO_STDCALL*)(Unit* unit, uint32_t number, uint32_t is_unit_number);
// GetSiloEx (ordinal 2): connection type from cnf.ini in the Windows
// directory, section "Lumo", key "ConnectionType" (0 when absent).
using GetSiloExFn = Driver*(LUMO_STDCALL*)(Unit* unit, uint32_t unused);

// What the library takes from a gauge. A reply is taken when it starts with
// '@', ends with '*' and carriage return, its check digits match, and it holds
// the fields the operation reads; its leading bytes (the channel and code a
// gauge may repeat there) decide nothing. Over a COM port the library learns
// from the gauge whether its replies repeat the request's channel and code:
// after 8 consecutive replies that do, to at least two different requests, a
// valid reply naming another channel or code counts as the late reply to an
// earlier request and is not taken (the exchange tries again). Three attempts
// in a row with such a reply drop that convention, and the third is taken:
// a gauge that does not repeat the request never loses a request to it.
// Learned per open port; kept when a lost device is opened again.

// Fast replies (either factory, COM connections only): "FastReply=1" in the
// same section of cnf.ini makes each serial port, when it opens, judge a reply
// as soon as a whole frame ending in '*' and carriage return has passed the
// check, instead of always at the end of the 200-ms window. Absent, 0 or any
// other value: the fixed window. The trade-off: an exchange with a prompt
// gauge takes about 37 ms instead of 200 at 9600 baud, but bytes that follow
// a valid frame are no longer seen, so a frame the fixed window would reject
// for trailing noise is accepted. Takes effect for ports opened after the change.
constexpr const char* kFastReplyKey = "FastReply";

constexpr const char* kGetSiloEx3Name = "GetSiloEx3";
constexpr const char* kGetSiloExName = "GetSiloEx";
constexpr int kDriverNameBytes = 33;

}  // namespace lumo

#endif  // LUMO_H
