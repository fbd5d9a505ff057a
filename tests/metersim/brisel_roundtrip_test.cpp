// Round trips through the real link library: every command and every fault
// of the simulated meter over its pseudo-terminal, with COM1 pointed at it.
#include <gtest/gtest.h>

#include <cstring>

#include "metersim/simulator.h"
#include "platform/devicemap.h"
#include "test_meter_clock.h"
#include "vantbrook/brisel.h"
#include "wire_fields.h"

namespace vb::metersim {
namespace {

using test::u16At;
using test::u32At;

constexpr uint32_t kReceiveTimeoutMs = 10000;
constexpr uint32_t kFrameTimeoutMs = 1000;
constexpr uint32_t kRoom = 100000;

std::vector<uint8_t> le16(uint16_t v) { return {uint8_t(v), uint8_t(v >> 8)}; }
std::vector<uint8_t> le32(uint32_t v) {
  return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}
std::vector<uint8_t> text(const std::string& s, bool terminated) {
  std::vector<uint8_t> bytes(s.begin(), s.end());
  if (terminated) bytes.push_back(0);
  return bytes;
}
std::vector<uint8_t> getData(uint16_t logNo, uint16_t mode, uint32_t from, uint32_t to) {
  std::vector<uint8_t> data = le16(logNo);
  for (const auto& part : {le16(mode), le32(from), le32(to)}) {
    data.insert(data.end(), part.begin(), part.end());
  }
  return buildCommand(kClassMeter, kCmdGetData, 0, data);
}

class BriselRoundTripTest : public ::testing::Test {
 protected:
  void start(Options options) {
    options.password = "pw";
    simulator_ = std::make_unique<Simulator>(vb::test::WithMeterClock(options));
    ASSERT_TRUE(simulator_->start()) << simulator_->error();
    ASSERT_TRUE(platform::setComDevicePath(1, simulator_->devicePath()));
    buffer_.assign(kRoom, 0);
    open();
  }
  void open() {
    std::memset(&record_, 0, sizeof record_);
    record_.port_number = 1;
    std::memcpy(record_.protocol, "COM1", 4);
    record_.receive_timeout_ms = kReceiveTimeoutMs;
    record_.frame_timeout_ms = kFrameTimeoutMs;
    record_.link = -1;
    record_.port_handle = -1;
    ASSERT_EQ(OpenPort(&record_), 1) << record_.message;
  }
  void TearDown() override {
    if (record_.link != -1) ClosePort(&record_);
  }
  int32_t send(const std::vector<uint8_t>& message, std::vector<uint8_t>* buffer = nullptr) {
    if (buffer == nullptr) buffer = &buffer_;
    std::copy(message.begin(), message.end(), buffer->begin());
    record_.data = buffer->data();
    record_.length = static_cast<uint32_t>(message.size());
    return SendData(&record_);
  }
  // Receives into the buffer; the reply is its first `length` bytes.
  int32_t receive(std::vector<uint8_t>* buffer = nullptr) {
    if (buffer == nullptr) buffer = &buffer_;
    record_.data = buffer->data();
    record_.length = static_cast<uint32_t>(buffer->size());
    return RecvData(&record_);
  }
  // One exchange in the main buffer, or in a small one of its own as the
  // resume dialogue does, which leaves the main buffer as it was.
  std::vector<uint8_t> exchange(const std::vector<uint8_t>& message, bool ownBuffer = false) {
    std::vector<uint8_t> small(64);
    std::vector<uint8_t>* buffer = ownBuffer ? &small : &buffer_;
    EXPECT_EQ(send(message, buffer), 1) << record_.message;
    EXPECT_EQ(receive(buffer), 1) << record_.error_code << " " << record_.message;
    return {buffer->begin(), buffer->begin() + record_.length};
  }
  std::vector<uint8_t> received() const {
    return {buffer_.begin(), buffer_.begin() + record_.length};
  }

