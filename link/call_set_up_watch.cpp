#include "call_set_up_watch.h"

#include "link_constants.h"
#include "platform/shared_slot.h"

namespace vb::link {
namespace {

// The percentage the callback is given while no reply arrives.
constexpr int kNoReplyPercent = 0;
constexpr int kAbort = 1;

}  // namespace

CallSetUpWatch::CallSetUpWatch(VantbrookProgressCallback progress, PortAbortFn abort)
    : progress_(progress), abort_(abort) {}

CallSetUpWatch::~CallSetUpWatch() { stop(); }

bool CallSetUpWatch::hostAsksToAbort() const { return progress_(kNoReplyPercent) == kAbort; }

bool CallSetUpWatch::start(int32_t* portSlot) {
  if (progress_ == nullptr || abort_ == nullptr) return true;
  if (hostAsksToAbort()) {
    abortAsked_.store(true);
    return false;
  }
  thread_.start([this, portSlot] { watch(portSlot); });
  return true;
}

bool CallSetUpWatch::stop() {
  setUpOver_.set();
  thread_.joinFor(platform::kWaitForever);
  return abortAsked_.load();
}

// Once the host asked, the driver's Abort goes to the connection as soon as
// the slot holds one.
void CallSetUpWatch::watch(int32_t* portSlot) {
  while (!setUpOver_.wait(kCallSetUpPollMs)) {
    if (!abortAsked_.load()) {
      if (!hostAsksToAbort()) continue;
      abortAsked_.store(true);
    }
    const int32_t port = platform::loadSharedSlot(portSlot);
    if (port != kNoHandle) {
      abort_(port);
      return;
    }
  }
}

}  // namespace vb::link
