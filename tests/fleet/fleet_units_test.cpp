// The fleet file's checks and the store's guarantees on both engines, without a
// meter.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <thread>

#include "database.h"
#include "fleet_file.h"
#include "fleet_status.h"
#include "outbox_messages.h"
#include "pair_times.h"
#include "postgres_server.h"
#include "store.h"
#include "store_copy.h"

namespace vb::fleet {

// Test names say which engine (found by the engine's namespace, so outside
// the unnamed one).
void PrintTo(Engine engine, std::ostream* out) {
  *out << (engine == Engine::Sqlite ? "Sqlite" : "Postgres");
}

namespace {

std::string tempPath(const std::string& name) {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string test = info->name();
  std::replace(test.begin(), test.end(), '/', '-');  // a parameterised test's
  return ::testing::TempDir() + "/" + test + "-" + name;
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
       "10: key 'line': meter 'm' names line 'nowhere', which is not defined"},
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
      {"a line and a pool", "[[meter]]\nid = \"m\"\nline = \"local\"\npool = \"gsm\"\n",
       "11: key 'pool': [[meter]] 'm' names a line and a pool: give one"},
      {"a pool no line is in", "[[meter]]\nid = \"m\"\npool = \"gsm\"\n",
       "10: key 'pool': meter 'm' names pool 'gsm', which no line is in"},
      {"one line names its collector, another none",
       "[[line]]\nname = \"far\"\ncom = 3\ncollector = \"north\"\n"
       "[[meter]]\nid = \"m\"\nline = \"local\"\n",
       "5: key 'collector': line 'local' names no collector, but line 'far' does"},
      {"a pool of lines of two kinds",
       "[[line]]\nname = \"a\"\ncom = 3\nkind = \"dial\"\npool = \"p\"\n"
       "[[line]]\nname = \"b\"\ncom = 4\nkind = \"pnet\"\npool = \"p\"\n"
       "[[meter]]\nid = \"m\"\npool = \"p\"\naddress = \"1\"\n",
       "13: key 'kind': line 'b' is in pool 'p' with line 'a' of another kind"},
      {"one device, two lines",
       "[[line]]\nname = \"again\"\ndevice = \"/dev/../dev/ttyUSB0\"\n"
       "[[meter]]\nid = \"m\"\nline = \"local\"\n",
       "8: key 'device': device /dev/../dev/ttyUSB0 is also line 'local'"},
  };
  for (const Case& c : cases) {
    const std::string path = writeFile("bad.toml", kGoodLines + c.meters);
    std::string error;
    EXPECT_FALSE(loadFleet(path, &error)) << c.what;
    EXPECT_EQ(error.rfind(path + ":" + c.expected, 0), 0u) << c.what << ": " << error;
  }
}

// Stops the test at the first store call that fails, with the store's words.
template <typename T>
T must(std::optional<T> value, const std::string& error) {
  EXPECT_TRUE(value) << error;
  return value.value_or(T());
}

std::string engineName(Engine engine) { return ::testing::PrintToString(engine); }

// A place for a new store: a file that is not there, or an empty database
// on the tests' PostgreSQL server. Empty, with the test failed, when there is
// none.
std::string freshLocation(Engine engine, const std::string& name) {
  if (engine == Engine::Sqlite) {
    const std::string path = tempPath(name);
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str());
    return path;
  }
  std::string error;
  test::PostgresServer* server = test::PostgresServer::shared(&error);
  const std::optional<std::string> address =
      server ? server->createDatabase(&error) : std::nullopt;
  EXPECT_TRUE(address) << "no PostgreSQL server for the test: " << error;
  return address.value_or("");
}

// The address with a libpq setting added.
std::string withSetting(const std::string& address, const std::string& setting) {
  return address + (address.find('?') == std::string::npos ? "?" : "&") + setting;
}

class StoreFixture : public ::testing::Test {
 protected:
  void openStore(Engine engine) {
    engine_ = engine;
    location_ = freshLocation(engine, "store.db");
    ASSERT_FALSE(location_.empty());
    store_ = Store::open(location_, &error_);
    ASSERT_TRUE(store_) << error_;
    meter_ = must(store_->meterRow("m1", "radio", 86400, 1, &error_), error_);
    run_ = must(store_->beginRun("fleet.toml", 1, &error_), error_);
  }

