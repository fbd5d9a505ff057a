// The per-request work buffer in which commands are built and replies
// received, and the sizes of the replies that decide its size. Sizes are
// computed in 32 bits; a size that does not fit is reported, never wrapped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

namespace vb::request {

// Reply room of a download of `capacity` entries: 332 + 4 * capacity for the
// pair loggers 1 and 2, 572 + 40 * capacity for the totals logger 3; empty
// when the size does not fit in 32 bits.
std::optional<uint32_t> PairDownloadReplyRoom(uint32_t capacity);
std::optional<uint32_t> TotalsDownloadReplyRoom(uint32_t capacity);

// Bytes from the heap without throwing: null when they cannot be had.
class HeapBytes {
 public:
  HeapBytes() = default;
  bool Allocate(size_t size);
  unsigned char* data() const { return bytes_.get(); }

 private:
  struct Free {
    void operator()(unsigned char* bytes) const;
  };
  std::unique_ptr<unsigned char, Free> bytes_;
};

// Replaces the allocator behind HeapBytes (nullptr restores the standard
// one), so that tests can make an allocation fail. The allocator returns
// memory that std::free releases, or null. Install before requests run.
using ByteAllocator = void* (*)(size_t size);
void SetByteAllocatorForTesting(ByteAllocator allocator);

}  // namespace vb::request
