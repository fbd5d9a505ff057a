// Host records surrounded by guard bytes: anything the library writes just
// before or after a record the host handed it shows up as a changed guard.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace vb::hostinput {

inline constexpr size_t kGuardBytes = 64;
inline constexpr uint8_t kGuardFill = 0xA5;

// `count` objects of T in one block between two guards. The objects start
// zeroed and are suitably aligned for any record.
template <typename T>
class Guarded {
 public:
  explicit Guarded(size_t count = 1) : count_(count), block_(kGuardBytes * 2 + Bytes() + kAlign) {
    std::fill(block_.begin(), block_.end(), kGuardFill);
    std::memset(static_cast<void*>(get()), 0, Bytes());
  }
  Guarded(const Guarded&) = delete;
  Guarded& operator=(const Guarded&) = delete;

  T* get() { return reinterpret_cast<T*>(block_.data() + Start()); }
  T& operator*() { return *get(); }
  T* operator->() { return get(); }
  size_t count() const { return count_; }

  // True while both guards are as they were filled.
  bool intact() const {
    const auto untouched = [](uint8_t byte) { return byte == kGuardFill; };
    const auto first = block_.begin() + static_cast<long>(Start());
    const auto last = first + static_cast<long>(Bytes());
    return std::all_of(block_.begin() + static_cast<long>(Start() - kGuardBytes), first,
                       untouched) &&
           std::all_of(last, last + static_cast<long>(kGuardBytes), untouched);
  }

 private:
  static constexpr size_t kAlign = alignof(std::max_align_t);
  size_t Bytes() const { return sizeof(T) * count_; }
  size_t Start() const {
    const auto address = reinterpret_cast<uintptr_t>(block_.data()) + kGuardBytes;
    return kGuardBytes + (kAlign - address % kAlign) % kAlign;
  }

  size_t count_;
  std::vector<uint8_t> block_;
};

}  // namespace vb::hostinput