  // A download of logger 1 into a new epoch, by a new attempt of the meter;
  // its header is the fixture's.
  DownloadBatch newPairBatch() {
    DownloadBatch batch;
    batch.attemptId = must(store_->beginAttempt(run_, meter_, "radio", 1, &error_), error_);
    LoggerPosition epoch;
    EXPECT_TRUE(store_->beginEpoch(meter_, 1, 1000, 1, &epoch, &error_)) << error_;
    batch.epochId = epoch.epochId;
    batch.logNo = 1;
    batch.dataHeader = &header_;
    return batch;
  }

  Engine engine_ = Engine::Sqlite;
  DataHeaderRecord header_{};
  std::string location_;
  std::string error_;
  std::unique_ptr<Store> store_;
  int64_t meter_ = 0;
  int64_t run_ = 0;
};

// The store's guarantees, once per engine.
class StoreTest : public StoreFixture, public ::testing::WithParamInterface<Engine> {
 protected:
  void SetUp() override { openStore(GetParam()); }
};

INSTANTIATE_TEST_SUITE_P(Engines, StoreTest, ::testing::Values(Engine::Sqlite, Engine::Postgres),
                         [](const auto& info) { return engineName(info.param); });

class SqliteStoreTest : public StoreFixture {
 protected:
  void SetUp() override { openStore(Engine::Sqlite); }
};

TEST_P(StoreTest, ARetriedDownloadStoresNothingTwiceAndAbsentValuesStayAbsent) {
  DownloadBatch batch = newPairBatch();
  batch.converted = true;
  batch.pairs = {{1, 700000000, 1.5, 2.5}, {2, std::nullopt, std::nullopt, 3.0}, {3, 700000120, 4, 5}};
  EXPECT_EQ(store_->storeDownload(batch, &error_), std::optional<uint64_t>(3)) << error_;
  // The retry overlaps what is stored: only records 4 and 5 are new.
  batch.pairs.push_back({4, 700000180, 6, 7});
  batch.pairs.push_back({5, 700000240, 8, 9});
  EXPECT_EQ(store_->storeDownload(batch, &error_), std::optional<uint64_t>(2)) << error_;
  EXPECT_EQ(store_->scalar("SELECT count(*) FROM pairs"), 5);
  EXPECT_EQ(store_->scalar("SELECT count(*) FROM pairs WHERE time IS NULL AND flow IS NULL"
                           " AND pressure = 3"),
            1);
  LoggerPosition position;
  ASSERT_TRUE(store_->loggerPosition(meter_, 1, &position, &error_)) << error_;
  EXPECT_EQ(position.lastRsn, std::optional<uint32_t>(5));
  // Export's filters leave a parameter null where nothing narrows them.
  ExportFilter filter;
  filter.from = 700000120;
  std::vector<uint32_t> exported;
  ASSERT_TRUE(store_->forEachPair(filter, [&](const PairRow& row) {
    exported.push_back(row.rsn);
    return true;
  }, &error_)) << error_;
  EXPECT_EQ(exported, (std::vector<uint32_t>{3, 4, 5}));
  // A new epoch starts with nothing stored.
  LoggerPosition next;
  ASSERT_TRUE(store_->beginEpoch(meter_, 1, 2000, 2, &next, &error_)) << error_;
  EXPECT_EQ(next.epochNumber, 2);
  ASSERT_TRUE(store_->loggerPosition(meter_, 1, &position, &error_)) << error_;
  EXPECT_FALSE(position.lastRsn);
}

// An export its reader stops early leaves the connection free for the next
// statement, however many rows it left unread.
TEST_P(StoreTest, AnExportStoppedEarlyLeavesTheStoreUsable) {
  DownloadBatch batch = newPairBatch();
  for (uint32_t rsn = 1; rsn <= 5000; ++rsn) batch.pairs.push_back({rsn, rsn, 1.0, 2.0});
  ASSERT_TRUE(store_->storeDownload(batch, &error_)) << error_;
  int read = 0;
  ASSERT_TRUE(store_->forEachPair(ExportFilter(), [&read](const PairRow&) { return ++read < 2; },
                                  &error_))
      << error_;
  EXPECT_EQ(read, 2);
  EXPECT_TRUE(store_->markSuccess(meter_, 3, &error_)) << error_;
  EXPECT_EQ(store_->scalar("SELECT count(*) FROM pairs"), 5000);
}

