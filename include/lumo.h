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

// ---------------------------------------------------------------------------
// The slots. Every slot takes the driver object first (slot 2 excepted) and is
// called through SlotAs<...Fn>(driver, kSlot...). Common to the requests
// (slots 7 to 12 and 14):
//
// - Outcome: read GetLinkState (slot 4) right after the call. 1: a valid reply
//   was read and the result holds its value; 2: no reply, or no transport (a
//   unit type without a unit, a COM type whose port failed to open); 3: the
//   reply failed the check, was too short for its fields, or its status byte
//   reported a device error. Without 1 the result is the no-value result
//   below and no exception is raised.
// - Exceptions: ESerialIO when the exchange itself failed (no transport, the
//   serial device failed on every attempt, the unit threw), with the
//   operation's message in Windows-1251: "Ошибка запроса конфигурации"
//   (slot 7), "Ошибка запроса состояния" (slot 8), "Ошибка запроса уровня"
//   (slots 9 to 12 and 14). EConvertError ("'<chars>' is not a valid integer
//   value") when a field of a valid reply is not hexadecimal; the link state
//   then stays 1 and nothing is delivered.
// - Lock: each request takes the driver object's lock for its exchange only.
//   The link state is one byte shared by all threads: a host that calls one
//   driver object from several threads serialises its own calls, or the state
//   it reads may be another thread's.
// - Duration over a COM port (9600 baud, 8N1): a valid reply ends the
//   exchange at the end of the 200-ms window, or in fast mode (FastReply=1)
//   as soon as the frame is in (about 37 ms). Without a valid reply the port
//   tries three times, 200 ms each with 70-ms pauses: 740 ms. Before that a
//   call waits for the lock: behind another thread's request (up to 740 ms),
//   and while the tuning dialog reads a channel (one batch of 23 requests
//   under the lock) up to 23 x 740 ms, about 17 s, on a silent gauge. Over a
//   communication unit: what the unit's exchange takes.
// - Channel: the channel number 0 to 31, sent as given (a byte; no range
//   test). Units of the values are the gauge's: the library adds the tenths
//   byte / 10 to the integer part and applies the step named below, nothing
//   else.

