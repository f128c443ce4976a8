#include "serial/QwRings.h"

#include <algorithm>
#include <cstring>

namespace zav {

void TTransmitRing::Reset(uint32_t size) {
  buffer_.assign(size, 0);
  if (size == 0) buffer_.shrink_to_fit();
  size_ = size;
  Clear();
}

uint32_t TTransmitRing::Waiting() const {
  if (head_ == tail_) return full_ ? size_ : 0;
  return head_ > tail_ ? head_ - tail_ : head_ + size_ - tail_;
}

void TTransmitRing::Append(const uint8_t* data, uint32_t count) {
  if (size_ == 0 || count == 0) return;
  const uint32_t first = std::min(count, size_ - head_);
  std::memcpy(buffer_.data() + head_, data, first);
  std::memcpy(buffer_.data(), data + first, count - first);
  head_ = (head_ + count) % size_;
  if (head_ == tail_) full_ = true;
}

std::span<const uint8_t> TTransmitRing::NextRun() const {
  const uint32_t waiting = Waiting();
  if (waiting == 0) return {};
  return {buffer_.data() + tail_, std::min(waiting, size_ - tail_)};
}

void TTransmitRing::Consume(uint32_t n) {
  if (size_ == 0 || n == 0) return;
  n = std::min(n, Waiting());
  tail_ = (tail_ + n) % size_;
  full_ = false;
  if (tail_ == head_) head_ = tail_ = 0;  // caught up: the next block starts in one piece
}

void TTransmitRing::Clear() {
  head_ = tail_ = 0;
  full_ = false;
  ++generation_;
}

}  // namespace zav
