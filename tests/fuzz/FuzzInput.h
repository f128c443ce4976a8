// Reads a fuzz input as a sequence of choices and byte runs. Running past the
// end gives zeros and empty runs, so every input is a valid script.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

namespace zav::fuzz {

// A property the target checks does not hold: says which and stops the
// fuzzer, which keeps the input.
[[noreturn]] inline void Broken(const char* target, const char* what) {
  std::fprintf(stderr, "%s fuzz: %s\n", target, what);
  std::abort();
}

class TFuzzInput {
 public:
  TFuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool Done() const { return at_ >= size_; }
  uint8_t Byte() { return Done() ? 0 : data_[at_++]; }
  // A value in [lo, hi] from one byte.
  int Range(int lo, int hi) { return lo + Byte() % (hi - lo + 1); }
  // Up to n bytes, fewer at the end.
  std::span<const uint8_t> Take(size_t n) {
    n = std::min(n, size_ - std::min(at_, size_));
    std::span<const uint8_t> run(data_ + at_, n);
    at_ += n;
    return run;
  }
  std::span<const uint8_t> Rest() { return Take(size_); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

}  // namespace zav::fuzz
