#include "transmitter.h"

#include <algorithm>

#include "frame.h"
#include "link_constants.h"
#include "outcome.h"

namespace vb::link {
namespace {

// Gives the meter a moment to answer the frame just sent: up to ten waits
// for any good frame. True when the receiver reported a user abort meanwhile.
bool waitForAnswer(LinkState& link, uint32_t waitMs) {
  for (int i = 0; i < kAnswerWaits; ++i) {
    if (link.frameReceived.wait(waitMs)) break;
    if (link.rxAbort.tryWait()) return true;
  }
  link.frameReceived.reset();
  return false;
}

int32_t portFailure(LinkState& link, LinkRecord& record) {
  const char* text = link.port.getPortError(link.portHandle.load());
  setFailure(record, LINK_FAILED, text != nullptr ? text : "");
  return 0;
}

uint32_t offerFrom(uint32_t position, uint32_t length) {
  return std::min(length - position, kFrameDataSize);
}

}  // namespace

bool sendFrame(LinkState& link, const uint8_t* message, uint32_t offered, uint32_t* position,
               bool data) {
  const size_t size =
      BuildFrame(message, offered, position, data ? FrameKind::kData : FrameKind::kControl,
                 link.transmitBuffer.data(), link.transmitBuffer.size());
  if (size == 0) return false;
  return link.port.sendData(link.portHandle.load(), link.transmitBuffer.data(),
                            static_cast<uint32_t>(size)) != 0;
}

bool sendControlFrame(LinkState& link, uint8_t character, uint32_t argument) {
  uint32_t position = argument;
  return sendFrame(link, &character, 1, &position, false);
}

int32_t sendMessage(LinkState& link, LinkRecord& record) {
  setOutcome(record, LINK_OK, kSourcePortDriver, "");
  const uint8_t* data = record.data;
  const uint32_t length = record.length;
  // A frame carries at least one message byte, and every frame's position
  // must fit its 24-bit field.
  if (data == nullptr || length == 0) {
    setFailure(record, LINK_FAILED, kTextNothingToSend);
    return 0;
  }
  if (length - 1 > kMaxPosition) {
    setFailure(record, LINK_FAILED, kTextMessageTooLong);
    return 0;
  }

  link.messageAwaited.store(true);
  // A frame received signal left over from the previous reply would end this
  // message's waits before the meter could acknowledge, refuse or ask again.
  link.frameReceived.reset();
  uint32_t position = 0;
  int naks = 0;
  int resends = 0;
  uint32_t lastRequested = kNoRequestedPosition;
  for (;;) {
    if (!sendFrame(link, data + position, offerFrom(position, length), &position, true)) {
      return portFailure(link, record);
    }
    bool final = position >= length;
    if (waitForAnswer(link, final ? link.frameTimeoutMs / kAnswerWaits : kFrameAnswerWaitMs)) {
      return 1;
    }
    const ControlRequest request = link.takeControl();
    if (request.code == CTRL_NAK) {
      if (naks == kNakLimit) {
        setFailure(record, LINK_FAILED, kTextTooManyNaks);
        return 0;
      }
      ++naks;
      position = 0;
      final = false;
    } else if (request.code == CTRL_RESEND) {
      const uint32_t requested = request.position;
      if (requested == lastRequested) {
        if (++resends > kResendLimit) {
          setFailure(record, LINK_FAILED, kTextTooManyResends);
          return 0;
        }
      } else {
        resends = 0;
      }
      lastRequested = requested;
      if (requested >= length) {
        setFailure(record, LINK_FAILED, kTextOutsideLimits);
        return 0;
      }
      uint32_t resendPosition = requested;
      if (!sendFrame(link, data + requested, offerFrom(requested, length), &resendPosition, true)) {
        return portFailure(link, record);
      }
    }
    if (final) return 1;
  }
}

}  // namespace vb::link
