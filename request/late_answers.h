// Answers a meter still owes on a link. The meter answers every message it
// receives, so a command that had to be sent more than once on one link may
// be answered again after the transaction took its first answer. Such a
// further answer arrives before the answer to whatever is sent next; it is
// recognised by its beginning (marker and command echo) and its length, and
// dropped instead of being taken for the next command's answer.
//
// Kept per open link, across requests on a held link; forgotten when the
// link opens or closes. Safe to use from any thread.
#pragma once

#include <cstdint>

#include "message_frame.h"

namespace vb::request {

// What the answer to a sent message is expected to echo: the command number
// of a framed command, or kUnframedMessage for a host text sent as it is.
inline constexpr int32_t kUnframedMessage = -1;
int32_t AnswerKey(const uint8_t* sent, uint32_t sentLength);

// The message with this key went out `sends` times on the link and `taken`
// was accepted as its answer: sends - 1 more answers like it may follow.
void ExpectFurtherAnswers(int32_t link, int32_t key, const Reply& taken, uint32_t sends);

// True when `reply`, received while waiting for the answer to the message
// with `key`, is a further answer to an earlier message: it is then counted
// off. Any other reply shows that the meter has answered past the repeated
// message, so nothing more is owed. A reply that could be either (the same
// message was sent again) is not dropped.
bool TakeFurtherAnswer(int32_t link, int32_t key, const Reply& reply);

void ForgetFurtherAnswers(int32_t link);

}  // namespace vb::request
