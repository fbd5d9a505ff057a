// Several collectors, one PostgreSQL store: the real programs, each with
// lines of its own in one pool of modems that reach the same meters. Every
// meter is collected exactly once; one collector killed mid-run leaves its
// meters to the others once its leases expire; the database server
// restarted in the middle of a run costs nothing but time.
#include <gtest/gtest.h>

#include <fstream>

#include "fleet_support.h"
#include "postgres_server.h"

namespace vb::fleet {
namespace {

constexpr size_t kMeters = 6;
constexpr uint32_t kPairs = 400;
// Short leases, so that a killed collector's meters come free quickly.
constexpr char kLeaseSeconds[] = "10";

struct Pool {
  std::vector<std::unique_ptr<metersim::Simulator>> modems;
  std::string fleetPath;
  std::string store;
};

// Four modem lines, two for collector a and two for b, every one reaching
// the same meters (the simulated banks share their seed, so a meter's data
// is the same whichever line calls it).
bool startPool(Pool* pool, uint32_t baud) {
  std::vector<std::string> numbers;
  for (size_t i = 0; i < kMeters; ++i) numbers.push_back(std::to_string(500 + i));
  std::string fleet;
  for (int i = 0; i < 4; ++i) {
    metersim::Options options;
    options.front = metersim::Front::Modem;
    options.fleetAddresses = numbers;
    options.pairsPerLogger = kPairs;
    options.baud = baud;
    options.callSetupMs = 200;
    pool->modems.push_back(startSimulator(options));
    fleet += "[[line]]\nname = \"modem-" + std::to_string(i) + "\"\ndevice = \"" +
             pool->modems.back()->devicePath() + "\"\nkind = \"dial\"\nbaud = " +
             std::to_string(baud) + "\ncollector = \"" + (i < 2 ? "a" : "b") +
             "\"\npool = \"gsm\"\n";
  }
  for (const std::string& number : numbers) {
    fleet += "[[meter]]\nid = \"m" + number + "\"\npool = \"gsm\"\naddress = \"" + number +
             "\"\nloggers = [1]\n";
  }
  pool->fleetPath = tempPath("fleet.toml");
  std::ofstream(pool->fleetPath) << fleet;
  std::string error;
  test::PostgresServer* server = test::PostgresServer::shared(&error);
  const std::optional<std::string> store =
      server ? server->createDatabase(&error) : std::nullopt;
  EXPECT_TRUE(store) << "no PostgreSQL server for the test: " << error;
  pool->store = store.value_or("");
  return store.has_value();
}

std::vector<std::string> collectArguments(const Pool& pool, const char* collector) {
  return {"collect", pool.fleetPath, "--db", pool.store, "--collector", collector,
          "--lease-time", kLeaseSeconds, "--retry-delay", "1"};
}

// Every meter once: one successful attempt each, and its pairs stored once.
void expectEachMeterOnce(const Pool& pool) {
  std::string error;
  std::unique_ptr<Store> store = Store::openForReading(pool.store, &error);
  ASSERT_TRUE(store) << error;
  EXPECT_EQ(store->scalar("SELECT count(*) FROM pairs"), int64_t{kMeters * kPairs});
  EXPECT_EQ(store->scalar("SELECT count(DISTINCT meter_row) FROM attempts WHERE code = 0"),
            int64_t{kMeters});
  EXPECT_EQ(store->scalar("SELECT count(*) FROM (SELECT meter_row FROM attempts WHERE code = 0"
                          " GROUP BY meter_row HAVING count(*) > 1) AS twice"),
            0);
  EXPECT_EQ(store->scalar("SELECT count(*) FROM leases"), 0);
}

TEST(FleetCollectors, TwoCollectorsShareAPoolAndCollectEveryMeterOnce) {
  Pool pool;
  ASSERT_TRUE(startPool(&pool, 19200));
  Program a, b;
  ASSERT_TRUE(a.start(VANTBROOK_PROGRAM, collectArguments(pool, "a")));
  ASSERT_TRUE(b.start(VANTBROOK_PROGRAM, collectArguments(pool, "b")));
  EXPECT_EQ(a.wait(), 0) << a.process->standardError();
  EXPECT_EQ(b.wait(), 0) << b.process->standardError();
  expectEachMeterOnce(pool);
  // The lines of both took meters of the pool.
  uint32_t calls = 0;
  for (const auto& modem : pool.modems) calls += modem->connections() > 0 ? 1 : 0;
  EXPECT_GE(calls, 3u);
}

TEST(FleetCollectors, AKilledCollectorsMetersAreFinishedByTheOther) {
  Pool pool;
  ASSERT_TRUE(startPool(&pool, 4800));  // slow enough to be killed mid-download
  Program a;
  ASSERT_TRUE(a.start(VANTBROOK_PROGRAM, collectArguments(pool, "a")));
  ASSERT_TRUE(waitForStore(pool.store,
                           "SELECT count(*) FROM attempts WHERE ended_at IS NULL", 2));
  a.process.reset();  // SIGKILL, reaped: its leases stay until they expire
  Program b;
  ASSERT_TRUE(b.start(VANTBROOK_PROGRAM, collectArguments(pool, "b")));
  EXPECT_EQ(b.wait(), 0) << b.process->standardError();
  expectEachMeterOnce(pool);
}

TEST(FleetCollectors, TheDatabaseServerRestartedMidRunCostsOnlyTime) {
  std::string error;
  test::PostgresServer* server = test::PostgresServer::shared(&error);
  ASSERT_TRUE(server) << error;
  if (!server->ownCluster()) GTEST_SKIP() << "VANTBROOK_TEST_POSTGRES names a server not ours";
  Pool pool;
  ASSERT_TRUE(startPool(&pool, 9600));
  Program a, b;
  ASSERT_TRUE(a.start(VANTBROOK_PROGRAM, collectArguments(pool, "a")));
  ASSERT_TRUE(b.start(VANTBROOK_PROGRAM, collectArguments(pool, "b")));
  ASSERT_TRUE(waitForStore(pool.store, "SELECT count(*) FROM attempts", 2));
  ASSERT_TRUE(server->stop(&error)) << error;
  platform::sleepMs(5000);  // the outage itself: nothing to wait for but time
  ASSERT_TRUE(server->start(&error)) << error;
  EXPECT_EQ(a.wait(), 0) << a.process->standardError();
  EXPECT_EQ(b.wait(), 0) << b.process->standardError();
  expectEachMeterOnce(pool);
}

}  // namespace
}  // namespace vb::fleet
