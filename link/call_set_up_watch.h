// The host's abort while a port driver sets up a call.
//
// A driver's OpenPort dials or calls and waits for the answer, up to minutes,
// on the caller's thread, and the link holds no port until it returns, so
// nothing of the link can reach that wait on the caller's thread. The host
// says "abort" through its progress callback (returning 1), as it does while
// a reply arrives. So while the driver's OpenPort runs, a watch thread asks
// the callback every kCallSetUpPollMs, with 0 per cent, and on the first 1
// calls the driver's Abort with the connection the driver put in the port
// slot before it began the set-up. The driver ends the set-up's waits and
// its open fails; the link reports LINK_ABORTED and closes the port, which
// clears the call with the driver's usual dialogue (a modem's escape guard
// times included).
//
// A host without a progress callback and a driver without Abort are not
// watched, and a callback that never answers 1 changes nothing.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/sync.h"
#include "platform/thread.h"
#include "vantbrook/portdriver.h"
#include "vantbrook/records.h"

namespace vb::link {

class CallSetUpWatch {
 public:
  CallSetUpWatch(VantbrookProgressCallback progress, PortAbortFn abort);
  // Ends the watch if it still runs.
  ~CallSetUpWatch();
  CallSetUpWatch(const CallSetUpWatch&) = delete;
  CallSetUpWatch& operator=(const CallSetUpWatch&) = delete;

  // Asks the callback once on the caller's thread, then watches from a
  // thread of its own while the driver's OpenPort writes *portSlot. False
  // when the host asks to abort before anything is dialled: the open must
  // not begin. Without a thread (none could be started) the set-up runs
  // unwatched.
  bool start(int32_t* portSlot);
  // Ends the watch and joins its thread; true when the host asked to abort.
  bool stop();

 private:
  bool hostAsksToAbort() const;
  void watch(int32_t* portSlot);

  const VantbrookProgressCallback progress_;
  const PortAbortFn abort_;
  platform::Event setUpOver_{platform::Event::Reset::Manual};
  std::atomic<bool> abortAsked_{false};
  platform::Thread thread_;
};

}  // namespace vb::link
