// A 32-bit slot that one thread writes while another reads it: a port
// driver puts its new connection handle in the caller's port slot as soon as
// the connection exists, and the link library's watch over the call set-up
// reads it from its own thread to abort that set-up. The two sides live in
// different modules, each with its own copy of this layer, so the slot is a
// plain int32_t that both reach only through these two calls.
#pragma once

#include <cstdint>

namespace vb::platform {

// Stores value in the slot; a reader on another thread sees it whole, with
// everything the writer did before.
void storeSharedSlot(int32_t* slot, int32_t value);
// The slot's value, whole, as the last store left it.
int32_t loadSharedSlot(int32_t* slot);

}  // namespace vb::platform
