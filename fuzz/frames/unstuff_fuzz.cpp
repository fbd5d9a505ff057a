// Un-stuffing of arbitrary payload bytes into a destination of arbitrary
// capacity: never a byte beyond the destination, never more bytes out than
// in, and truncation reported exactly when the destination is full.
#include <cstdint>
#include <vector>

#include "frame.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vb::fuzz::FuzzInput input(data, size);
  const size_t capacity = input.u16() % 4200;
  const std::vector<uint8_t> raw = input.rest();
  std::vector<uint8_t> dest(capacity);
  const vb::link::UnstuffResult result =
      vb::link::Unstuff(raw.data(), raw.size(), dest.data(), dest.size());
  if (result.written > capacity || result.written > raw.size()) __builtin_trap();
  if (result.truncated && result.written != capacity) __builtin_trap();

  // With room for everything, the count of message bytes follows from the
  // escape bytes alone.
  std::vector<uint8_t> full(raw.size());
  const vb::link::UnstuffResult whole =
      vb::link::Unstuff(raw.data(), raw.size(), full.data(), full.size());
  if (whole.truncated) __builtin_trap();
  size_t expected = 0;
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != vb::link::kEscapeByte) ++expected;
  }
  if (whole.written != expected) __builtin_trap();
  return 0;
}
