// One exchange with the meter: a command in request->data (its length in
// dataLength) goes out, the reply comes back into the same buffer.
//
// `received` reports how many reply bytes actually came into the buffer, so
// that nothing reads beyond them: after a resumed reception the reply holds
// the bytes before the resume point plus those delivered after it.
#pragma once

#include <cstdint>

#include "vantbrook/records.h"

namespace vb::request {

// Short replies. The command is sent up to commandAttempts times (0 counts as
// 1) while the reply times out, on a new link after every second time-out; a
// command longer than 128 bytes is sent once. On success dataLength is the
// reply's length.
int CommandTransaction(RequestRecord* request, ResultRecord* result, uint32_t replyRoom,
                       uint32_t* received);

// Long replies. The command is sent once; after a time-out the reception is
// resumed on a new link where it broke off, for as long as the resume cycles
// keep gaining more than 500 bytes or fewer than resumeLimit cycles in a row
// gained less. Leaves data at the buffer and dataLength at replyRoom.
int ResumableTransaction(RequestRecord* request, ResultRecord* result, uint32_t replyRoom,
                         uint32_t* received);

// The meter's id of the reply still pending after a broken reception; 0 for
// none or on failure.
uint16_t QueryPendingReply(RequestRecord* request, ResultRecord* result);

// Asks the meter to go on with reply `id` from `offset`.
int RequestResume(RequestRecord* request, ResultRecord* result, uint16_t id, uint32_t offset);

}  // namespace vb::request