  std::unique_ptr<Simulator> simulator_;
  LinkRecord record_{};
  std::vector<uint8_t> buffer_;
};

TEST_F(BriselRoundTripTest, EveryCommandIsAnswered) {
  start(Options());
  struct Row {
    const char* name;
    std::vector<uint8_t> message;
    uint16_t status;
    size_t size;  // 0: any
  };
  const Row rows[] = {
      {"cancel session", buildCommand(kClassControl, kCtlCancelSession, 0, le16(5)), 0, 12},
      {"versions", {0xFF, 2, 1, 0, 2, 0, 0, 0}, 0, 0},
      {"identity block", buildCommand(kClassMeter, kCmdGetDib, 0, {}), 0, 0},
      {"header while locked", buildCommand(kClassMeter, kCmdGetHeader, 0, le16(1)),
       kStatusReadLocked, 12},
      {"unlock, wrong password", buildCommand(kClassMeter, kCmdUnlock, 0, text("no", true)),
       kStatusParameterNotValid, 12},
      {"unlock", buildCommand(kClassMeter, kCmdUnlock, 0, text("pw", true)), 0, 12},
      {"set time", buildCommand(kClassMeter, kCmdSetTime, 0, le32(1000000000)), 0, 20},
      {"header 1", buildCommand(kClassMeter, kCmdGetHeader, 0, le16(1)), 0, 0},
      {"header 3", buildCommand(kClassMeter, kCmdGetHeader, 0, le16(3)), 0, 0},
      {"data, all of logger 2", getData(2, kSelectAll, 0, 0), 0, 0},
      {"data, empty range", getData(1, kSelectByRsn, 5, 4), kStatusNoData, 12},
      {"totals by time", getData(3, kSelectByTime, 0, 0x7FFFFFFF), 0, 0},
      {"restart", buildCommand(kClassMeter, kCmdRestartLogger, 0, le16(2)), 0, 14},
      {"restart with parameters",
       buildCommand(kClassMeter, kCmdRestartLoggerWithParameters, 0,
                    {3, 0, 1, 2, 3, 4, 5, 6}),
       0, 14},
      {"query pending", buildCommand(kClassControl, kCtlQueryPendingReply, 0, {}), 0, 12},
      {"lock", buildCommand(kClassMeter, kCmdLock, 0, {}), 0, 12},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::vector<uint8_t> reply = exchange(row.message);
    ASSERT_GE(reply.size(), 12u);
    EXPECT_EQ(reply[0], 0xFF);
    EXPECT_EQ(u16At(reply, 2), u16At(row.message, 2));
    EXPECT_EQ(u16At(reply, 4), row.status);
    EXPECT_EQ(u32At(reply, 6), reply.size() - 10);
    if (row.size != 0) {
      EXPECT_EQ(reply.size(), row.size);
    }
  }
  const std::string note = "READ REGISTER 7";
  const std::vector<uint8_t> answer = exchange(text(note, false));
  EXPECT_EQ(std::string(answer.begin(), answer.end()), kMessageReplyPrefix + note);
}

TEST_F(BriselRoundTripTest, LongRepliesArriveWholeInShortAndLongFrames) {
  // 0: short frames only; otherwise long frames of that size with a tail of
  // short ones, and short frames for the short replies on the way.
  for (uint32_t longFrameSize : {0u, 256u, 512u, 1024u, 2048u}) {
    SCOPED_TRACE(longFrameSize);
    Options options;
    options.longFrames = longFrameSize != 0;
    if (longFrameSize != 0) options.longFrameSize = longFrameSize;
    options.pairsPerLogger = 10000;
    options.initialLockLevel = 0;
    start(options);
    const std::vector<uint8_t> reply = exchange(getData(1, kSelectAll, 0, 0));
    const std::vector<Pair> pairs = simulator_->model().pairs(1);
    const size_t entries = 14 + u32At(reply, 14);
    ASSERT_EQ(reply.size(), entries + 4 * pairs.size());
    EXPECT_EQ(u16At(reply, entries + 4 * 9999), pairs[9999].flow);
    EXPECT_EQ(ClosePort(&record_), 1);
    simulator_->stop();
  }
}

TEST_F(BriselRoundTripTest, NaksMakeTheLinkSendAgainUpToItsLimit) {
  Options options;
  options.faults.nakMessages = 3;
  start(options);
  EXPECT_EQ(u16At(exchange(buildCommand(kClassMeter, kCmdGetDib, 0, {})), 2), kCmdGetDib);
  EXPECT_EQ(simulator_->received().size(), 4u);
  // On a fresh link, so that no frame of the last reply is still counted as
  // the meter's answer to the next message.
  ClosePort(&record_);
  open();
  Faults faults;
  faults.nakMessages = 4;
  simulator_->setFaults(faults);
  EXPECT_EQ(send(buildCommand(kClassMeter, kCmdGetDib, 0, {})), 0);
  EXPECT_EQ(record_.error_code, LINK_FAILED);
  EXPECT_NE(std::string(record_.message).find("Received too many NAKs"), std::string::npos);
}

TEST_F(BriselRoundTripTest, ADroppedFrameIsAskedForAndServedAgain) {
  Options options;
  options.faults.dropFrame = 3;
  options.initialLockLevel = 0;
  start(options);
  const std::vector<uint8_t> reply = exchange(getData(1, kSelectAll, 0, 0));
  const size_t entries = 14 + u32At(reply, 14);
  const std::vector<Pair> pairs = simulator_->model().pairs(1);
  ASSERT_EQ(reply.size(), entries + 4 * pairs.size());
  for (size_t i = 0; i < pairs.size(); ++i) {
    ASSERT_EQ(u16At(reply, entries + 4 * i + 2), pairs[i].pressure) << i;
  }
  const std::vector<ReceivedMessage> received = simulator_->received();
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[1].controlChar, '2');
}

TEST_F(BriselRoundTripTest, CorruptionNeverDeliversWrongData) {
  Options options;
  options.faults.corruptRate = 0.0005;
  options.seed = 3;
  options.initialLockLevel = 0;
  start(options);
  for (int attempt = 0; attempt < 3; ++attempt) {
    ASSERT_EQ(send(getData(1, kSelectAll, 0, 0)), 1) << record_.message;
    if (receive() != 1) {
      // A failure must be reported as one, never as data.
      EXPECT_NE(record_.error_code, LINK_OK);
      continue;
    }
    const std::vector<uint8_t> reply = received();
    const size_t entries = 14 + u32At(reply, 14);
    const std::vector<Pair> pairs = simulator_->model().pairs(1);
    ASSERT_EQ(reply.size(), entries + 4 * pairs.size());
    for (size_t i = 0; i < pairs.size(); ++i) {
      ASSERT_EQ(u16At(reply, entries + 4 * i), pairs[i].flow) << i;
    }
  }
}

TEST_F(BriselRoundTripTest, ACutReplyIsResumedOnANewLink) {
  Options options;
  options.faults.cutAfterBytes = 3000;
  options.initialLockLevel = 0;
  start(options);
  const std::vector<uint8_t> request = getData(1, kSelectAll, 0, 0);
  ASSERT_EQ(send(request), 1);
  ASSERT_EQ(receive(), 0);
  EXPECT_EQ(record_.error_code, LINK_TIMEOUT);
  const uint32_t resumePoint = GetResumePoint(&record_);
  const uint32_t total = GetMsgLength(&record_);
  EXPECT_GT(resumePoint, 2000u);
  EXPECT_LE(resumePoint, 3000u);

  ClosePort(&record_);
  open();
  const std::vector<uint8_t> query =
      exchange(buildCommand(kClassControl, kCtlQueryPendingReply, 0, {}), true);
  const uint16_t id = u16At(query, 10);
  ASSERT_NE(id, 0);
  const std::vector<uint8_t> confirmed =
      exchange(buildCommand(kClassControl, kCtlRequestResume, id, le32(resumePoint)), true);
  ASSERT_EQ(confirmed.size(), 16u);
  EXPECT_EQ(u16At(confirmed, 4), kStatusOk);
  EXPECT_EQ(u16At(confirmed, 10), id);
  // The bytes before the resume point are still in the buffer from the
  // first receive; the resumed part lands after them.
  EXPECT_EQ(SetStartPoint(&record_, resumePoint), 1);
  EXPECT_EQ(SetMsgLength(&record_, total), 1);
  record_.data = buffer_.data();
  record_.length = kRoom;
  ASSERT_EQ(RecvData(&record_), 1) << record_.message;
  const std::vector<Pair> pairs = simulator_->model().pairs(1);
  const std::vector<uint8_t> reply(buffer_.begin(), buffer_.begin() + resumePoint + record_.length);
  const size_t entries = 14 + u32At(reply, 14);
  ASSERT_EQ(reply.size(), entries + 4 * pairs.size());
  for (size_t i = 0; i < pairs.size(); ++i) {
    ASSERT_EQ(u16At(reply, entries + 4 * i), pairs[i].flow) << i;
  }
  EXPECT_EQ(simulator_->wakeups(), 2u);
}

TEST_F(BriselRoundTripTest, FaultsSurfaceAsLinkErrors) {
  start(Options());
  const std::vector<uint8_t> dib = buildCommand(kClassMeter, kCmdGetDib, 0, {});
  Faults unsupported;
  unsupported.unsupportedControl = '7';
  simulator_->setFaults(unsupported);
  ASSERT_EQ(send(dib), 1);
  EXPECT_EQ(receive(), 0);
  EXPECT_EQ(record_.error_code, LINK_UNSUPPORTED_CONTROL);

  Faults forced;
  forced.forceStatus = 22;
  simulator_->setFaults(forced);
  EXPECT_EQ(u16At(exchange(dib), 4), 22);

  Faults silent;
  silent.silent = true;
  simulator_->setFaults(silent);
  record_.receive_timeout_ms = 500;
  ASSERT_EQ(send(dib), 1);
  EXPECT_EQ(receive(), 0);
  EXPECT_EQ(record_.error_code, LINK_TIMEOUT);
}

}  // namespace
}  // namespace vb::metersim
