// Downloads end to end: every pair and totals record the simulator
// generated arrives in the host's arrays, raw and converted, over ranges,
// around clock setting and logger restarts, and across a broken line.
#include <algorithm>
#include <cstring>

#include "formats/cdtf.h"
#include "sim_fixture.h"

namespace vb::e2e {
namespace {

using metersim::Options;

float SingleFromBits(uint32_t bits) {
  float value = 0;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// Engineering units of a raw pair: flow = f * B * B * (pi/4 * 1e-9),
// pressure = (h * 0.0981 + p) * 0.001 - 1.014, with the single-precision
// constants, in double precision, rounded to single.
ConvertedPair Converted(uint16_t rawFlow, uint16_t rawPressure, float bore, int16_t height) {
  const double f = static_cast<int16_t>(rawFlow);
  const double p = static_cast<int16_t>(rawPressure);
  const double flow = f * bore * bore * SingleFromBits(0x3057E37C);
  const double pressure = (height * double{SingleFromBits(0x3DC8E8A7)} + p) *
                              double{SingleFromBits(0x3A83126F)} -
                          SingleFromBits(0x3F81CAC1);
  return ConvertedPair{static_cast<float>(flow), static_cast<float>(pressure)};
}

class DownloadTest : public SimTest {
 protected:
  void StartWith(uint32_t pairs, uint32_t totals = 100,
                 test::MeterClock clock = test::MeterClock::Pinned) {
    Options options;
    options.pairsPerLogger = pairs;
    options.totalsRecords = totals;
    StartSim(options, clock);
  }

  template <typename Entry>
  DownloadRecord Download(void* header, std::vector<Entry>& entries) {
    return DownloadRecord{header, entries.data(), static_cast<uint32_t>(entries.size())};
  }
};

TEST_F(DownloadTest, TenThousandPairsRawAndConverted) {
  StartWith(10000);
  const std::vector<metersim::Pair> pairs = sim_->model().pairs(1);
  ASSERT_EQ(pairs.size(), 10000u);

  DataHeaderRecord header{};
  std::vector<RawPair> raw(10000);
  DownloadRecord download = Download(&header, raw);
  request_.download = &download;
  ASSERT_EQ(Run(VB_REQ_DOWNLOAD_RAW), 1) << FieldText(result_.message);
  ASSERT_EQ(header.count, 10000u);
  for (size_t i = 0; i < pairs.size(); ++i) {
    ASSERT_EQ(raw[i].flow, pairs[i].flow) << i;
    ASSERT_EQ(raw[i].pressure, pairs[i].pressure) << i;
  }

  std::vector<ConvertedPair> converted(10000);
  download = Download(&header, converted);
  ASSERT_EQ(Run(VB_REQ_DOWNLOAD_CONVERTED), 1) << FieldText(result_.message);
  ASSERT_EQ(header.count, 10000u);
  for (size_t i = 0; i < pairs.size(); ++i) {
    const ConvertedPair expected =
        Converted(pairs[i].flow, pairs[i].pressure, header.calibratedBore, header.heightOffset);
    ASSERT_FLOAT_EQ(converted[i].flow, expected.flow) << i;
    ASSERT_FLOAT_EQ(converted[i].pressure, expected.pressure) << i;
  }
  EXPECT_EQ(Commands().back(), kLock);
}

TEST_F(DownloadTest, ThousandTotalsRecordsWithGoodChecks) {
  StartWith(10, 1000);
  const std::vector<metersim::TotalsEntry> records = sim_->model().totals();
  ASSERT_EQ(records.size(), 1000u);
  TotalsHeaderRecord header{};
  std::vector<TotalsRecord> totals(1000);
  DownloadRecord download = Download(&header, totals);
  request_.download = &download;
  request_.logNo = 3;
  ASSERT_EQ(Run(VB_REQ_DOWNLOAD_RAW), 1) << FieldText(result_.message);
  ASSERT_EQ(header.count, 1000u);
  for (size_t i = 0; i < records.size(); ++i) {
    const auto& wire = records[i].wire;
    ASSERT_EQ(totals[i].dateTime, request::CdtfToHost(static_cast<uint32_t>(records[i].time))) << i;
    for (size_t k = 0; k < 8; ++k) {
      uint32_t total = 0;
      std::memcpy(&total, wire.data() + 4 + 4 * k, 4);
      ASSERT_EQ(totals[i].totals[k], total) << i << " total " << k;
    }
    ASSERT_EQ(totals[i].extra1, wire[36]) << i;
    ASSERT_EQ(totals[i].extra2, wire[37]) << i;
    ASSERT_EQ(totals[i].crcValid, 1u) << i;
  }
}

TEST_F(DownloadTest, CapacityDecidesTheReplyRoom) {
  StartWith(100);
  const std::vector<metersim::Pair> pairs = sim_->model().pairs(1);
  DataHeaderRecord header{};
  header.siteId[0] = 'X';
  std::vector<RawPair> entries(100, RawPair{0xEEEE, 0xEEEE});

  // Ten pairs by RSN fit ten entries.
  DownloadRecord download{&header, entries.data(), 10};
  request_.download = &download;
  request_.specifier = 1;
  request_.rangeStart = static_cast<int32_t>(pairs[20].rsn);
  request_.rangeEnd = static_cast<int32_t>(pairs[29].rsn);
  ASSERT_EQ(Run(VB_REQ_DOWNLOAD_RAW), 1) << FieldText(result_.message);
  ASSERT_EQ(header.count, 10u);
  for (size_t i = 0; i < 10; ++i) EXPECT_EQ(entries[i].flow, pairs[20 + i].flow) << i;
  EXPECT_EQ(entries[10].flow, 0xEEEE);

  // A reply that fits the room of 50 entries but holds 100 fills 50.
  download.capacity = 50;
  request_.specifier = 2;
  ASSERT_EQ(Run(VB_REQ_DOWNLOAD_RAW), 1) << FieldText(result_.message);
  EXPECT_EQ(header.count, 50u);
  EXPECT_EQ(entries[49].flow, pairs[49].flow);
  EXPECT_EQ(entries[50].flow, 0xEEEE);

  // A reply longer than the room the capacity gives is cut by the link:
  // nothing is decoded and nothing beyond the entries is written.
  request_.specifier = 2;
  for (uint32_t capacity : {0u, 20u}) {
    SCOPED_TRACE(capacity);
    header = DataHeaderRecord{};
    header.siteId[0] = 'X';
    std::fill(entries.begin(), entries.end(), RawPair{0xEEEE, 0xEEEE});
    download.capacity = capacity;
    EXPECT_EQ(Run(VB_REQ_DOWNLOAD_RAW), 0);
    EXPECT_EQ(result_.code, VB_MESSAGE_TRUNCATED);
    EXPECT_EQ(header.siteId[0], 'X');
    EXPECT_TRUE(std::all_of(entries.begin(), entries.end(),
                            [](const RawPair& p) { return p.flow == 0xEEEE; }));
  }
}

TEST_F(DownloadTest, ClockIsSetBeforeOrAfterTheDownloadAsAsked) {
  StartWith(10);
  DataHeaderRecord header{};
  std::vector<RawPair> entries(10);
  DownloadRecord download = Download(&header, entries);
  request_.download = &download;
  const struct {
    char mode;
    std::vector<MeterCommand> commands;
  } cases[] = {
      {'B', {kCancelSession, kUnlock, kSetTime, kGetData, kCancelSession, kCancelSession, kLock}},
      {'A', {kCancelSession, kUnlock, kGetData, kCancelSession, kSetTime, kCancelSession, kLock}},
      {'X', {kCancelSession, kUnlock, kGetData, kCancelSession, kCancelSession, kLock}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    sim_->clearReceived();
    request_.setTimeMode = c.mode;
    ASSERT_EQ(Run(VB_REQ_DOWNLOAD_RAW), 1) << FieldText(result_.message);
    EXPECT_EQ(Commands(), c.commands);
  }
  EXPECT_NEAR(sim_->model().clockNow(), request::HostClockToCdtf(), 5);
}

TEST_F(DownloadTest, RestartAfterDownloadByRsnAndOfEverything) {
  StartWith(50);
  const std::vector<metersim::Pair> pairs = sim_->model().pairs(2);
  DataHeaderRecord header{};
  std::vector<RawPair> entries(50);
  DownloadRecord download = Download(&header, entries);
  request_.download = &download;
  request_.logNo = 2;

  request_.specifier = 1001;
  request_.rangeStart = static_cast<int32_t>(pairs[5].rsn);
  request_.rangeEnd = static_cast<int32_t>(pairs[9].rsn);
  ASSERT_EQ(Run(VB_REQ_DOWNLOAD_RAW), 1) << FieldText(result_.message);
  EXPECT_EQ(header.count, 5u);
  EXPECT_EQ(entries[0].pressure, pairs[5].pressure);
  const std::vector<uint8_t> data = LastMessage(kGetData);
  ASSERT_EQ(data.size(), 22u);
  EXPECT_EQ(data[12], 1) << "selection without the restart marker";
  EXPECT_EQ(Commands(), (std::vector<MeterCommand>{kCancelSession, kUnlock, kGetData,
                                                   kCancelSession, kRestart, kCancelSession,
                                                   kLock}));

  sim_->clearReceived();
  request_.logNo = 1;
  unsigned char parameters[6] = {9, 8, 7, 6, 5, 4};
  request_.data = parameters;
  request_.dataLength = sizeof parameters;
  request_.specifier = 1002;
  const std::vector<metersim::Pair> remaining = sim_->model().pairs(1);
  ASSERT_EQ(Run(VB_REQ_DOWNLOAD_RAW), 1) << FieldText(result_.message);
  EXPECT_EQ(header.count, static_cast<uint32_t>(remaining.size()));
  EXPECT_EQ(LastMessage(kGetData)[12], 2);
  EXPECT_EQ(Commands(), (std::vector<MeterCommand>{kCancelSession, kUnlock, kGetData,
                                                   kCancelSession, kRestartWithParameters,
                                                   kCancelSession, kLock}));
  const std::array<uint8_t, 6> sent = sim_->model().lastRestartParameters();
  EXPECT_TRUE(std::equal(sent.begin(), sent.end(), parameters));
  EXPECT_EQ(request_.data, parameters);
}

TEST_F(DownloadTest, NoDataInRangeSkipsRestartAndLock) {
  Options options;
  options.faults.forceStatus = 7;
  options.faults.forceStatusCommand = 13;
  StartSim(options);
  DataHeaderRecord header{};
  std::vector<RawPair> entries(10);
  DownloadRecord download = Download(&header, entries);
  request_.download = &download;
  request_.specifier = 1002;
  request_.setTimeMode = 'A';
  EXPECT_EQ(Run(VB_REQ_DOWNLOAD_CONVERTED), 0);
  EXPECT_EQ(result_.code, VB_NO_DATA_IN_RANGE);
  EXPECT_EQ(Commands(), (std::vector<MeterCommand>{kCancelSession, kUnlock, kGetData}));
  EXPECT_EQ(request_.linkHandle, -1);
}

// Also on the host's clock: the logger data then changes with the hour, and
// with it the stuffing and so where the frames before the cut end; only what
// holds for any data is checked.
class LineCutTest : public DownloadTest, public ::testing::WithParamInterface<test::MeterClock> {};

INSTANTIATE_TEST_SUITE_P(MeterClocks, LineCutTest,
                         ::testing::Values(test::MeterClock::Pinned, test::MeterClock::Live),
                         [](const ::testing::TestParamInfo<test::MeterClock>& clock) {
                           return clock.param == test::MeterClock::Pinned ? "Pinned" : "Live";
                         });

TEST_P(LineCutTest, LineCutAfter3000BytesIsResumedToTheSameEntries) {
  constexpr uint32_t kCutAfter = 3000;
  StartWith(1000, 100, GetParam());
  const std::vector<metersim::Pair> pairs = sim_->model().pairs(1);
  DataHeaderRecord header{};
  std::vector<RawPair> entries(1000);
  DownloadRecord download = Download(&header, entries);
  request_.download = &download;
  // The receiver gives up on the broken line (frame time-out) well before
  // the receive does, so the reception ends with a resume point.
  request_.frameTimeout = 1000;
  request_.receiveTimeout = 15000;
  metersim::Faults faults;
  faults.cutAfterBytes = kCutAfter;
  sim_->setFaults(faults);
  ASSERT_EQ(Run(VB_REQ_DOWNLOAD_RAW), 1) << FieldText(result_.message);
  ASSERT_EQ(header.count, 1000u);
  for (size_t i = 0; i < pairs.size(); ++i) {
    ASSERT_EQ(entries[i].flow, pairs[i].flow) << i;
    ASSERT_EQ(entries[i].pressure, pairs[i].pressure) << i;
  }
  // One resume on a second connection, from a point inside what arrived
  // before the cut: the frames before it are whole, the one cut is not.
  EXPECT_EQ(request_.connectCount, 2);
  const std::vector<MeterCommand> commands = Commands();
  EXPECT_EQ(std::count(commands.begin(), commands.end(), kGetData), 1);
  EXPECT_EQ(std::count(commands.begin(), commands.end(), kQueryPending), 1);
  EXPECT_EQ(std::count(commands.begin(), commands.end(), kRequestResume), 1);
  const std::vector<uint8_t> resume = LastMessage(kRequestResume);
  ASSERT_EQ(resume.size(), 14u);
  uint32_t offset = 0;
  std::memcpy(&offset, resume.data() + 10, 4);
  EXPECT_GT(offset, 0u);
  EXPECT_LE(offset, kCutAfter);
}

}  // namespace
}  // namespace vb::e2e
