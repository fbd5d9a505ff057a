// The eight exports of brisel and the open and close sequences of a link.
#include <cstring>
#include <memory>
#include <new>

#include "call_set_up_watch.h"
#include "driver_binding.h"
#include "handle_table.h"
#include "link_constants.h"
#include "link_state.h"
#include "outcome.h"
#include "platform/clock.h"
#include "platform/thread.h"
#include "receiver.h"
#include "recv_data.h"
#include "transmitter.h"
#include "vantbrook/brisel.h"

namespace vb::link {
namespace {

// Never destroyed: a receiver thread that outlives its link may still run
// while the process exits.
HandleTable<LinkState>& links() {
  static auto* table = new HandleTable<LinkState>();
  return *table;
}

bool isComProtocol(const char (&protocol)[4]) {
  return (protocol[0] == 'C' || protocol[0] == 'c') && (protocol[1] == 'O' || protocol[1] == 'o') &&
         (protocol[2] == 'M' || protocol[2] == 'm');
}

// Stops the receiver thread, aborts and closes the port. The state itself
// goes when its last owner lets go: at once, or when a receiver thread that
// would not stop finally ends.
int32_t closeLink(LinkState& link, LinkRecord& record) {
  link.progress.store(nullptr);
  setOutcome(record, LINK_OK, kSourceBrisel, "");
  if (link.receiverThread != nullptr) {
    const std::unique_ptr<platform::Thread> thread = std::move(link.receiverThread);
    link.running.store(false);
    link.messageRead.set();
    const int32_t port = link.portHandle.load();
    if (link.port.abort != nullptr && port != kNoHandle) link.port.abort(port);
    if (!thread->joinFor(kReceiverStopWaitMs)) {
      link.running.store(false);
      link.messageRead.set();
      if (!thread->joinFor(kReceiverStopWaitMs)) {
        setFailure(record, LINK_TIMEOUT, kTextThreadCloseFailed);
      }
    }
    // Releases a RecvData on another thread that waits to hand the state back
    // to the receiver just stopped.
    link.rxInitialised.set();
  }
  const int32_t port = link.portHandle.exchange(kNoHandle);
  if (port == kNoHandle) {
    setOutcome(record, LINK_FAILED, kSourcePortDriver, kTextUnopenPort);
    return 0;
  }
  const int32_t closed = link.port.closePort(port);
  if (closed == 0) setOutcome(record, LINK_FAILED, kSourcePortDriver, kTextErrorClosingPort);
  return closed;
}

// Opens the port (built-in or driver) and sends the wake-up text. False with
// the outcome set when the port would not open. A driver's call set-up runs
// under the watch of the host's abort.
bool openPort(LinkState& link, LinkRecord& record) {
  int32_t port = record.port_handle;
  link.portHandle.store(port);
  const bool builtIn = isComProtocol(record.protocol) || port != kNoHandle;
  if (builtIn) {
    link.port = kSerialPortFunctions;
  } else {
    const DriverBinding binding = bindDriver(record.protocol, link.driverLibrary, link.port);
    if (!binding.bound) {
      setOutcome(record, LINK_FAILED, kSourcePortDriver, binding.failureText);
      return false;
    }
  }
  // Terminated copies: the record's protocol field is not terminated and a
  // driver reads both as texts.
  char protocol[sizeof(record.protocol) + 1] = {};
  std::memcpy(protocol, record.protocol, sizeof(record.protocol));
  char address[sizeof(record.address) + 1] = {};
  std::memcpy(address, record.address, sizeof(record.address));

  CallSetUpWatch watch(builtIn ? nullptr : link.progress.load(), link.port.abort);
  if (!watch.start(&port)) {
    setOutcome(record, LINK_ABORTED, kSourcePortDriver, kTextCallSetUpAborted);
    return false;
  }
  const int32_t opened = link.port.openPort(&port, record.port_number, protocol, address);
  const bool aborted = watch.stop();
  link.portHandle.store(port);
  if (opened == 0 || aborted) {
    if (aborted) {
      setOutcome(record, LINK_ABORTED, kSourcePortDriver, kTextCallSetUpAborted);
    } else {
      const char* text = link.port.getPortError(port);
      setOutcome(record, LINK_FAILED, kSourcePortDriver, text != nullptr ? text : "");
    }
    link.port.closePort(port);
    link.portHandle.store(kNoHandle);
    return false;
  }
  link.port.sendData(port, reinterpret_cast<const unsigned char*>(kWakeupText), kWakeupTextLength);
  platform::sleepMs(kWakeupPauseMs);
  return true;
}

int32_t openLink(LinkRecord& record) {
  record.link = kNoHandle;
  std::shared_ptr<LinkState> link;
  try {
    link = std::make_shared<LinkState>(record.frame_timeout_ms, record.progress);
    link->receiverThread = std::make_unique<platform::Thread>();
  } catch (const std::bad_alloc&) {
    setOutcome(record, LINK_FAILED, kSourceBrisel, kTextOutOfMemory);
    return 0;
  }
  setOutcome(record, LINK_OK, kSourceBrisel, "");
  if (!openPort(*link, record)) return 0;
  int32_t handle = kNoHandle;
  try {
    handle = links().insert(link);
  } catch (const std::bad_alloc&) {
    setOutcome(record, LINK_FAILED, kSourceBrisel, kTextOutOfMemory);
    LinkRecord scratch = record;
    closeLink(*link, scratch);
    return 0;
  }
  link->running.store(true);
  const bool started = link->receiverThread->start([link] { runReceiver(*link); });
  if (!started) {
    links().remove(handle);
    setFailure(record, LINK_TIMEOUT, kTextThreadStartFailed);
    LinkRecord scratch = record;
    closeLink(*link, scratch);
    return 0;
  }
  link->rxInitialised.wait(platform::kWaitForever);
  record.link = handle;
  return 1;
}

}  // namespace
}  // namespace vb::link

