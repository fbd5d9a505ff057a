// Arbitrary line bytes into a link: the receiver thread reads them through an
// in-memory port (in pieces of a chosen size) while the caller's thread runs
// RecvData into a buffer of exactly its capacity. Sleeps and the clock are
// virtual, so a frame time-out costs no real time. A receiver that does not
// stop when the link closes, or a delivered length beyond the buffer, is a
// finding.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "fuzz_input.h"
#include "link_state.h"
#include "platform/clock.h"
#include "platform/thread.h"
#include "receiver.h"
#include "recv_data.h"

using namespace vb::link;

namespace {

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

// Time passes a millisecond with every look at the clock and by the whole
// amount of every sleep.
class VirtualClock : public vb::platform::Clock {
 public:
  uint64_t nowMs() override { return now_.fetch_add(1) + 1; }
  void sleepMs(uint32_t ms) override {
    now_.fetch_add(ms);
    std::this_thread::yield();
  }

 private:
  std::atomic<uint64_t> now_{1000000};
};

// The line as the in-memory port delivers it. Set up before the receiver
// thread starts and read only by it until it has been joined.
struct Line {
  std::vector<uint8_t> bytes;
  std::atomic<size_t> used{0};
  uint32_t piece = 1;
  bool failWhenEmpty = false;
};
Line line;
std::atomic<int> abortAtPercent{-1};

int32_t LineReceive(int32_t, unsigned char* buffer, uint32_t* count, uint32_t) {
  const size_t left = line.bytes.size() - line.used;
  if (left == 0) {
    *count = 0;
    return line.failWhenEmpty ? 0 : 1;
  }
  const size_t take = std::min<size_t>({*count, left, line.piece});
  std::memcpy(buffer, line.bytes.data() + line.used.load(), take);
  line.used.fetch_add(take);
  *count = static_cast<uint32_t>(take);
  return 1;
}

int32_t LineSend(int32_t, const unsigned char*, uint32_t) { return 1; }
const char* LineError(int32_t) { return ""; }
int32_t LineClose(int32_t) { return 1; }
int32_t LineOpen(int32_t* slot, int32_t, const char*, const char*) {
  *slot = 1;
  return 1;
}

int Progress(int percent) {
  const int threshold = abortAtPercent.load();
  return threshold >= 0 && percent >= threshold ? 1 : 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static VirtualClock clock;
  vb::platform::setClockForTesting(&clock);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vb::fuzz::FuzzInput input(data, size);
  const uint32_t frameTimeoutMs = 1 + input.u16() % 3000;
  const uint32_t capacity = input.u16() % 9000;
  const uint8_t mode = input.u8();
  line.piece = 1 + input.u8() % 64;
  line.failWhenEmpty = (mode & 1) != 0;
  abortAtPercent.store((mode & 2) != 0 ? mode % 101 : -1);
  line.bytes = input.rest();
  line.used.store(0);

  auto link = std::make_shared<LinkState>(frameTimeoutMs, (mode & 2) != 0 ? Progress : nullptr);
  link->port.openPort = LineOpen;
  link->port.closePort = LineClose;
  link->port.sendData = LineSend;
  link->port.receiveData = LineReceive;
  link->port.getPortError = LineError;
  link->portHandle.store(1);
  link->running.store(true);
  vb::platform::Thread receiver;
  Require(receiver.start([link] { runReceiver(*link); }));
  link->rxInitialised.wait(vb::platform::kWaitForever);

  std::vector<uint8_t> buffer(capacity);
  for (int call = 0; call < 4; ++call) {
    LinkRecord record{};
    record.data = buffer.empty() ? nullptr : buffer.data();
    record.length = capacity;
    record.receive_timeout_ms = 50;
    record.link = 1;
    const int32_t ok = receiveMessage(*link, record);
    Require(record.length <= capacity);
    Require(std::memchr(record.message, '\0', sizeof record.message) != nullptr);
    if (ok == 0 && line.used == line.bytes.size()) break;
  }

  link->running.store(false);
  link->messageRead.set();
  Require(receiver.joinFor(30000));
  return 0;
}
