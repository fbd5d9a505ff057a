#include "work_buffer.h"

#include <atomic>
#include <cstdlib>
#include <limits>

#include "message_frame.h"

namespace vb::request {
namespace {

std::atomic<ByteAllocator> g_allocator{nullptr};

std::optional<uint32_t> ReplyRoom(uint32_t fixedPart, uint32_t entrySize, uint32_t capacity) {
  const uint64_t room = uint64_t{fixedPart} + uint64_t{entrySize} * capacity;
  if (room > std::numeric_limits<uint32_t>::max()) return std::nullopt;
  return static_cast<uint32_t>(room);
}

}  // namespace

std::optional<uint32_t> PairDownloadReplyRoom(uint32_t capacity) {
  return ReplyRoom(kPairHeaderReplyRoom, kPairEntryWireSize, capacity);
}

std::optional<uint32_t> TotalsDownloadReplyRoom(uint32_t capacity) {
  return ReplyRoom(kTotalsHeaderReplyRoom, kTotalsEntryWireSize, capacity);
}

bool HeapBytes::Allocate(size_t size) {
  ByteAllocator allocator = g_allocator.load(std::memory_order_acquire);
  void* bytes = allocator != nullptr ? allocator(size) : std::malloc(size);
  bytes_.reset(static_cast<unsigned char*>(bytes));
  return bytes != nullptr;
}

void HeapBytes::Free::operator()(unsigned char* bytes) const { std::free(bytes); }

void SetByteAllocatorForTesting(ByteAllocator allocator) {
  g_allocator.store(allocator, std::memory_order_release);
}

}  // namespace vb::request
