// The receiver thread of a link: reads the line without pause, takes frames
// apart, stores message bytes at their position, keeps the gap table, hands
// the meter's control frames to the transmitter, reports progress and posts
// a verdict on each message for RecvData.
#pragma once

#include "link_state.h"

namespace vb::link {

// The thread body; returns when the link's running flag is cleared.
void runReceiver(LinkState& link);

}  // namespace vb::link
