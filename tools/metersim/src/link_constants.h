// The meter side of the link: texts and sizes it works with.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vb::metersim {

// The largest host message the meter assembles (the host's own receive
// buffer is no larger).
inline constexpr uint32_t kMaxHostMessage = 100000;

// A pause this long inside a frame means the rest of it is not coming.
inline constexpr uint64_t kStaleFrameMs = 500;

// Message bytes offered to each short reply frame.
inline constexpr uint32_t kShortFrameOffer = 128;

// In long-frame mode a long frame goes out only while at least its size less
// this share of it in message bytes remain; with fewer, more of it would be
// padding than short frames spend on framing, so the rest goes in short
// frames (a short reply entirely).
inline constexpr uint32_t kLongFrameMarginShare = 8;

// Room for one frame of any size.
inline constexpr size_t kFrameBufferSize = 2048 + 1;

}  // namespace vb::metersim
