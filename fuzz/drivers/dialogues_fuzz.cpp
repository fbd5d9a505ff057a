// The PAD and modem dialogues fed arbitrary device replies. Each driver's
// connection is attached to a pseudo-terminal whose far end this target
// holds; the replies are queued on the line before the dialogue starts, and
// the dialogue's waits run in virtual time. Afterwards the error text must
// be a terminated text inside its field.
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "driver_port.h"
#include "fuzz_input.h"
#include "line_constants.h"
#include "modem_calls.h"
#include "modem_driver.h"
#include "pad_calls.h"
#include "pad_driver.h"
#include "platform/clock.h"
#include "platform/pty.h"
#include "platform/serial.h"
#include "serial_line.h"

namespace {

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

class VirtualClock : public vb::platform::Clock {
 public:
  uint64_t nowMs() override { return now_.fetch_add(1) + 1; }
  void sleepMs(uint32_t ms) override { now_.fetch_add(ms); }

 private:
  std::atomic<uint64_t> now_{1000000};
};

// Replies queued at once stay below what a pseudo-terminal buffers.
constexpr size_t kMaxQueuedReply = 2048;
// Real time allowed for queued bytes to cross the pseudo-terminal.
constexpr uint64_t kCrossingWaitMs = 1000;

// One driver connection on a pseudo-terminal, and the device end.
struct Bench {
  explicit Bench(const vb::driver::LineTraits& traits) : port(traits) {
    Require(terminal.open());
    Require(device.adopt(terminal.master()));
    Require(vb::driver::AttachLine(port, vb::platform::fieldFromLine(terminal.slave())) == 1);
  }

  // Empties both directions, then queues the replies for the driver to read.
  void Queue(const std::vector<uint8_t>& replies) {
    port.line().purge();
    device.purge();
    if (replies.empty()) return;
    size_t written = 0;
    Require(device.write(replies.data(), replies.size(), &written));
    const uint64_t deadline = vb::platform::realClock().nowMs() + kCrossingWaitMs;
    uint32_t queued = 0;
    while (port.line().bytesQueued(&queued) && queued < written &&
           vb::platform::realClock().nowMs() < deadline) {
      std::this_thread::yield();
    }
  }

  vb::platform::PseudoTerminal terminal;
  vb::platform::SerialDevice device;
  vb::driver::DriverPort port;
};

Bench* pad = nullptr;
Bench* modem = nullptr;

std::vector<char> Text(vb::fuzz::FuzzInput& input, size_t most) {
  const std::vector<uint8_t> bytes = input.bytes(input.u8() % (most + 1));
  std::vector<char> text(bytes.begin(), bytes.end());
  for (char& c : text) {
    if (c == '\0') c = '1';
  }
  text.push_back('\0');
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static VirtualClock clock;
  vb::platform::setClockForTesting(&clock);
  pad = new Bench(vb::pnetport::kPadDriver.line);
  modem = new Bench(vb::dialport::kModemDriver.line);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vb::fuzz::FuzzInput input(data, size);
  const uint8_t step = input.u8() % 6;
  const std::vector<char> address = Text(input, 140);
  std::vector<uint8_t> replies = input.rest();
  if (replies.size() > kMaxQueuedReply) replies.resize(kMaxQueuedReply);

  Bench& bench = step < 2 ? *pad : *modem;
  bench.Queue(replies);
  int outcome = 0;
  switch (step) {
    case 0: outcome = vb::pnetport::ClearCall(bench.port); break;
    case 1: outcome = vb::pnetport::PlaceCall(bench.port, address.data()); break;
    case 2: outcome = vb::dialport::HangUp(bench.port); break;
    case 3: outcome = vb::dialport::Dial(bench.port, address.data()); break;
    case 4: outcome = vb::dialport::ConnectCall(bench.port, address.data()); break;
    default:
      vb::dialport::InitialiseModem(bench.port);
      outcome = vb::dialport::HangUp(bench.port);
      break;
  }
  Require(outcome == 0 || outcome == 1);
  const char* text = bench.port.publishErrorText();
  Require(std::memchr(text, '\0', vb::driver::kErrorTextSize) != nullptr);
  return 0;
}
