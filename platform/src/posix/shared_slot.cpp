// The shared slot with the compiler's atomic operations on a plain int32_t.
#include "platform/shared_slot.h"

namespace vb::platform {

void storeSharedSlot(int32_t* slot, int32_t value) {
  __atomic_store_n(slot, value, __ATOMIC_RELEASE);
}

int32_t loadSharedSlot(int32_t* slot) { return __atomic_load_n(slot, __ATOMIC_ACQUIRE); }

}  // namespace vb::platform
