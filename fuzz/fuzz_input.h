// The fuzz input read a few bytes at a time, shared by the targets that build their calls from
// it: past its end every read gives zeros, so a short input still decodes to something whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace fuzz {

class Input {
 public:
  Input(const uint8_t *data, size_t size) : data_(data), size_(size) {}
  bool done() const { return at_ >= size_; }
  uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  // One of `n` choices (n >= 1).
  unsigned pick(unsigned n) { return byte() % n; }
  uint64_t word() {
    uint64_t w = 0;
    for (int k = 0; k < 8; ++k) w = (w << 8) | byte();
    return w;
  }
  int32_t int32() { return static_cast<int32_t>(static_cast<uint32_t>(word())); }
  double real() {
    uint64_t w = word();
    double d;
    std::memcpy(&d, &w, sizeof d);
    return d;
  }
  // Up to `max` raw bytes, the count taken from the input (zero bytes included).
  std::string bytes(size_t max) {
    size_t n = byte() % (max + 1);
    std::string out;
    for (size_t k = 0; k < n; ++k) out.push_back(static_cast<char>(byte()));
    return out;
  }

 private:
  const uint8_t *data_;
  size_t size_;
  size_t at_ = 0;
};

}  // namespace fuzz
