// The fleet file's checks and the store's guarantees, without a meter.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "fleet_file.h"
#include "store.h"

namespace vb::fleet {
namespace {

std::string tempPath(const std::string& name) {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  return ::testing::TempDir() + "/" + info->name() + "-" + name;
}

std::string writeFile(const std::string& name, const std::string& text) {
  const std::string path = tempPath(name);
  std::ofstream(path) << text;
  return path;
}

const char kGoodLines[] =
    "[[line]]\nname = \"radio\"\ncom = 2\nkind = \"pnet\"\n"
    "[[line]]\nname = \"local\"\ndevice = \"/dev/ttyUSB0\"\n";

TEST(FleetFile, AGoodFileHasDefaultsFilledIn) {
  const std::string path = writeFile(
      "good.toml", std::string(kGoodLines) +
                       "[[meter]]\nid = \"m1\"\nline = \"radio\"\naddress = \"2624100\"\n"
                       "loggers = [1, 3]\nconvert = false\n"
                       "[[meter]]\nid = \"m2\"\nline = \"local\"\nset_clock = true\n");
  std::string error;
  std::optional<Fleet> fleet = loadFleet(path, &error);
  ASSERT_TRUE(fleet) << error;
  ASSERT_EQ(fleet->meters.size(), 2u);
  EXPECT_EQ(fleet->lines[0].baud, 4800u);
  EXPECT_EQ(fleet->meters[0].loggers, (std::vector<int>{1, 3}));
  EXPECT_FALSE(fleet->meters[0].convert);
  EXPECT_EQ(fleet->meters[1].lineIndex, 1u);
  EXPECT_TRUE(fleet->meters[1].convert);
  EXPECT_TRUE(fleet->meters[1].loggers.empty());
}

TEST(FleetFile, TheExampleFleetFileIsValid) {
  std::string error;
  EXPECT_TRUE(loadFleet(FLEET_EXAMPLE, &error)) << error;
}

TEST(FleetFile, AnErrorNamesFileLineAndKey) {
  struct Case {
    const char* what;
    std::string meters;
    std::string expected;  // after "<path>:"
  };
  const Case cases[] = {
      {"unknown key", "[[meter]]\nid = \"m\"\nline = \"radio\"\naddress = \"1\"\nspeed = 3\n",
       "12: key 'speed': unknown key in [[meter]]"},
      {"missing line", "[[meter]]\nid = \"m\"\nline = \"nowhere\"\n",
       "8: key 'line': meter 'm' names line 'nowhere', which is not defined"},
      {"duplicate meter id",
       "[[meter]]\nid = \"m\"\nline = \"local\"\n[[meter]]\nid = \"m\"\nline = \"local\"\n",
       "11: key 'id': meter 'm' defined twice"},
      {"password over 40 characters",
       "[[meter]]\nid = \"m\"\nline = \"local\"\npassword = \"" + std::string(41, 'x') + "\"\n",
       "11: key 'password': longer than 40 characters"},
      {"COM number out of range", "[[line]]\nname = \"x\"\ncom = 9\n",
       "10: key 'com': must be 1 to 8"},
      {"address missing on a PAD line", "[[meter]]\nid = \"m\"\nline = \"radio\"\n",
       "8: key 'address': meter 'm' is on a pnet line and needs an address"},
      {"TOML syntax", "[[meter]\n", "8: "},
  };
  for (const Case& c : cases) {
    const std::string path = writeFile("bad.toml", kGoodLines + c.meters);
    std::string error;
    EXPECT_FALSE(loadFleet(path, &error)) << c.what;
    EXPECT_EQ(error.rfind(path + ":" + c.expected, 0), 0u) << c.what << ": " << error;
  }
}

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = tempPath("store.db");
    std::remove(path_.c_str());
    std::string error;
    store_ = Store::open(path_, &error);
    ASSERT_TRUE(store_) << error;
  }

  std::string path_;
  std::unique_ptr<Store> store_;
};

TEST_F(StoreTest, ARetriedDownloadStoresNothingTwice) {
  const int64_t meter = store_->meterRow("m1", "radio");
  const int64_t run = store_->beginRun("fleet.toml", 1);
  const int64_t attempt = store_->beginAttempt(run, meter, "radio", 1);
  const LoggerPosition epoch = store_->beginEpoch(meter, 1, 1000, 1);
  DataHeaderRecord header{};
  header.firstPairRSN = 1;
  header.firstPairDateTime = 700000000;
  header.loggingInterval = 60;
  RawPair pairs[5] = {{1, 2}, {3, 4}, {5, 6}, {7, 8}, {9, 10}};
  DownloadBatch batch;
  batch.epochId = epoch.epochId;
  batch.attemptId = attempt;
  batch.logNo = 1;
  batch.dataHeader = &header;
  batch.entries = pairs;
  batch.count = 3;
  batch.firstRsn = 1;
  std::string error;
  EXPECT_EQ(store_->storeDownload(batch, &error), std::optional<uint64_t>(3)) << error;
  // The retry overlaps what is stored: only records 4 and 5 are new.
  batch.count = 5;
  EXPECT_EQ(store_->storeDownload(batch, &error), std::optional<uint64_t>(2)) << error;
  EXPECT_EQ(store_->scalar("SELECT count(*) FROM pairs"), 5);
  EXPECT_EQ(store_->scalar("SELECT time FROM pairs WHERE rsn = 3"), 700000120);
  EXPECT_EQ(*store_->loggerPosition(meter, 1).lastRsn, 5u);
  // A new epoch starts with nothing stored.
  const LoggerPosition next = store_->beginEpoch(meter, 1, 2000, 2);
  EXPECT_EQ(next.epochNumber, 2);
  EXPECT_FALSE(store_->loggerPosition(meter, 1).lastRsn);
}

TEST_F(StoreTest, AnUnchangedIdentityIsStoredOnceAndAChangeIsReported) {
  const int64_t meter = store_->meterRow("m1", "radio");
  DibRecord dib{};
  std::snprintf(dib.meter_id, sizeof dib.meter_id, "A-1");
  EXPECT_FALSE(store_->recordIdentity(meter, dib, 1));
  dib.reserved1[0] = 7;  // bytes the library never writes do not count
  EXPECT_FALSE(store_->recordIdentity(meter, dib, 2));
  dib.calibore = 80.0f;
  EXPECT_TRUE(store_->recordIdentity(meter, dib, 3));
  EXPECT_EQ(store_->scalar("SELECT count(*) FROM identities"), 2);
}

TEST_F(StoreTest, AStoreOfANewerSchemaIsRefused) {
  store_->scalar("PRAGMA user_version = 99");
  store_.reset();
  std::string error;
  EXPECT_FALSE(Store::open(path_, &error));
  EXPECT_NE(error.find("newer"), std::string::npos) << error;
  EXPECT_FALSE(Store::openForReading(path_, &error));
}

}  // namespace
}  // namespace vb::fleet
