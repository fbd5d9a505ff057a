#include "scripted_meter.h"

#include <algorithm>

#include "frame.h"
#include "platform/clock.h"
#include "platform/devicemap.h"

namespace vb::request::testing {
namespace {

constexpr char kWakeupText[] = "Merrowtide wakeup\r";
constexpr uint32_t kPollMs = 20;
constexpr size_t kReadChunk = 4096;

void PutLe(std::vector<uint8_t>& out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

}  // namespace

std::vector<uint8_t> MakeReply(uint16_t echo, uint16_t status, const std::vector<uint8_t>& body) {
  std::vector<uint8_t> reply{0xFF, 0x02};
  PutLe(reply, echo, 2);
  PutLe(reply, status, 2);
  PutLe(reply, static_cast<uint32_t>(body.size()), 4);
  reply.insert(reply.end(), body.begin(), body.end());
  return reply;
}

uint16_t CommandOf(const std::vector<uint8_t>& message) {
  return message.size() < 4 ? 0 : static_cast<uint16_t>(message[2] | (message[3] << 8));
}

uint8_t ClassOf(const std::vector<uint8_t>& message) {
  return message.size() < 2 ? 0 : message[1];
}

ScriptedMeter::ScriptedMeter(Script script) : script_(std::move(script)) {}

ScriptedMeter::~ScriptedMeter() { stop(); }

bool ScriptedMeter::start() {
  if (!pty_.open()) return false;
  pty_.closeSlave();
  if (!line_.adopt(pty_.master())) return false;
  platform::SerialTimeouts timeouts;
  timeouts.readTotalConstantMs = kPollMs;
  timeouts.writeTotalConstantMs = 5000;
  if (!line_.setTimeouts(timeouts)) return false;
  if (!platform::setComDevicePath(1, pty_.slavePath())) return false;
  running_ = true;
  return thread_.start([this] { serve(); });
}

void ScriptedMeter::stop() {
  if (!running_.exchange(false)) return;
  thread_.joinFor(10000);
  line_.close();
  pty_.close();
}

std::vector<std::vector<uint8_t>> ScriptedMeter::received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

uint32_t ScriptedMeter::wakeups() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return wakeups_;
}

void ScriptedMeter::serve() {
  std::vector<uint8_t> chunk(kReadChunk);
  while (running_) {
    size_t got = 0;
    line_.read(chunk.data(), chunk.size(), &got);
    if (got > 0) take(chunk.data(), got);
  }
}

void ScriptedMeter::take(const uint8_t* bytes, size_t count) {
  pending_.insert(pending_.end(), bytes, bytes + count);
  while (parseFrame()) {
  }
}

// Takes one frame off the front of pending_; false when more bytes are
// needed.
bool ScriptedMeter::parseFrame() {
  const auto start = std::find(pending_.begin(), pending_.end(), link::kStartByte);
  skipped_.append(pending_.begin(), start);
  pending_.erase(pending_.begin(), start);
  for (size_t at = skipped_.find(kWakeupText); at != std::string::npos;
       at = skipped_.find(kWakeupText)) {
    skipped_.erase(0, at + sizeof kWakeupText - 1);
    std::lock_guard<std::mutex> lock(mutex_);
    ++wakeups_;
  }
  if (pending_.size() < link::kHeaderSize) return false;
  if (!link::CheckHeader(pending_.data())) {
    pending_.erase(pending_.begin());
    return true;
  }
  const link::FrameHeader header = link::DecodeHeader(pending_.data());
  if (header.length == 0) {
    pending_.erase(pending_.begin());
    return true;
  }
  if (pending_.size() < header.length) return false;
  const bool good = link::CheckPayload(pending_.data() + link::kHeaderSize, header.length);
  std::vector<uint8_t> payload(header.length);
  const link::UnstuffResult unstuffed =
      link::Unstuff(pending_.data() + link::kHeaderSize, header.length - link::kFrameOverhead,
                    payload.data(), payload.size());
  pending_.erase(pending_.begin(), pending_.begin() + header.length);
  if (!good || !header.data) return true;
  if (header.first) assembling_.clear();
  if (assembling_.size() < header.position + unstuffed.written) {
    assembling_.resize(header.position + unstuffed.written);
  }
  std::copy_n(payload.begin(), unstuffed.written, assembling_.begin() + header.position);
  if (header.last) {
    const std::vector<uint8_t> message = assembling_;
    assembling_.clear();
    answer(message);
  }
  return true;
}

void ScriptedMeter::answer(const std::vector<uint8_t>& message) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    received_.push_back(message);
  }
  sendControl(link::CTRL_ACK);
  for (const ScriptedReply& reply : script_(message)) sendMessage(reply);
}

void ScriptedMeter::sendMessage(const ScriptedReply& reply) {
  if (reply.delayMs > 0) platform::realClock().sleepMs(reply.delayMs);
  const uint32_t size = static_cast<uint32_t>(reply.bytes.size());
  uint32_t position = reply.from;
  uint8_t frame[link::kMaxBuiltFrame + 1];
  while (position < size && position < reply.to) {
    const uint32_t offered = std::min<uint32_t>(size - position, link::kFrameDataSize);
    const size_t length = link::BuildFrame(reply.bytes.data() + position, offered, &position,
                                           link::FrameKind::kData, frame, sizeof frame);
    if (length == 0) return;
    size_t written = 0;
    line_.write(frame, length, &written);
  }
}

void ScriptedMeter::sendControl(uint8_t character) {
  uint8_t frame[link::kMaxBuiltFrame + 1];
  const size_t length = link::BuildControlFrame(character, 0, frame, sizeof frame);
  size_t written = 0;
  line_.write(frame, length, &written);
}

}  // namespace vb::request::testing
