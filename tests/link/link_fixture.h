// A link over a real pseudo-terminal: the link library opens COM3, which the
// device map points at the slave side, and a scripted meter (FarEnd) speaks
// on the master side.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <thread>

#include "far_end.h"
#include "platform/devicemap.h"
#include "platform/pty.h"
#include "vantbrook/brisel.h"

namespace vb::link::test {

inline constexpr int kTestComPort = 3;
// Short time-outs keep the scenarios fast: a silent line is noticed after
// one to two seconds.
inline constexpr uint32_t kTestFrameTimeoutMs = 1000;
inline constexpr uint32_t kTestReceiveTimeoutMs = 5000;
// How long the far end waits for something the link must send.
inline constexpr uint32_t kFarEndWaitMs = 5000;

inline LinkRecord makeRecord(const char* protocol = "COM3") {
  LinkRecord record;
  std::memset(&record, 0, sizeof(record));
  std::memcpy(record.protocol, protocol, std::min<size_t>(std::strlen(protocol), 4));
  record.port_number = kTestComPort;
  record.receive_timeout_ms = kTestReceiveTimeoutMs;
  record.frame_timeout_ms = kTestFrameTimeoutMs;
  record.link = -1;
  record.port_handle = -1;
  return record;
}

// A scripted far end running beside the test's own calls; joined when the
// scope ends.
class Script {
 public:
  template <typename Body>
  explicit Script(Body body) : thread_(std::move(body)) {}
  ~Script() { join(); }
  void join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::thread thread_;
};

class LinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty_.open());
    ASSERT_TRUE(platform::setComDevicePath(kTestComPort, pty_.slavePath()));
    farEnd_ = std::make_unique<FarEnd>(pty_.master());
    record_ = makeRecord();
  }

  void TearDown() override {
    if (record_.link != -1) ClosePort(&record_);
  }

  // Opens the link and takes the wake-up text off the line.
  void open() {
    ASSERT_EQ(OpenPort(&record_), 1) << record_.message;
    ASSERT_EQ(farEnd_->readRaw(34, kFarEndWaitMs).size(), 34u);
  }

  // RecvData into buffer, which the record then describes.
  int32_t receive(Bytes& buffer) {
    record_.data = buffer.data();
    record_.length = static_cast<uint32_t>(buffer.size());
    return RecvData(&record_);
  }

  int32_t sendMessage(Bytes& message) {
    record_.data = message.data();
    record_.length = static_cast<uint32_t>(message.size());
    return SendData(&record_);
  }

  platform::PseudoTerminal pty_;
  std::unique_ptr<FarEnd> farEnd_;
  LinkRecord record_;
};

}  // namespace vb::link::test
