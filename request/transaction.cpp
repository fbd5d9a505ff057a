#include "transaction.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "connection.h"
#include "late_answers.h"
#include "link_call.h"
#include "message_frame.h"
#include "platform/clock.h"
#include "result.h"
#include "trace.h"
#include "vantbrook/vantbrook.h"
#include "work_buffer.h"

namespace vb::request {
namespace {

// Commands up to this length are kept and sent again after a time-out.
constexpr uint32_t kRetainedCommandMax = 128;
// A resume cycle that gains more than this many bytes is not slow.
constexpr uint32_t kSlowCycleGain = 500;

// Puts data and dataLength back when a step that lends the record its own
// buffer returns, so the record never points at a buffer that has gone.
class BufferLoan {
 public:
  explicit BufferLoan(RequestRecord* request)
      : request_(request), data_(request->data), dataLength_(request->dataLength) {}
  ~BufferLoan() {
    request_->data = data_;
    request_->dataLength = dataLength_;
  }
  BufferLoan(const BufferLoan&) = delete;
  BufferLoan& operator=(const BufferLoan&) = delete;

 private:
  RequestRecord* request_;
  unsigned char* data_;
  uint32_t dataLength_;
};

// Receives a reply that continues at startPoint. The link places each byte
// at its offset in the buffer and writes nothing at or past replyRoom; the
// length it returns counts from startPoint.
int ReceiveReply(RequestRecord* request, ResultRecord* result, unsigned char* buffer,
                 uint32_t replyRoom, uint32_t startPoint, uint32_t* received) {
  request->data = buffer;
  request->dataLength = replyRoom;
  const int32_t ok = LinkRecvData(request, result);
  const uint32_t delivered = std::min(request->dataLength, replyRoom - startPoint);
  request->dataLength = replyRoom;
  if (ok == 0) return 0;
  *received = startPoint + delivered;
  return 1;
}

// Receives the answer to the message with `key` into buffer. A further answer
// to a message sent more than once on this link is not that answer: it is
// dropped and the wait goes on for what is left of the receive time-out.
int ReceiveAnswer(RequestRecord* request, ResultRecord* result, unsigned char* buffer,
                  uint32_t replyRoom, int32_t key, uint32_t* received) {
  const uint32_t receiveTimeout = request->receiveTimeout;
  const uint64_t deadline = platform::nowMs() + receiveTimeout;
  int ok = 0;
  for (;;) {
    ok = ReceiveReply(request, result, buffer, replyRoom, 0, received);
    if (ok == 0 || !TakeFurtherAnswer(request->linkHandle, key, Reply{buffer, *received})) break;
    Trace("Further answer to a repeated command dropped\n");
    const uint64_t now = platform::nowMs();
    request->receiveTimeout = now < deadline ? static_cast<uint32_t>(deadline - now) : 0;
  }
  request->receiveTimeout = receiveTimeout;
  return ok;
}

// Sends the small control command built in `buffer` and receives its reply
// there. False after a link failure, which the link call has reported.
bool ControlExchange(RequestRecord* request, ResultRecord* result, uint8_t* buffer,
                     uint32_t sent, uint32_t replyRoom, Reply* reply) {
  request->data = buffer;
  request->dataLength = sent;
  if (LinkSendData(request, result) == 0) return false;
  request->data = buffer;
  request->dataLength = replyRoom;
  if (LinkRecvData(request, result) == 0) return false;
  *reply = Reply{buffer, std::min(request->dataLength, replyRoom)};
  return true;
}

// The resume dialogue may end without a result code of its own (the meter
// names no pending reply, or answers for another command or reply); the
// transaction must not then fail with code 0.
int ResumeRefused(ResultRecord* result, const char* message) {
  if (result->code == VB_OK) SetResult(result, VB_REQUEST_TIMEOUT, kSource, message);
  return 0;
}

// Status of a control reply: 1 when 0; a meter status is reported, and so is
// a reply too short to hold the fields after it.
int ControlReplyUsable(ResultRecord* result, const Reply& reply) {
  if (CheckReplyStatus(result, reply) == 0) return 0;
  if (!reply.Holds(kControlReplyIdOffset, 2)) {
    ReportShortReply(result, reply.length);
    return 0;
  }
  return 1;
}

}  // namespace

int CommandTransaction(RequestRecord* request, ResultRecord* result, uint32_t replyRoom,
                       uint32_t* received) {
  const uint32_t tries = request->commandAttempts == 0 ? 1 : request->commandAttempts;
  unsigned char* const buffer = request->data;
  const uint32_t commandLength = request->dataLength;
  const bool retained = commandLength <= kRetainedCommandMax;
  std::array<unsigned char, kRetainedCommandMax> command{};
  if (retained && commandLength > 0) std::memcpy(command.data(), buffer, commandLength);
  const int32_t key = AnswerKey(buffer, commandLength);

  // Sends on the current link: the meter may answer each of them.
  uint32_t sends = 0;
  for (uint32_t attempt = 1;; ++attempt) {
    if (LinkSendData(request, result) == 0) return 0;
    ++sends;
    if (ReceiveAnswer(request, result, buffer, replyRoom, key, received) != 0) {
      ExpectFurtherAnswers(request->linkHandle, key, Reply{buffer, *received}, sends);
      request->dataLength = *received;
      return 1;
    }
    if (result->code != VB_REQUEST_TIMEOUT || attempt >= tries) return 0;
    if (attempt % 2 == 0) {
      if (Reconnect(request, result) == 0) return 0;
      sends = 0;
    }
    if (!retained) return 0;
    if (commandLength > 0) std::memcpy(buffer, command.data(), commandLength);
    request->data = buffer;
    request->dataLength = commandLength;
  }
}

int ResumableTransaction(RequestRecord* request, ResultRecord* result, uint32_t replyRoom,
                         uint32_t* received) {
  unsigned char* const buffer = request->data;
  const uint32_t commandLength = request->dataLength;
  HeapBytes command;
  if (!command.Allocate(commandLength == 0 ? 1 : commandLength)) {
    SetResult(result, VB_CANNOT_ALLOCATE_MEMORY, kSource, "Cannot allocate memory");
    return 0;
  }
  std::memcpy(command.data(), buffer, commandLength);

  struct LeaveAtBuffer {
    RequestRecord* request;
    unsigned char* buffer;
    uint32_t replyRoom;
    ~LeaveAtBuffer() {
      request->data = buffer;
      request->dataLength = replyRoom;
    }
  } leave{request, buffer, replyRoom};

  if (LinkSendData(request, result) == 0) return 0;
  if (ReceiveAnswer(request, result, buffer, replyRoom, AnswerKey(buffer, commandLength),
                    received) != 0) {
    return 1;
  }
  if (result->code != VB_REQUEST_TIMEOUT || request->resumeLimit == 0) return 0;

  uint32_t lastOffset = 0;
  uint32_t slowCycles = 0;
  for (;;) {
    ++slowCycles;
    const uint32_t offset = LinkGetResumePoint(request, result);
    const uint32_t total = LinkGetMsgLength(request, result);
    if (offset - lastOffset > kSlowCycleGain) slowCycles = 0;
    lastOffset = offset;
    if (offset > replyRoom) {
      SetResultF(result, VB_MESSAGE_TRUNCATED, "Resume point %u beyond reply room %u",
                 static_cast<unsigned>(offset), static_cast<unsigned>(replyRoom));
      return 0;
    }
    if (Reconnect(request, result) == 0) return 0;

    const uint16_t id = QueryPendingReply(request, result);
    int receivedOk = 0;
    if (id != 0) {
      if (RequestResume(request, result, id, offset) == 0) {
        return ResumeRefused(result, "Meter did not resume the reply");
      }
      LinkSetStartPoint(request, result, offset);
      LinkSetMsgLength(request, result, total);
      receivedOk = ReceiveReply(request, result, buffer, replyRoom, offset, received);
    } else {
      if (result->code != VB_PARAMETER_NOT_VALID) {
        return ResumeRefused(result, "No pending reply to resume");
      }
      std::memcpy(buffer, command.data(), commandLength);
      request->data = buffer;
      request->dataLength = commandLength;
      if (LinkSendData(request, result) == 0) return 0;
      receivedOk = ReceiveReply(request, result, buffer, replyRoom, 0, received);
    }
    if (receivedOk != 0) return 1;
    if (result->code != VB_REQUEST_TIMEOUT) return 0;
    if (slowCycles >= request->resumeLimit) return 0;
  }
}

uint16_t QueryPendingReply(RequestRecord* request, ResultRecord* result) {
  BufferLoan loan(request);
  std::array<uint8_t, kControlBufferSize> buffer{};
  BuildCommandHeader(buffer.data(), kClassControl, kCtlQueryPendingReply,
                     kQueryPendingSent - kDataCountBase, 0);
  Reply reply{buffer.data(), 0};
  if (!ControlExchange(request, result, buffer.data(), kQueryPendingSent, kQueryPendingReplyRoom,
                       &reply)) {
    return 0;
  }
  if (ControlReplyUsable(result, reply) == 0) return 0;
  if (GetU16(reply.bytes + kReplyCommandOffset) != kCtlQueryPendingReply) return 0;
  return GetU16(reply.bytes + kControlReplyIdOffset);
}

int RequestResume(RequestRecord* request, ResultRecord* result, uint16_t id, uint32_t offset) {
  BufferLoan loan(request);
  std::array<uint8_t, kControlBufferSize> buffer{};
  BuildCommandHeader(buffer.data(), kClassControl, kCtlRequestResume,
                     kRequestResumeSent - kDataCountBase, id);
  PutU32(buffer.data() + kCommandDataOffset, offset);
  Reply reply{buffer.data(), 0};
  if (!ControlExchange(request, result, buffer.data(), kRequestResumeSent,
                       kRequestResumeReplyRoom, &reply)) {
    return 0;
  }
  if (ControlReplyUsable(result, reply) == 0) return 0;
  if (GetU16(reply.bytes + kReplyCommandOffset) != kCtlRequestResume) return 0;
  return GetU16(reply.bytes + kControlReplyIdOffset) == id ? 1 : 0;
}

}  // namespace vb::request
