// ByteRing: a ring of bytes of fixed capacity, as the serial port's input and
// output rings use it. The head is where the next byte goes, the tail the
// oldest byte held; both wrap from the capacity back to 0, and a flag tells a
// full ring from an empty one when they meet.
//
// The ring does no locking: the port guards it with its own lock. A producer
// may fill the free run it was given outside that lock and commit it later,
// and a consumer may likewise read the held run it was given: the other side
// only ever adds to a free run or to a held run, never takes from it.
//
// Plain C++: it is built natively for its tests too.
#ifndef LUMO_SERIAL_BYTERING_H
#define LUMO_SERIAL_BYTERING_H

#include <cstddef>
#include <cstdint>
#include <memory>

namespace lumo::serial {

class ByteRing {
 public:
  ByteRing() = default;
  ByteRing(const ByteRing&) = delete;
  ByteRing& operator=(const ByteRing&) = delete;

  // Gives the ring capacity bytes of storage, empty; any storage it had goes.
  // A capacity of 0 makes a ring that holds nothing.
  void Allocate(size_t capacity);
  // Frees the storage: the ring holds nothing and has no room.
  void Free();
  bool Allocated() const { return storage_ != nullptr; }

  size_t Capacity() const { return capacity_; }
  size_t Count() const;
  size_t Room() const { return capacity_ - Count(); }
  bool Empty() const { return Count() == 0; }
  bool Full() const { return full_; }

  // The free bytes that follow the head up to the storage's end or the tail,
  // whichever comes first: where the next bytes go without wrapping. length
  // is 0 when the ring is full.
  uint8_t* FreeRun(size_t& length);
  // Counts n bytes written at the start of the free run as held. n must not
  // exceed the free run's length.
  void Commit(size_t n);

  // The held bytes from the tail up to the storage's end or the head,
  // whichever comes first. length is 0 when the ring is empty.
  const uint8_t* HeldRun(size_t& length) const;
  // Drops the n oldest bytes. n must not exceed the held run's length.
  void Consume(size_t n);

  // Stores the whole block, wrapping at the storage's end; false, storing
  // nothing, when the room is smaller than count.
  bool Put(const void* data, size_t count);
  // The held byte at index (0 = oldest), which must be below Count().
  uint8_t Peek(size_t index) const;
  // Drops every held byte; the head stays where it is.
  void DropHeld();
  // Empties the ring and puts head and tail back at the storage's start.
  void Clear();

  // Positions and storage, for checks of the layout.
  size_t Head() const { return head_; }
  size_t Tail() const { return tail_; }
  const uint8_t* Storage() const { return storage_.get(); }

 private:
  size_t Advance(size_t position, size_t n) const;

  std::unique_ptr<uint8_t[]> storage_;
  size_t capacity_ = 0;
  size_t head_ = 0;
  size_t tail_ = 0;
  bool full_ = false;
};

}  // namespace lumo::serial

#endif
