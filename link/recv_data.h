// RecvData: waits for the receiver thread's verdict on the next message,
// asks the meter to send missing parts again, copies the message out and
// hands the receive state back to the thread.
#pragma once

#include <cstdint>

#include "link_state.h"
#include "vantbrook/brisel.h"

namespace vb::link {

int32_t receiveMessage(LinkState& link, LinkRecord& record);

}  // namespace vb::link