// Destructor (slot -1, the word before slot 0): releases the serial port,
// removes the dialog's menu item (see slot 15) and frees the object. The
// communication unit is the host's and is left alone.
using ReleaseFn = void(LUMO_STDCALL*)(Driver*);
// Slots 0 and 1: declared without an implementation; a call raises
// EAbstractError("Abstract Error").
using AbstractFn = void(LUMO_STDCALL*)(Driver*);
// Slot 2, GetDriverName: writes exactly 33 bytes at result, the length byte
// 32 and "v3.00#Протокол к уровнемеру ЛУМО" in Windows-1251; the buffer beyond
// is untouched. The result buffer comes first, the driver second. No lock, no
// exception, immediate.
using GetDriverNameFn = void(LUMO_STDCALL*)(unsigned char* result, Driver*);
// Slot 3, SetLinkState: stores the low byte of state as the link state, any
// value (7 reads back as 7). No lock, no exception, immediate.
using SetLinkStateFn = void(LUMO_STDCALL*)(Driver*, uint32_t state);
// Slot 4, GetLinkState: the link state (LinkState below, or what SetLinkState
// stored), zero-extended; 1 after construction. No lock, immediate.
using GetLinkStateFn = uint32_t(LUMO_STDCALL*)(Driver*);
// Slot 5, SetupLink: for connection types 0 to 2 with a unit, registers the
// driver's line configuration handler with the unit (unit slot 27) and has
// the unit configure the line (unit slot 26: 9600 baud, 200-ms window). Does
// nothing without a unit; the argument is ignored. Whatever the unit throws
// stays inside the call. No lock; as long as the unit's two calls take. The
// factories do not call it: a host with a unit calls it once before the
// first request.
using SetupLinkFn = void(LUMO_STDCALL*)(Driver*, uint32_t unused);
// Slot 6, Reserved6: does nothing.
using Reserved6Fn = void(LUMO_STDCALL*)(Driver*);
// Slot 7, ReadConfig: request 0x11 (no channel). With link state 1, block16
// receives the reply's first 16 characters unchanged, beginning with '@'
// (64); otherwise block16 is left as it was.
using ReadConfigFn = void(LUMO_STDCALL*)(Driver*, unsigned char* block16);
// Slot 8, ReadState: request 0x14 (no channel). The character code of the
// reply's character 1 ('0' gives 48, 'A' 65); 0 without link state 1.
using ReadStateFn = int32_t(LUMO_STDCALL*)(Driver*);
// Slot 9, QueryValue4: request code 4 of the channel. The value V = integer
// part (0 to 65535) + tenths / 10. Any non-zero status byte is a device
// error (link state 3). No value: 0.0.
using QueryValue4Fn = double(LUMO_STDCALL*)(Driver*, uint32_t channel);
// Slot 10, QuerySignedValue6: request code 6 of the channel. V = magnitude
// (one byte, 0 to 255) + tenths / 10, negated (negative zero included) when
// the sign marker is above '0'; written to all four doubles at four. Status
// 16 and above is a device error, 1 to 15 still delivers. No value: four is
// left as it was.
using QuerySignedValue6Fn = void(LUMO_STDCALL*)(Driver*, uint32_t channel, double* four);
// Slot 11, QueryRoundedValue5: request code 5 of the channel. V rounded to
// the nearest integer, ties to even (12.5 gives 12, 13.5 gives 14). Any
// non-zero status is a device error. No value: 0.
using QueryRoundedValue5Fn = int32_t(LUMO_STDCALL*)(Driver*, uint32_t channel);
// Slot 12, QueryScaledValue8: request code 8 of the channel. V / 1000 (at
// most 65.5605). Status 16 and above is a device error. No value: 0.0.
using QueryScaledValue8Fn = double(LUMO_STDCALL*)(Driver*, uint32_t channel);
// Slot 13, GetZeroPair: stores 0 into both 16-bit values at pair (four zero
// bytes) and nothing else; no request, no lock, immediate.
using GetZeroPairFn = void(LUMO_STDCALL*)(Driver*, uint32_t unused, uint16_t* pair);
// Slot 14, QueryScaledValue16: request code 16 (0x10) of the channel, a
// 21-character reply. V = integer part (24 bits, 0 to 16777215) + tenths /
// 10, divided by 1000. Status 16 and above is a device error. No value: 0.0.
using QueryScaledValue16Fn = double(LUMO_STDCALL*)(Driver*, uint32_t channel);
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
// - No request, no driver lock; returns at once. Without a menu captioned
//   "&Настройка", or without a window of this thread owning main_menu_root,
//   nothing is added and nothing is raised. The dialog takes the driver lock
//   for each of its requests, and for a whole channel (23 requests) when it
//   reads one: see the durations above.
using AddMenuItemsFn = void(LUMO_STDCALL*)(Driver*, void* main_menu_root, uint32_t unused);
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
// true (communication unit No. 1 to 3), number + 2 otherwise (COMnumber, 1 to
// 253; the tuning dialog lists COM1 to COM32).
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
// in a row with such a reply drop that convention (the gauge may have been
// replaced) and end the request as a bad reply, link state 3: a reply that may
// be another request's is never handed over; the next request reads the
// gauge. A gauge that does not repeat the request never loses a request to it.
// Learned per open port; kept when a lost device is opened again.
//
// The serial line (COM connections). The library sets the whole line when it
// opens a port, whatever another program left on it: 9600 baud, 8 data bits,
// no parity, one stop bit, binary, no parity checking, no CTS, DSR or XON/XOFF
// flow control in either direction, no DSR sensitivity, DTR on (converters may
// draw their power from it), RTS held low, no abort on error, no error or null
// character replacement. It needs nothing of RTS or CTS, so a three-wire cable
// or an RS-232/RS-485 converter with automatic direction control serves. A
// two-wire converter whose receiver stays on returns each request before the
// reply: that echo (an exact copy of the request, first in the attempt) is
// set aside, never taken as the reply, in both reply modes; only on a line
// that has delivered replies without an echo is a reply that equals its
// request byte for byte taken. Bytes after a reply that start no further frame
// (a bus nobody biases) are ignored. Bytes that arrive when no request is
// under way answer nothing: the next frame waits until the line has been
// quiet for 20 ms (at most 200 ms), and before each attempt whatever is left
// unsent of an earlier frame is dropped, so that a line that stalls and
// resumes never carries a backlog. A frame that has not left within its
// window ends as no reply. The 200-ms window and the 70-ms pause are measured
// with the high-resolution counter and always last their whole length,
// whatever the system timer's tick.

// Fast replies (either factory, COM connections only): "FastReply=1" in the
// same section of cnf.ini makes each serial port, when it opens, judge a reply
// as soon as a whole frame ending in '*' and carriage return has passed the
// check, instead of always at the end of the 200-ms window. Absent, 0 or any
// other value: the fixed window. The trade-off: an exchange with a prompt
// gauge takes about 37 ms instead of 200 at 9600 baud, but bytes that follow
// a valid frame are no longer seen. After an attempt without a reply or bytes
// nobody asked for, and for the next 8 valid replies, a frame is taken only
// once 20 ms have shown no further frame right behind it (a line replaying a
// backlog after a stall): those exchanges take 20 ms longer.
// Takes effect for ports opened after the change.
constexpr const char* kFastReplyKey = "FastReply";

// Trace (either factory, both connection kinds): "TraceFile=PATH" in the same
// section, or the environment variable LUMO_TRACE_FILE (which wins when set),
// makes the driver object append one line per event to PATH: each request,
// its attempts' frames and the bytes that came back, the verdict and the link
// state left, port events, the connection switch, the tuning dialog's batches
// and every error the library catches. "TraceMaxKB" is the size at which the
// file rolls over to PATH.1 (default 10240). Read when a driver object is
// built and at each connection switch. Off (absent or empty) costs nothing;
// a file that cannot be written turns the trace off, never an exchange.
constexpr const char* kTraceFileKey = "TraceFile";
constexpr const char* kTraceMaxKbKey = "TraceMaxKB";
constexpr const char* kTraceFileVariable = "LUMO_TRACE_FILE";

constexpr const char* kGetSiloEx3Name = "GetSiloEx3";
constexpr const char* kGetSiloExName = "GetSiloEx";
constexpr int kDriverNameBytes = 33;

}  // namespace lumo

#endif  // LUMO_H
