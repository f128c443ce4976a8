// The dispatcher's two rings: the index arithmetic of the receive ring and the
// transmit ring with its sending side. Neither is thread-safe by itself: the
// dispatcher guards the receive ring with its InputLock and the transmit ring
// with its OutputLock.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace zav {

// Positions in a ring of `Size` bytes. A full ring has head == tail like an
// empty one; the owner keeps the difference in a flag.
template <uint32_t Size>
struct TRingIndex {
  static constexpr uint32_t Advance(uint32_t index, uint32_t n) { return uint32_t((uint64_t(index) + n) % Size); }
  // Steps from `from` forward to `to` (0 .. Size - 1).
  static constexpr uint32_t Distance(uint32_t from, uint32_t to) { return (to + Size - from) % Size; }
  // Bytes from tail up to head; `full` tells a full ring from an empty one.
  static constexpr uint32_t Used(uint32_t head, uint32_t tail, bool full) {
    if (head == tail) return full ? Size : 0;
    return head > tail ? head - tail : head + Size - tail;
  }
};

// The transmit ring: WriteBlock appends at the head, the sending side (the
// output thread, or the in-memory device's wire) takes runs from the tail.
class TTransmitRing {
 public:
  // Empty, with room for `size` bytes (0: no buffer at all).
  void Reset(uint32_t size);
  uint32_t Size() const { return size_; }
  bool Full() const { return full_; }
  uint32_t Waiting() const;
  uint32_t Free() const { return size_ - Waiting(); }
  // Copies at the head; the caller has checked Free().
  void Append(const uint8_t* data, uint32_t count);
  // The bytes waiting at the tail that lie in one piece (up to the ring's
  // end); empty when nothing waits. Valid until the next Consume or Reset.
  std::span<const uint8_t> NextRun() const;
  // The first `n` bytes of NextRun left the ring.
  void Consume(uint32_t n);
  // Drops everything waiting.
  void Clear();
  // Counts Clear and Reset calls: a run taken before one of them is gone.
  uint64_t Generation() const { return generation_; }

 private:
  std::vector<uint8_t> buffer_;
  uint32_t size_ = 0, head_ = 0, tail_ = 0;
  bool full_ = false;
  uint64_t generation_ = 0;
};

}  // namespace zav