TEST_P(StoreTest, AnUnchangedIdentityIsStoredOnceAndAChangeIsReported) {
  DibRecord dib{};
  std::snprintf(dib.meter_id, sizeof dib.meter_id, "A-1");
  bool changed = true;
  ASSERT_TRUE(store_->recordIdentity(meter_, dib, 1, &changed, &error_)) << error_;
  EXPECT_FALSE(changed);
  dib.reserved1[0] = 7;  // bytes the library never writes do not count
  ASSERT_TRUE(store_->recordIdentity(meter_, dib, 2, &changed, &error_)) << error_;
  EXPECT_FALSE(changed);
  dib.calibore = 80.0f;
  ASSERT_TRUE(store_->recordIdentity(meter_, dib, 3, &changed, &error_)) << error_;
  EXPECT_TRUE(changed);
  EXPECT_EQ(store_->scalar("SELECT count(*) FROM identities"), 2);
}

TEST(StoreFile, ReadingGivesTheRealReasonForAnEmptyOrMissingFile) {
  const std::string empty = writeFile("empty.db", "");
  std::string error;
  EXPECT_FALSE(Store::openForReading(empty, &error));
  EXPECT_NE(error.find("is empty: not a store"), std::string::npos) << error;
  const std::string text = writeFile("text.db", "meter,logger\n");
  EXPECT_FALSE(Store::openForReading(text, &error));
  EXPECT_NE(error.find("not a database"), std::string::npos) << error;
  EXPECT_FALSE(Store::openForReading(tempPath("none.db"), &error));
  EXPECT_NE(error.find("no such store"), std::string::npos) << error;
}

TEST_F(SqliteStoreTest, ADamagedPageIsFound) {
  DownloadBatch batch = newPairBatch();
  for (uint32_t rsn = 1; rsn <= 5000; ++rsn) batch.pairs.push_back({rsn, rsn, 1.0, 2.0});
  ASSERT_TRUE(store_->storeDownload(batch, &error_)) << error_;
  EXPECT_TRUE(store_->checkIntegrity(&error_)) << error_;
  store_->scalar("PRAGMA wal_checkpoint(TRUNCATE)");
  store_.reset();
  // Overwrite one page in the middle of the pairs.
  std::fstream file(location_, std::ios::in | std::ios::out | std::ios::binary);
  file.seekp(4096 * 6);
  file << std::string(4096, '\x5a');
  file.close();
  std::unique_ptr<Store> store = Store::open(location_, &error_);
  ASSERT_TRUE(store) << error_;
  EXPECT_FALSE(store->checkIntegrity(&error_));
  EXPECT_NE(error_.find("the store is damaged"), std::string::npos) << error_;
}

// A write the store cannot make (another connection holds what it writes)
// is reported by every bookkeeping member, never taken for done.
TEST_P(StoreTest, EveryWriteReportsThatItFailed) {
  const int64_t attempt = must(store_->beginAttempt(run_, meter_, "radio", 1, &error_), error_);
  store_.reset();
  struct Hold {
    std::string quickLocation;  // where a statement waits 100 ms at most
    std::vector<const char*> take;
    const char* words;  // of the failure
  };
  const Hold hold =
      engine_ == Engine::Sqlite
          ? Hold{location_, {"BEGIN IMMEDIATE"}, "database is locked"}
          : Hold{withSetting(location_, "options=-c%20lock_timeout%3D100"),
                 {"BEGIN", "LOCK TABLE runs, meters, attempts, events, leases IN EXCLUSIVE MODE"},
                 "lock timeout"};
  StoreOptions quick;
  quick.busyTimeoutMs = 100;
  std::unique_ptr<Store> store = Store::open(hold.quickLocation, &error_, quick);
  ASSERT_TRUE(store) << error_;
  std::unique_ptr<Store> holder = Store::open(location_, &error_);
  ASSERT_TRUE(holder) << error_;
  for (const char* sql : hold.take) holder->scalar(sql);

  std::string error;
  EXPECT_FALSE(store->beginRun("fleet.toml", 2, &error));
  EXPECT_FALSE(store->meterRow("m2", "radio", 86400, 2, &error));
  EXPECT_FALSE(store->beginAttempt(run_, meter_, "radio", 2, &error));
  EXPECT_FALSE(store->endAttempt(attempt, AttemptOutcome{}, &error));
  EXPECT_FALSE(store->markSuccess(meter_, 2, &error));
  EXPECT_FALSE(store->renewRun(run_, 2, &error));
  EXPECT_FALSE(store->endRun(run_, 2, 1, 0, &error));
  EXPECT_FALSE(store->recordEvent(meter_, 1, 2, kEventClockSet, 0, "x", &error));
  EXPECT_NE(error.find(hold.words), std::string::npos) << error;
  holder->scalar("ROLLBACK");
  // An attempt row that is not there is not "updated" either.
  EXPECT_FALSE(store->endAttempt(attempt + 100, AttemptOutcome{}, &error));
}

