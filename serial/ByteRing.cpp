#include "serial/ByteRing.h"

#include <cstring>

namespace lumo::serial {

void ByteRing::Allocate(size_t capacity) {
  // At least one byte, so that a ring of capacity 0 still has storage to
  // point runs at.
  storage_.reset(new uint8_t[capacity ? capacity : 1]);
  capacity_ = capacity;
  Clear();
}

void ByteRing::Free() {
  storage_.reset();
  capacity_ = 0;
  Clear();
}

size_t ByteRing::Count() const {
  if (head_ > tail_) return head_ - tail_;
  if (head_ < tail_) return capacity_ - tail_ + head_;
  return full_ ? capacity_ : 0;
}

size_t ByteRing::Advance(size_t position, size_t n) const {
  const size_t next = position + n;
  return next >= capacity_ ? next - capacity_ : next;
}

uint8_t* ByteRing::FreeRun(size_t& length) {
  if (full_) length = 0;
  else if (head_ < tail_) length = tail_ - head_;
  else length = capacity_ - head_;
  return storage_.get() + head_;
}

void ByteRing::Commit(size_t n) {
  if (n == 0) return;
  head_ = Advance(head_, n);
  full_ = head_ == tail_;
}

const uint8_t* ByteRing::HeldRun(size_t& length) const {
  if (head_ > tail_) length = head_ - tail_;
  else if (head_ < tail_ || full_) length = capacity_ - tail_;
  else length = 0;
  return storage_.get() + tail_;
}

void ByteRing::Consume(size_t n) {
  if (n == 0) return;
  tail_ = Advance(tail_, n);
  full_ = false;
}

bool ByteRing::Put(const void* data, size_t count) {
  if (count > Room()) return false;
  if (count == 0) return true;
  const auto* bytes = static_cast<const uint8_t*>(data);
  const size_t to_end = capacity_ - head_;
  if (count <= to_end) {
    std::memcpy(storage_.get() + head_, bytes, count);
  } else {
    std::memcpy(storage_.get() + head_, bytes, to_end);
    std::memcpy(storage_.get(), bytes + to_end, count - to_end);
  }
  Commit(count);
  return true;
}

uint8_t ByteRing::Peek(size_t index) const { return storage_[Advance(tail_, index)]; }

void ByteRing::DropHeld() {
  tail_ = head_;
  full_ = false;
}

void ByteRing::Clear() {
  head_ = tail_ = 0;
  full_ = false;
}

}  // namespace lumo::serial
