// Shared pieces of the fuzz targets: the failure check and a reader over the fuzz input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// A broken invariant is a finding: say which and abort, so libFuzzer keeps the input.
#define FUZZ_CHECK(condition)                                                                \
  do {                                                                                       \
    if (!(condition)) {                                                                      \
      std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                          \
    }                                                                                        \
  } while (0)

// Takes bytes off the front of the input; reads past the end give zeros.
class FuzzReader {
 public:
  FuzzReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t Word() {
    uint16_t low = Byte();
    return static_cast<uint16_t>(low | Byte() << 8);
  }
  uint32_t Dword() {
    uint32_t low = Word();
    return low | static_cast<uint32_t>(Word()) << 16;
  }
  uint64_t Qword() {
    uint64_t low = Dword();
    return low | static_cast<uint64_t>(Dword()) << 32;
  }
  size_t Remaining() const { return size_ - pos_; }
  const uint8_t* Rest() const { return data_ + pos_; }
  void Skip(size_t n) { pos_ = n < Remaining() ? pos_ + n : size_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};
