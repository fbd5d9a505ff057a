// Faults seen directly through brisel's exports: a long reply that loses one
// of its frames is completed by asking for the missing part again, or, when
// the frame that ends it is lost, ends with a time-out whose resume point
// keeps every byte that did arrive. What RecvData delivers is never
// different from what the meter sent.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "metersim/simulator.h"
#include "platform/devicemap.h"
#include "test_meter_clock.h"
#include "vantbrook/brisel.h"

namespace vb::reliability {
namespace {

constexpr uint32_t kReplyRoom = 8192;

class LinkFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    metersim::Options options;
    options.initialLockLevel = 0;
    options.seed = 11;
    sim_ = std::make_unique<metersim::Simulator>(vb::test::WithMeterClock(options));
    ASSERT_TRUE(sim_->start()) << sim_->error();
    ASSERT_TRUE(platform::setComDevicePath(1, sim_->devicePath()));
    std::memset(&link_, 0, sizeof link_);
    std::memcpy(link_.protocol, "COM1", 4);
    link_.port_number = 1;
    link_.link = -1;
    link_.port_handle = -1;
    link_.receive_timeout_ms = 3000;
    link_.frame_timeout_ms = 1000;
    ASSERT_EQ(OpenPort(&link_), 1) << link_.message;
  }
  void TearDown() override {
    if (link_.link != -1) ClosePort(&link_);
    if (sim_) sim_->stop();
  }

  // Sends a command and receives its reply; returns what RecvData returned.
  int32_t Exchange(const std::vector<uint8_t>& command, std::vector<uint8_t>* reply) {
    std::vector<uint8_t> out = command;
    link_.data = out.data();
    link_.length = static_cast<uint32_t>(out.size());
    if (SendData(&link_) == 0) return -1;
    reply->assign(kReplyRoom, 0);
    link_.data = reply->data();
    link_.length = kReplyRoom;
    const int32_t received = RecvData(&link_);
    reply->resize(link_.length);
    return received;
  }

  std::unique_ptr<metersim::Simulator> sim_;
  LinkRecord link_{};
};

// The logger header of a download reply carries the meter's clock, so two
// replies are compared outside it: the reply header and every pair.
bool SameData(const std::vector<uint8_t>& reply, const std::vector<uint8_t>& reference) {
  constexpr size_t kLoggerHeaderOffset = 14;
  if (reply.size() != reference.size() || reply.size() < kLoggerHeaderOffset + 4) return false;
  uint32_t headerBytes = 0;
  std::memcpy(&headerBytes, reference.data() + kLoggerHeaderOffset, sizeof headerBytes);
  const size_t pairsStart = kLoggerHeaderOffset + headerBytes;
  return pairsStart <= reply.size() &&
         std::equal(reply.begin(), reply.begin() + kLoggerHeaderOffset, reference.begin()) &&
         std::equal(reply.begin() + static_cast<long>(pairsStart), reply.end(),
                    reference.begin() + static_cast<long>(pairsStart));
}

// GetData of everything logger 1 holds: a reply of some 35 frames.
const std::vector<uint8_t> kGetAllPairs = metersim::buildCommand(
    metersim::kClassMeter, metersim::kCmdGetData, 0, {1, 0, metersim::kSelectAll, 0, 0, 0, 0, 0, 0, 0, 0, 0});

TEST_F(LinkFaults, ReplyMissingOneFrameArrivesWhole) {
  std::vector<uint8_t> reference;
  ASSERT_EQ(Exchange(kGetAllPairs, &reference), 1) << link_.message;
  ASSERT_GT(reference.size(), 4000u);

  // A frame carries at most 128 message bytes, so at least this many exist.
  const auto frames = static_cast<uint32_t>((reference.size() + 127) / 128);
  for (uint32_t dropped : {1u, 2u, 5u, frames / 2, frames - 1, frames}) {
    SCOPED_TRACE(dropped);
    metersim::Faults faults;
    faults.dropFrame = dropped;
    sim_->setFaults(faults);
    sim_->clearReceived();
    std::vector<uint8_t> reply;
    const int32_t received = Exchange(kGetAllPairs, &reply);
    if (received == 1) {
      EXPECT_TRUE(SameData(reply, reference));
      // A receive that had to ask for a part again and then completed is a
      // success like any other.
      EXPECT_EQ(link_.error_code, LINK_OK) << link_.message;
      const std::vector<metersim::ReceivedMessage> messages = sim_->received();
      EXPECT_TRUE(std::any_of(messages.begin(), messages.end(), [](const auto& message) {
        return message.control && message.controlChar == '2';
      })) << "the lost frame was never asked for again";
      continue;
    }
    // Only the frame that ends the message leaves nothing to ask for: the
    // receive times out and the bytes before the resume point are kept.
    ASSERT_EQ(link_.error_code, LINK_TIMEOUT) << link_.message;
    const uint32_t resumePoint = GetResumePoint(&link_);
    EXPECT_GT(resumePoint, 0u);
    ASSERT_LE(resumePoint, reference.size());
    reply.resize(kReplyRoom);
    EXPECT_TRUE(std::equal(reference.begin(), reference.begin() + resumePoint, reply.begin()));
    // A fresh link for the next round.
    ASSERT_EQ(ClosePort(&link_), 1);
    ASSERT_EQ(OpenPort(&link_), 1) << link_.message;
  }
}

TEST_F(LinkFaults, CorruptedRepliesAreNeverDeliveredAltered) {
  const std::vector<uint8_t> getDib =
      metersim::buildCommand(metersim::kClassMeter, metersim::kCmdGetDib, 0, {});
  std::vector<uint8_t> reference;
  ASSERT_EQ(Exchange(getDib, &reference), 1) << link_.message;

  metersim::Faults faults;
  faults.corruptRate = 2e-3;
  sim_->setFaults(faults);
  int delivered = 0;
  for (int round = 0; round < 10; ++round) {
    SCOPED_TRACE(round);
    std::vector<uint8_t> reply;
    if (Exchange(getDib, &reply) == 1) {
      ++delivered;
      EXPECT_EQ(reply, reference);
    } else {
      ASSERT_EQ(ClosePort(&link_), 1);
      ASSERT_EQ(OpenPort(&link_), 1) << link_.message;
    }
  }
  RecordProperty("delivered", delivered);
}

}  // namespace
}  // namespace vb::reliability
