// A small host for driving the simulator over its pseudo-terminal in tests:
// raw bytes, link frames and whole messages, each read waiting for what it
// expects up to a time limit.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "frame_reader.h"
#include "platform/clock.h"
#include "platform/serial.h"
#include "reply_framer.h"
#include "wakeup.h"

namespace vb::metersim::test {

class ScriptedHost {
 public:
  bool open(const std::string& path) {
    return device_.open(path) && device_.setSettings(platform::SerialSettings()) &&
           setTimeouts();
  }
  // Uses a line somebody else opened (the master side of a pseudo-terminal).
  bool adopt(platform::LineHandle line) { return device_.adopt(line) && setTimeouts(); }
  void close() {
    device_.close();
    reader_ = FrameReader();
  }

  bool setTimeouts() {
    platform::SerialTimeouts timeouts;
    timeouts.readIntervalMs = 5;
    timeouts.readTotalConstantMs = 20;
    timeouts.writeTotalConstantMs = 2000;
    return device_.setTimeouts(timeouts);
  }

  bool write(const std::vector<uint8_t>& bytes) {
    size_t written = 0;
    return device_.write(bytes.data(), bytes.size(), &written) && written == bytes.size();
  }
  bool write(const std::string& text) { return write(std::vector<uint8_t>(text.begin(), text.end())); }
  bool wakeup() { return write(std::string(link::kWakeupText)); }
  // A message in short data frames, as the link library sends it.
  bool sendMessage(const std::vector<uint8_t>& message) {
    for (const ReplyFrame& frame : frameReply(message, 0, 0)) {
      if (!write(frame.bytes)) return false;
    }
    return true;
  }

  // Reads until done(all bytes read so far) or the time runs out; returns
  // the bytes read.
  std::vector<uint8_t> readUntil(const std::function<bool(const std::vector<uint8_t>&)>& done,
                                 uint32_t timeoutMs) {
    std::vector<uint8_t> bytes;
    const uint64_t deadline = platform::realClock().nowMs() + timeoutMs;
    uint8_t chunk[4096];
    while (!done(bytes) && platform::realClock().nowMs() < deadline) {
      size_t got = 0;
      if (!device_.read(chunk, sizeof chunk, &got) && got == 0) break;
      bytes.insert(bytes.end(), chunk, chunk + got);
    }
    return bytes;
  }
  std::string readText(const std::string& expected, uint32_t timeoutMs = 5000) {
    const std::vector<uint8_t> bytes = readUntil(
        [&](const std::vector<uint8_t>& b) {
          return std::string(b.begin(), b.end()).find(expected) != std::string::npos;
        },
        timeoutMs);
    return std::string(bytes.begin(), bytes.end());
  }
  // Everything that arrives until the line stays quiet for quietMs.
  std::vector<uint8_t> readQuiet(uint32_t quietMs) {
    std::vector<uint8_t> all;
    for (;;) {
      std::vector<uint8_t> more = readUntil([](const std::vector<uint8_t>& b) { return !b.empty(); },
                                            quietMs);
      if (more.empty()) return all;
      all.insert(all.end(), more.begin(), more.end());
    }
  }

  // Frames until one satisfies `last` (a data frame with FLAG_LAST by
  // default) or the time runs out.
  std::vector<HostFrame> readFrames(uint32_t timeoutMs,
                                    const std::function<bool(const HostFrame&)>& last =
                                        [](const HostFrame& f) { return f.data && f.last; }) {
    std::vector<HostFrame> frames;
    readUntil(
        [&](const std::vector<uint8_t>& bytes) {
          reader_.feed(bytes.data() + fed_, bytes.size() - fed_, platform::realClock().nowMs());
          fed_ = bytes.size();
          for (HostFrame& f : reader_.takeFrames()) frames.push_back(std::move(f));
          for (const HostFrame& f : frames) {
            if (last(f)) return true;
          }
          return false;
        },
        timeoutMs);
    fed_ = 0;
    return frames;
  }
  // Frames until the line stays quiet for quietMs.
  std::vector<HostFrame> readFramesUntilQuiet(uint32_t quietMs) {
    const std::vector<uint8_t> bytes = readQuiet(quietMs);
    reader_.feed(bytes.data(), bytes.size(), platform::realClock().nowMs());
    return reader_.takeFrames();
  }
  uint32_t badFrames() const { return reader_.badFrames(); }

 private:
  platform::SerialDevice device_;
  FrameReader reader_;
  size_t fed_ = 0;
};

// The data frames put together at their positions; *complete tells whether
// every byte up to the last frame's end came.
inline std::vector<uint8_t> assemble(const std::vector<HostFrame>& frames, bool* complete,
                                     uint32_t from = 0) {
  std::vector<uint8_t> message;
  std::vector<bool> have;
  size_t end = 0;
  for (const HostFrame& f : frames) {
    if (!f.data) continue;
    const size_t stop = f.position + f.payload.size();
    if (stop > message.size()) {
      message.resize(stop);
      have.resize(stop, false);
    }
    for (size_t i = 0; i < f.payload.size(); ++i) {
      message[f.position + i] = f.payload[i];
      have[f.position + i] = true;
    }
    if (f.last) end = stop;
  }
  *complete = end != 0 && end == message.size();
  for (size_t i = from; i < have.size(); ++i) *complete = *complete && have[i];
  return message;
}

}  // namespace vb::metersim::test
