// metersim_pacing_bench [--baud N] [--pairs N] [--long-frames]
//
// Starts the simulated meter paced at --baud (9600), asks logger 1 for all
// its pairs (--pairs 10000: a reply of about 40 kB) and reads the reply raw
// from the pseudo-terminal. Prints the time from the request to the last
// frame, and its ratio to the time the reply's bytes take on the line at 10
// bits a byte: once for the message bytes (40000 x 10 / 9600 s for 40 kB)
// and once for the bytes actually sent (frames, stuffing and checks
// included), which shows the pacing accuracy alone.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "frame_reader.h"
#include "link_constants.h"
#include "metersim/simulator.h"
#include "platform/clock.h"
#include "platform/serial.h"
#include "reply_framer.h"

namespace {

using vb::metersim::HostFrame;

constexpr uint32_t kGiveUpMs = 300000;

bool writeAll(vb::platform::SerialDevice& line, const std::vector<uint8_t>& bytes) {
  size_t written = 0;
  return line.write(bytes.data(), bytes.size(), &written) && written == bytes.size();
}

}  // namespace

int main(int argc, char** argv) {
  vb::metersim::Options options;
  options.baud = 9600;
  options.pairsPerLogger = 10000;
  options.initialLockLevel = 0;
  options.ackMessages = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--baud" && i + 1 < argc) {
      options.baud = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    } else if (arg == "--pairs" && i + 1 < argc) {
      options.pairsPerLogger = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    } else if (arg == "--long-frames") {
      options.longFrames = true;
    } else {
      std::fprintf(stderr, "usage: %s [--baud N] [--pairs N] [--long-frames]\n", argv[0]);
      return 2;
    }
  }
  if (options.baud == 0) {
    std::fprintf(stderr, "--baud must be above 0\n");
    return 2;
  }

  vb::metersim::Simulator simulator(options);
  if (!simulator.start()) {
    std::fprintf(stderr, "metersim: %s\n", simulator.error().c_str());
    return 1;
  }
  vb::platform::SerialDevice line;
  vb::platform::SerialTimeouts timeouts;
  timeouts.readIntervalMs = 5;
  timeouts.readTotalConstantMs = 100;
  timeouts.writeTotalConstantMs = 2000;
  if (!line.open(simulator.devicePath()) || !line.setTimeouts(timeouts)) {
    std::fprintf(stderr, "cannot open %s\n", simulator.devicePath().c_str());
    return 1;
  }

  // GetData, logger 1, all entries.
  const std::vector<uint8_t> request = vb::metersim::buildCommand(
      vb::metersim::kClassMeter, vb::metersim::kCmdGetData, 0,
      {1, 0, vb::metersim::kSelectAll, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  vb::platform::Clock& clock = vb::platform::realClock();
  const uint64_t started = clock.nowMs();
  for (const vb::metersim::ReplyFrame& frame : vb::metersim::frameReply(request, 0, 0)) {
    if (!writeAll(line, frame.bytes)) {
      std::fprintf(stderr, "cannot send the request\n");
      return 1;
    }
  }

  vb::metersim::FrameReader reader;
  uint64_t lineBytes = 0;
  uint64_t messageBytes = 0;
  bool last = false;
  std::vector<uint8_t> chunk(4096);
  while (!last && clock.nowMs() - started < kGiveUpMs) {
    size_t got = 0;
    if (!line.read(chunk.data(), chunk.size(), &got) && got == 0) break;
    lineBytes += got;
    reader.feed(chunk.data(), got, clock.nowMs());
    for (const HostFrame& frame : reader.takeFrames()) {
      if (!frame.data) continue;
      messageBytes = frame.position + frame.payload.size();
      last = last || frame.last;
    }
  }
  const double seconds = static_cast<double>(clock.nowMs() - started) / 1000.0;
  if (!last) {
    std::fprintf(stderr, "the reply did not complete in %.1f s\n", seconds);
    return 1;
  }
  const double messageLineTime = static_cast<double>(messageBytes) * 10.0 / options.baud;
  const double sentLineTime = static_cast<double>(lineBytes) * 10.0 / options.baud;
  std::printf("baud %u, %s frames\n", options.baud, options.longFrames ? "long" : "short");
  std::printf("reply %llu bytes, %llu bytes on the line\n",
              static_cast<unsigned long long>(messageBytes),
              static_cast<unsigned long long>(lineBytes));
  std::printf("measured %.3f s\n", seconds);
  std::printf("ratio to reply bytes x 10 / baud (%.3f s): %.3f\n", messageLineTime,
              seconds / messageLineTime);
  std::printf("ratio to line bytes x 10 / baud (%.3f s): %.3f\n", sentLineTime,
              seconds / sentLineTime);
  simulator.stop();
  return 0;
}