using vb::link::kNone;
using vb::link::links;

extern "C" {

BRISEL_API int32_t VB_STDCALL OpenPort(LinkRecord* record) { return vb::link::openLink(*record); }

BRISEL_API int32_t VB_STDCALL ClosePort(LinkRecord* record) {
  std::shared_ptr<vb::link::LinkState> link = links().remove(record->link);
  if (link == nullptr) return 0;
  record->link = vb::link::kNoHandle;
  return vb::link::closeLink(*link, *record);
}

BRISEL_API int32_t VB_STDCALL SendData(LinkRecord* record) {
  std::shared_ptr<vb::link::LinkState> link = links().find(record->link);
  if (link == nullptr) return 0;
  return vb::link::sendMessage(*link, *record);
}

BRISEL_API int32_t VB_STDCALL RecvData(LinkRecord* record) {
  std::shared_ptr<vb::link::LinkState> link = links().find(record->link);
  if (link == nullptr) return 0;
  return vb::link::receiveMessage(*link, *record);
}

BRISEL_API uint32_t VB_STDCALL GetResumePoint(LinkRecord* record) {
  std::shared_ptr<vb::link::LinkState> link = links().find(record->link);
  return link == nullptr ? kNone : link->resumePoint();
}

BRISEL_API int32_t VB_STDCALL SetStartPoint(LinkRecord* record, uint32_t offset) {
  std::shared_ptr<vb::link::LinkState> link = links().find(record->link);
  if (link == nullptr) return 0;
  link->setStartPoint(offset);
  return 1;
}

BRISEL_API uint32_t VB_STDCALL GetMsgLength(LinkRecord* record) {
  std::shared_ptr<vb::link::LinkState> link = links().find(record->link);
  return link == nullptr ? 0 : link->messageLength();
}

BRISEL_API int32_t VB_STDCALL SetMsgLength(LinkRecord* record, uint32_t length) {
  std::shared_ptr<vb::link::LinkState> link = links().find(record->link);
  if (link == nullptr) return 0;
  link->setMessageLength(length);
  return 1;
}

}  // extern "C"
