#include "recv_data.h"

#include "frame.h"
#include "link_constants.h"
#include "outcome.h"
#include "platform/clock.h"
#include "platform/text.h"
#include "transmitter.h"

namespace vb::link {
namespace {

// The caller's buffer: data holds `length` bytes. Message bytes go to
// data + their offset, so nothing at or past data + length is written.
int32_t deliverComplete(LinkState& link, LinkRecord& record) {
  platform::LockGuard guard(link.gapLock);
  link.messageAvailable.reset();
  const uint32_t start = link.startPoint();
  const uint32_t end = link.messageEnd();
  const uint32_t size = end > start ? end - start : 0;
  link.setMessageEnd(size);
  const uint32_t copied = link.copyReceived(start, end, record.data, record.length);
  record.length = copied;
  if (copied < size) {
    record.error_code = LINK_TRUNCATED;
    platform::formatField(record.message, sizeof(record.message), kTextTruncated,
                          static_cast<int>(size));
    return 0;
  }
  setFailure(record, LINK_OK, "");  // a resend request on the way left its failure here
  return 1;
}

// Answers the verdicts of one call until one ends it. Returns the result.
int32_t consumeVerdicts(LinkState& link, LinkRecord& record) {
  uint32_t requests = 0;
  uint32_t lastRequested = kNoRequestedPosition;
  bool requested = false;
  for (;;) {
    const uint32_t status = link.receiverStatus();
    switch (status) {
      case RX_COMPLETE:
        return deliverComplete(link, record);
      case RX_TIMED_OUT:
        link.setResumePoint(link.firstGapStart());
        if (!requested) {
          link.messageAvailable.reset();
          const uint32_t start = link.startPoint();
          link.copyReceived(start, record.length, record.data, record.length);
          setFailure(record, LINK_TIMEOUT, kTextReceiverTimedOut);
          return 0;
        }
        [[fallthrough]];
      case RX_MISSING_BLOCKS: {
        setFailure(record, LINK_FAILED, kTextMissingBlocks);
        const uint32_t gapStart = link.firstGapStart();
        link.setExpectedPosition(gapStart);
        if (requests > kResendRequestLimit) {
          setOutcome(record, LINK_RETRIES_FAILED, kSourceReceiver, kTextRetriesFailed);
          return 0;
        }
        if (gapStart != lastRequested) {
          lastRequested = gapStart;
          requests = 0;
        }
        ++requests;
        requested = true;
        link.messageRead.set();
        sendControlFrame(link, CTRL_RESEND, gapStart);
        if (!link.messageAvailable.wait(record.receive_timeout_ms)) {
          setFailure(record, LINK_TIMEOUT, kTextTimeoutOnRead);
          return 0;
        }
        continue;
      }
      case RX_OVERFLOW:
        setFailure(record, LINK_RX_OVERFLOW, kTextOverflow);
        return 0;
      case RX_RESUME_FAILED:
        setFailure(record, LINK_FAILED, kTextResumeFailed);
        return 0;
      case RX_CONNECTION_FAILED:
        setFailure(record, LINK_FAILED, kTextConnectionFailed);
        return 0;
      case RX_POOR_DATA:
        setFailure(record, LINK_FAILED, kTextPoorData);
        return 0;
      case RX_UNSUPPORTED_CONTROL:
        setFailure(record, LINK_UNSUPPORTED_CONTROL, kTextUnsupportedControl);
        return 0;
      case RX_ABORTED:
        link.setResumePoint(link.firstGapStart());
        sendControlFrame(link, CTRL_ABORT, 0);
        setFailure(record, LINK_ABORTED, kTextAborted);
        link.rxAbort.reset();
        return 0;
      default:
        setFailure(record, LINK_UNSPECIFIED, kTextUnspecified);
        return 0;
    }
  }
}

// Lets the receiver thread start the next message and waits until it has
// reset its receive state. A verdict that crossed the hand-back is answered
// the same way.
int32_t handBack(LinkState& link, LinkRecord& record, int32_t result) {
  const uint64_t deadline = platform::nowMs() + kReceiverInitialiseWaitMs;
  for (;;) {
    link.rxInitialised.reset();
    // A closed link has no receiver to answer. A close on another thread
    // after this test releases the wait below through rx initialised.
    if (!link.running.load()) return result;
    link.handBack();
    const uint64_t now = platform::nowMs();
    const uint32_t remaining = now < deadline ? static_cast<uint32_t>(deadline - now) : 0;
    const int signalled =
        platform::Event::waitAny(link.rxInitialised, link.messageAvailable, remaining);
    if (signalled == 0) return result;
    if (signalled < 0) {
      setFailure(record, LINK_TIMEOUT, kTextUnableToReinitialise);
      return 0;
    }
  }
}

}  // namespace

int32_t receiveMessage(LinkState& link, LinkRecord& record) {
  setOutcome(record, LINK_OK, kSourceReceive, "");
  link.messageAwaited.store(true);
  int32_t result = 0;
  if (link.messageAvailable.wait(record.receive_timeout_ms)) {
    result = consumeVerdicts(link, record);
  } else {
    setFailure(record, LINK_TIMEOUT, kTextTimeoutOnRead);
  }
  return handBack(link, record, result);
}

}  // namespace vb::link