TEST_P(StoreTest, ARunItsProcessLeftOpenIsClosedByTheNextAndItsAttemptsMarked) {
  must(store_->beginAttempt(run_, meter_, "radio", 1, &error_), error_);
  // The first run's process is this one, still alive: its run stays open
  // until it stops renewing it.
  EXPECT_EQ(store_->closeAbandonedRuns(2, &error_), std::optional<uint32_t>(0)) << error_;
  EXPECT_EQ(store_->closeAbandonedRuns(2 + Store::kRunExpirySeconds, &error_),
            std::optional<uint32_t>(1))
      << error_;
  EXPECT_EQ(store_->scalar("SELECT count(*) FROM runs WHERE ended_at IS NULL"), 0);
  EXPECT_EQ(store_->scalar("SELECT code FROM attempts"), kCodeAttemptAbandoned);
  // A run on this host whose process is gone is closed at once.
  const int64_t run = must(store_->beginRun("fleet.toml", 10, &error_), error_);
  store_->scalar("UPDATE runs SET pid = 999999999 WHERE id = " + std::to_string(run));
  EXPECT_EQ(store_->closeAbandonedRuns(11, &error_), std::optional<uint32_t>(1)) << error_;
}

// Opening stores, once per engine.
class StoreOpen : public ::testing::TestWithParam<Engine> {
 protected:
  // Runs SQL on the store's file or database as another program would.
  void runSql(const std::string& location, const std::string& sql) {
    if (GetParam() == Engine::Postgres) {
      std::string error;
      EXPECT_TRUE(test::PostgresServer::query(location, sql, &error)) << error;
      return;
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(location.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql;
    sqlite3_close(db);
  }
  // What would show a change: the file's bytes and its journal, or the
  // database's relations.
  std::string contents(const std::string& location) {
    if (GetParam() == Engine::Postgres) {
      std::string error;
      const std::optional<std::string> relations = test::PostgresServer::query(
          location,
          "SELECT string_agg(c.relname || ':' || c.relkind::text, ',' ORDER BY c.relname)"
          " FROM pg_class c JOIN pg_namespace n ON c.relnamespace = n.oid"
          " WHERE n.nspname = 'public'",
          &error);
      EXPECT_TRUE(relations) << error;
      return relations.value_or("");
    }
    std::ifstream in(location, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {}) +
           (std::ifstream(location + "-wal").good() ? "+wal" : "");
  }
};

INSTANTIATE_TEST_SUITE_P(Engines, StoreOpen, ::testing::Values(Engine::Sqlite, Engine::Postgres),
                         [](const auto& info) { return engineName(info.param); });

// What is not a store of this version is refused as it is: no table added,
// nothing of its own changed.
TEST_P(StoreOpen, WhatIsNotAStoreIsRefusedUntouched) {
  struct Case {
    const char* what;
    const char* sqlite;
    const char* postgres;
    const char* reason;
  };
  const Case cases[] = {
      {"another database", "CREATE TABLE customers(id INTEGER)",
       "CREATE TABLE customers(id INTEGER)", "holds another database"},
      {"a newer store",
       "CREATE TABLE runs(id INTEGER); PRAGMA application_id = 1447187284;"
       " PRAGMA user_version = 99",
       "CREATE TABLE store_schema(version BIGINT NOT NULL); INSERT INTO store_schema"
       " VALUES(99); CREATE TABLE runs(id BIGINT)",
       "newer version"},
  };
  for (const Case& c : cases) {
    const std::string location = freshLocation(GetParam(), "file.db");
    ASSERT_FALSE(location.empty());
    runSql(location, GetParam() == Engine::Sqlite ? c.sqlite : c.postgres);
    const std::string before = contents(location);
    std::string error;
    EXPECT_FALSE(Store::open(location, &error)) << c.what;
    EXPECT_NE(error.find(c.reason), std::string::npos) << c.what << ": " << error;
    EXPECT_FALSE(Store::openForReading(location, &error)) << c.what;
    EXPECT_NE(error.find(c.reason), std::string::npos) << c.what << ": " << error;
    EXPECT_EQ(contents(location), before) << c.what;
  }
}

TEST_P(StoreOpen, RunsCreatingOneStoreAtOnceAllGetIt) {
  const std::string location = freshLocation(GetParam(), "store.db");
  ASSERT_FALSE(location.empty());
  constexpr int kOpeners = 6;
  std::vector<std::thread> threads;
  std::atomic<int> opened{0};
  std::vector<std::string> errors(kOpeners);
  for (int i = 0; i < kOpeners; ++i) {
    threads.emplace_back([&, i] {
      if (Store::open(location, &errors[i])) ++opened;
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (const std::string& error : errors) EXPECT_EQ(error, "");
  EXPECT_EQ(opened.load(), kOpeners);
}

// "postgresql:///db?..." naming another database.
std::string withDatabase(const std::string& address, const std::string& database) {
  const size_t start = address.find(":///") + 4;
  return address.substr(0, start) + database + address.substr(address.find('?'));
}

TEST(PostgresStore, AnAddressItCannotUseIsRefusedInOneClearLine) {
  const std::string address = freshLocation(Engine::Postgres, "");
  ASSERT_FALSE(address.empty());
  const std::string withPassword = "postgresql://vantbrook:s3cret@" + address.substr(13);
  struct Case {
    const char* what;
    std::string address;
    bool reading;
    std::string expected;
  };
  const Case cases[] = {
      {"a password in the address", withPassword, false, "carries a password"},
      {"a database that is not there", withDatabase(address, "no_such_store"), false,
       "cannot connect to database 'no_such_store' on server /"},
      {"a server that is not there",
       "postgresql:///store?host=/nonexistent&port=5432", false,
       "cannot connect to database 'store' on server /nonexistent:5432: "},
      {"an empty database opened for reading", address, true,
       "is empty: not a store (collect creates one)"},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_FALSE(c.reading ? Store::openForReading(c.address, &error)
                           : Store::open(c.address, &error))
        << c.what;
    EXPECT_NE(error.find(c.expected), std::string::npos) << c.what << ": " << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << c.what << ": " << error;
    EXPECT_EQ(error.find("s3cret"), std::string::npos) << c.what << ": " << error;
  }
}

// A statement after a restart of the server runs on a new connection; one in
// a transaction fails, since the server undid the transaction, and the next
// outside one succeeds again.
TEST(PostgresStore, AServerRestartCostsOnlyTheOpenTransaction) {
  std::string error;
  test::PostgresServer* server = test::PostgresServer::shared(&error);
  ASSERT_TRUE(server) << error;
  if (!server->ownCluster()) GTEST_SKIP() << "an existing server is not the test's to restart";
  const std::string address = freshLocation(Engine::Postgres, "");
  ASSERT_FALSE(address.empty());
  std::unique_ptr<Store> store = Store::open(address, &error);
  ASSERT_TRUE(store) << error;
  std::unique_ptr<Database> database = openPostgres(address, false, &error);
  ASSERT_TRUE(database) << error;
  const std::string insert = "INSERT INTO runs(fleet_file, started_at) VALUES('held', 1)";
  ASSERT_TRUE(database->beginWrite(&error) && database->execute(insert, &error)) << error;

  ASSERT_TRUE(server->stop(&error) && server->start(&error)) << error;
  EXPECT_TRUE(store->beginRun("fleet.toml", 2, &error)) << error;
  EXPECT_FALSE(database->execute(insert, &error));
  EXPECT_NE(error.find("lost"), std::string::npos) << error;
  database->rollback();
  EXPECT_TRUE(database->execute(insert, &error)) << error;
  EXPECT_EQ(store->scalar("SELECT count(*) FROM runs"), 2);
}

// PostgreSQL's COMMIT of a transaction in which a statement failed undoes
// it; that is a failure, not a commit.
TEST(PostgresStore, ACommitAfterAFailedStatementFails) {
  const std::string address = freshLocation(Engine::Postgres, "");
  ASSERT_FALSE(address.empty());
  std::string error;
  std::unique_ptr<Database> database = openPostgres(address, false, &error);
  ASSERT_TRUE(database) << error;
  ASSERT_TRUE(database->beginWrite(&error)) << error;
  ASSERT_TRUE(database->execute("INSERT INTO runs(fleet_file, started_at) VALUES('a', 1)", &error))
      << error;
  EXPECT_FALSE(database->execute("INSERT INTO runs(fleet_file) VALUES('b')", &error));
  EXPECT_FALSE(database->commit(&error));
  EXPECT_NE(error.find("undone"), std::string::npos) << error;
  std::unique_ptr<Query> count = database->prepare("SELECT count(*) FROM runs");
  ASSERT_EQ(count->step(), Step::Row) << database->lastError();
  EXPECT_EQ(count->integer(0), 0);
}

// A row as text, its values' kinds included, to compare stores whole.
std::string tableText(Database& database, const std::string& table) {
  std::unique_ptr<Query> select = database.prepare("SELECT * FROM " + table + " ORDER BY 1, 2");
  std::string text;
  while (select && select->step() == Step::Row) {
    for (int c = 0; c < select->columnCount(); ++c) {
      text += select->columnName(c) + "=";
      std::visit([&text](const auto& value) {
        using T = std::decay_t<decltype(value)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          text += "null";
        } else if constexpr (std::is_same_v<T, std::string>) {
          text += "'" + value + "'";
        } else if constexpr (std::is_same_v<T, Blob>) {
          text += "blob:" + std::to_string(std::hash<std::string>()(value.bytes));
        } else {
          text += std::to_string(value);
        }
      }, select->value(c));
      text += ' ';
    }
    text += '\n';
  }
  return text;
}

// Everything a collection writes, in a new SQLite store.
void fillSmallStore(const std::string& path) {
  std::string error;
  std::unique_ptr<Store> store = Store::open(path, &error);
  ASSERT_TRUE(store) << error;
  // A name with what COPY's text format must escape.
  const int64_t meter = must(store->meterRow("north\\yard\t2", "radio", 86400, 1, &error), error);
  const int64_t run = must(store->beginRun("fleet.toml", 1, &error), error);
  const int64_t attempt = must(store->beginAttempt(run, meter, "radio", 1, &error), error);
  DibRecord dib{};
  std::snprintf(dib.location, sizeof dib.location, "pump\nhouse");
  dib.calibore = 80.5f;
  bool changed = false;
  ASSERT_TRUE(store->recordIdentity(meter, dib, 1, &changed, &error)) << error;
  ASSERT_TRUE(store->recordVersions(meter, VersionRecord{}, 1, &error)) << error;
  for (int logNo : {1, 3}) {
    LoggerPosition epoch;
    ASSERT_TRUE(store->beginEpoch(meter, logNo, 1000, 1, &epoch, &error)) << error;
    DataHeaderRecord data{};
    TotalsHeaderRecord totals{};
    DownloadBatch batch;
    batch.epochId = epoch.epochId;
    batch.attemptId = attempt;
    batch.logNo = logNo;
    if (logNo == 1) {
      batch.dataHeader = &data;
      batch.pairs = {{1, 700000000, 1234, 56}, {2, std::nullopt, std::nullopt, 57}};
    } else {
      batch.totalsHeader = &totals;
      batch.totals = {{1, TotalsRecord{}}};
    }
    ASSERT_TRUE(store->storeDownload(batch, &error)) << error;
  }
  ASSERT_TRUE(store->recordEvent(meter, 1, 2, kEventClockSet, 5, "set", &error)) << error;
  std::optional<AlarmChange> alarm;
  ASSERT_TRUE(store->raiseAlarm(meter, "m", 1, kAlarmFailing, 3, "three", 2, &alarm, &error,
                                alarmMessage))
      << error;
  bool taken = false;
  LeaseHolder holder;
  ASSERT_TRUE(store->takeLease("line:radio", run, "radio", 2, &taken, &holder, &error)) << error;
  ASSERT_TRUE(store->endAttempt(attempt, AttemptOutcome{3, 0, "", "", 4, 100}, &error)) << error;
  ASSERT_TRUE(store->recordBrokerState({"hill", "mqtt://hub", "disconnected", 5, "refused"}, &error))
      << error;
}

TEST(StoreCopy, AStoreCopiedToPostgresAndBackKeepsEveryRowAndId) {
  const std::string original = freshLocation(Engine::Sqlite, "original.db");
  const std::string postgres = freshLocation(Engine::Postgres, "");
  const std::string back = freshLocation(Engine::Sqlite, "back.db");
  ASSERT_FALSE(postgres.empty());
  ASSERT_NO_FATAL_FAILURE(fillSmallStore(original));
  std::string error;
  std::vector<std::string> tables;
  auto copied = [&tables](const TableCopy& table) { tables.push_back(table.table); };
  ASSERT_TRUE(copyStore(original, postgres, copied, &error)) << error;
  EXPECT_EQ(tables.size(), std::size(kStoreTables));
  ASSERT_TRUE(copyStore(postgres, back, copied, &error)) << error;

  std::unique_ptr<Database> before = openDatabase(original, true, &error);
  std::unique_ptr<Database> after = openDatabase(back, true, &error);
  ASSERT_TRUE(before && after) << error;
  for (const char* table : kStoreTables) {
    const std::string text = tableText(*before, table);
    EXPECT_FALSE(text.empty()) << table;
    EXPECT_EQ(tableText(*after, table), text) << table;
  }
  // New rows in the copy get ids after the copied ones.
  std::unique_ptr<Store> store = Store::open(postgres, &error);
  ASSERT_TRUE(store) << error;
  EXPECT_EQ(store->beginRun("fleet.toml", 3, &error), std::optional<int64_t>(2)) << error;
  // A store is copied only into an empty one.
  EXPECT_FALSE(copyStore(original, postgres, copied, &error));
  EXPECT_NE(error.find("is not empty (runs holds 2 rows)"), std::string::npos) << error;
}

// A pair's time is stored only where the header fixes it.
TEST(PairTimes, OnlyWhereTheHeaderFixesThem) {
  constexpr uint32_t kT = 1000000000;  // 2001, a valid meter time
  struct Case {
    const char* what;
    uint32_t firstTime, lastTime, postTime;
    uint32_t rsn;
    std::optional<uint32_t> expected;
  };
  // Pairs 101..200 every 60 s.
  const Case cases[] = {
      {"regular: counted forward", kT, kT + 99 * 60, kT - 3600, 150, kT + 49 * 60},
      {"first time invalid, clock set before the last 10",
       kMeterClockZero, kT + 99 * 60, kT + 90 * 60, 195, kT + 94 * 60},
      {"first time invalid, before the clock setting", kMeterClockZero, kT + 99 * 60,
       kT + 90 * 60, 150, std::nullopt},
      {"first time invalid, clock setting unknown", kMeterClockZero, kT + 99 * 60,
       kMeterClockZero, 195, std::nullopt},
      {"last pair off the interval, after the setting", kT, kT + 99 * 60 + 7, kT + 50 * 60,
       200, kT + 99 * 60 + 7},
      {"last pair off the interval, before the setting", kT, kT + 99 * 60 + 7, kT + 50 * 60,
       120, std::nullopt},
      {"record outside the logger", kT, kT + 99 * 60, kT - 3600, 201, std::nullopt},
  };
  for (const Case& c : cases) {
    DataHeaderRecord header{};
    header.firstPairRSN = 101;
    header.lastPairRSN = 200;
    header.loggingInterval = 60;
    header.firstPairDateTime = c.firstTime;
    header.lastPairDateTime = c.lastTime;
    header.postDateTime = c.postTime;
    EXPECT_EQ(pairTime(header, c.rsn), c.expected) << c.what;
  }
}

// The verdict a monitoring system reads: the worst meter decides.
TEST(FleetOutboxMessages, AMeterIdIsOneTopicLevelWithoutWildcards) {
  MeterOutcome outcome;
  outcome.meter = "hill/2+#";
  const OutboxMessage reading = readingMessage(outcome, 0, {});
  EXPECT_EQ(reading.topic, "meter/hill_2__/reading");
  EXPECT_NE(reading.payload.find("\"meter\":\"hill/2+#\""), std::string::npos);
  AlarmChange cleared;
  cleared.meter = outcome.meter;
  cleared.kind = "failing";
  cleared.raised = false;
  EXPECT_EQ(alarmMessage(cleared).topic, "meter/hill_2__/alarm/failing");
}

TEST(FleetVerdict, TheWorstMeterDecides) {
  static constexpr int64_t kNow = 2000000000;
  static constexpr int64_t kDay = 86400;
  auto meter = [](std::optional<int64_t> lastSuccess, std::vector<std::string> alarms) {
    MeterRecord record;
    record.lastSuccessAt = lastSuccess;
    record.intervalS = kDay;
    for (const std::string& kind : alarms) {
      AlarmRow alarm;
      alarm.kind = kind;
      alarm.severity = severityName(alarmKindNamed(kind)->severity);
      record.openAlarms.push_back(alarm);
    }
    return record;
  };
  struct Case {
    const char* what;
    MeterRecord record;
    MeterState state;
    Verdict verdict;
  };
  const Case cases[] = {
      {"collected last night", meter(kNow - kDay, {}), MeterState::Ok, Verdict::Ok},
      {"a battery warning", meter(kNow - kDay, {"battery_1_warning"}), MeterState::Ok,
       Verdict::Warning},
      {"late by a few hours", meter(kNow - kDay - kDay / 3, {}), MeterState::Late,
       Verdict::Warning},
      {"never collected", meter(std::nullopt, {}), MeterState::Never, Verdict::Warning},
      {"missing for days", meter(kNow - 3 * kDay, {}), MeterState::Missing, Verdict::Critical},
      {"failing", meter(kNow - kDay, {"failing"}), MeterState::Failing, Verdict::Critical},
      {"tampered with", meter(kNow - kDay, {"tamper_switch"}), MeterState::Ok,
       Verdict::Critical},
  };
  for (const Case& c : cases) {
    const FleetStatus alone = fleetStatus({c.record}, kNow);
    EXPECT_EQ(alone.meters.at(0).state, c.state) << c.what;
    EXPECT_EQ(alone.verdict, c.verdict) << c.what;
    // With a good meter beside it, the verdict stays.
    EXPECT_EQ(fleetStatus({meter(kNow - kDay, {}), c.record}, kNow).verdict, c.verdict) << c.what;
  }
}

TEST(FleetFile, DurationsOfIntervals) {
  EXPECT_EQ(parseDuration("15m"), std::optional<int64_t>(900));
  EXPECT_EQ(parseDuration("6h"), std::optional<int64_t>(21600));
  EXPECT_EQ(parseDuration("1d"), std::optional<int64_t>(86400));
  for (const char* bad : {"", "d", "1", "0m", "1w", "-1d", "1.5h", "99999999d"}) {
    EXPECT_FALSE(parseDuration(bad)) << bad;
  }
  EXPECT_EQ(formatDuration(5400), "90m");
}

TEST(FleetFile, WindowsOfTheDay) {
  struct Case {
    const char* text;
    int minute;  // of the day
    bool inside;
    int untilOpen;
  };
  const Case cases[] = {
      {"01:00-05:00", 60, true, 0},      {"01:00-05:00", 300, false, 1200},
      {"01:00-05:00", 0, false, 60},     {"22:00-04:00", 23 * 60, true, 0},
      {"22:00-04:00", 3 * 60, true, 0},  {"22:00-04:00", 12 * 60, false, 600},
      {"00:00-24:00", 1439, true, 0},
  };
  for (const Case& c : cases) {
    const std::optional<TimeWindow> window = parseWindow(c.text);
    ASSERT_TRUE(window) << c.text;
    EXPECT_EQ(window->contains(c.minute), c.inside) << c.text << " " << c.minute;
    EXPECT_EQ(window->minutesUntilOpen(c.minute), c.untilOpen) << c.text << " " << c.minute;
  }
  for (const char* bad : {"", "1:00-5:00", "01:00-01:00", "25:00-01:00", "01:00 05:00"}) {
    EXPECT_FALSE(parseWindow(bad)) << bad;
  }
}

}  // namespace
}  // namespace vb::fleet
