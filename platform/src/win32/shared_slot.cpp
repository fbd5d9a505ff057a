// The shared slot with the interlocked operations, which are full barriers.
#include "platform/shared_slot.h"

#include <windows.h>

namespace vb::platform {

static_assert(sizeof(LONG) == sizeof(int32_t));

void storeSharedSlot(int32_t* slot, int32_t value) {
  InterlockedExchange(reinterpret_cast<volatile LONG*>(slot), value);
}

// A compare-exchange that never changes the slot reads it atomically.
int32_t loadSharedSlot(int32_t* slot) {
  return InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(slot), 0, 0);
}

}  // namespace vb::platform
