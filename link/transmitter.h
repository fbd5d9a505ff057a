// The transmitter: sends a message as data frames on the caller's thread and
// answers the meter's negative acknowledgements and resend requests, which
// the receiver thread hands over as the link's last control code.
#pragma once

#include <cstdint>

#include "link_state.h"
#include "vantbrook/brisel.h"

namespace vb::link {

// SendData: record.length bytes from record.data. 1 when sent.
int32_t sendMessage(LinkState& link, LinkRecord& record);

// Builds one frame in the link's transmit buffer and writes it to the port.
// message holds offered bytes; *position advances by the bytes that went
// into the frame. True when the port wrote it.
bool sendFrame(LinkState& link, const uint8_t* message, uint32_t offered, uint32_t* position,
               bool data);

// A control frame with its argument in the position field.
bool sendControlFrame(LinkState& link, uint8_t character, uint32_t argument);

}  // namespace vb::link
