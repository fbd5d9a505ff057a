// The SQLite engine: one file in WAL mode, so readers (an export, a status
// query) never block the collector and a crash leaves the last committed
// transaction intact. A file is looked at before anything in it changes:
// another database, or a store of a newer version, is refused as it is.
#include <sqlite3.h>

#include <cstring>
#include <filesystem>

#include "database.h"
#include "platform/clock.h"
#include "schema.h"

namespace vb::fleet {

namespace {

// Marks a file as a store ("VBST"), so that another database given by
// mistake is never taken for one.
constexpr int64_t kApplicationId = 0x56425354;
// Pause between tries of a switch to WAL that another connection holds up.
constexpr uint32_t kRetryPauseMs = 50;

// Schema steps: entry n brings a store from version n to n + 1.
const char* const kMigrations[] = {
    R"sql(
CREATE TABLE runs(
  id INTEGER PRIMARY KEY,
  fleet_file TEXT NOT NULL,
  started_at INTEGER NOT NULL,
  ended_at INTEGER,
  meters_ok INTEGER,
  meters_failed INTEGER);
CREATE TABLE meters(
  id INTEGER PRIMARY KEY,
  meter TEXT NOT NULL UNIQUE,
  line TEXT NOT NULL,
  first_seen_at INTEGER NOT NULL,
  last_success_at INTEGER);
CREATE TABLE identities(
  id INTEGER PRIMARY KEY,
  meter_row INTEGER NOT NULL REFERENCES meters(id),
  read_at INTEGER NOT NULL,
  supplier INTEGER NOT NULL,
  meter_id TEXT NOT NULL,
  location TEXT NOT NULL,
  calibore REAL NOT NULL,
  loggvers TEXT NOT NULL,
  record BLOB NOT NULL);
CREATE TABLE versions(
  id INTEGER PRIMARY KEY,
  meter_row INTEGER NOT NULL REFERENCES meters(id),
  read_at INTEGER NOT NULL,
  text1 TEXT, text2 TEXT, text3 TEXT, text4 TEXT,
  text5 TEXT, text6 TEXT, text7 TEXT, text8 TEXT);
CREATE TABLE loggers(
  id INTEGER PRIMARY KEY,
  meter_row INTEGER NOT NULL REFERENCES meters(id),
  log_no INTEGER NOT NULL,
  UNIQUE(meter_row, log_no));
CREATE TABLE epochs(
  id INTEGER PRIMARY KEY,
  logger_id INTEGER NOT NULL REFERENCES loggers(id),
  number INTEGER NOT NULL,
  reset_time INTEGER NOT NULL,
  began_at INTEGER NOT NULL,
  UNIQUE(logger_id, number));
CREATE TABLE headers(
  id INTEGER PRIMARY KEY,
  epoch_id INTEGER NOT NULL REFERENCES epochs(id),
  attempt_id INTEGER NOT NULL REFERENCES attempts(id),
  read_at INTEGER NOT NULL,
  site_id TEXT NOT NULL,
  meter_time INTEGER NOT NULL,
  prior_time INTEGER NOT NULL,
  post_time INTEGER NOT NULL,
  reset_time INTEGER,
  corrected_reset_time INTEGER,
  first_time INTEGER NOT NULL,
  first_rsn INTEGER NOT NULL,
  last_time INTEGER NOT NULL,
  last_rsn INTEGER NOT NULL,
  logging_interval INTEGER,
  calibrated_bore REAL,
  velocity_format INTEGER,
  pressure_format INTEGER,
  height_offset INTEGER,
  aux_text TEXT,
  aux_value REAL,
  status_flags INTEGER NOT NULL,
  UNIQUE(epoch_id, attempt_id));
CREATE TABLE pairs(
  epoch_id INTEGER NOT NULL REFERENCES epochs(id),
  rsn INTEGER NOT NULL,
  time INTEGER NOT NULL,
  flow NUMERIC NOT NULL,
  pressure NUMERIC NOT NULL,
  converted INTEGER NOT NULL,
  PRIMARY KEY(epoch_id, rsn)) WITHOUT ROWID;
CREATE TABLE totals(
  epoch_id INTEGER NOT NULL REFERENCES epochs(id),
  rsn INTEGER NOT NULL,
  time INTEGER NOT NULL,
  total1 INTEGER NOT NULL, total2 INTEGER NOT NULL, total3 INTEGER NOT NULL,
  total4 INTEGER NOT NULL, total5 INTEGER NOT NULL, total6 INTEGER NOT NULL,
  total7 INTEGER NOT NULL, total8 INTEGER NOT NULL,
  extra1 INTEGER NOT NULL,
  extra2 INTEGER NOT NULL,
  crc_valid INTEGER NOT NULL,
  PRIMARY KEY(epoch_id, rsn)) WITHOUT ROWID;
CREATE TABLE attempts(
  id INTEGER PRIMARY KEY,
  run_id INTEGER NOT NULL REFERENCES runs(id),
  meter_row INTEGER NOT NULL REFERENCES meters(id),
  line TEXT NOT NULL,
  started_at INTEGER NOT NULL,
  ended_at INTEGER,
  code INTEGER,
  source TEXT,
  message TEXT,
  entries INTEGER NOT NULL DEFAULT 0,
  bytes INTEGER NOT NULL DEFAULT 0);
CREATE INDEX attempts_by_meter ON attempts(meter_row, started_at);
CREATE TABLE events(
  id INTEGER PRIMARY KEY,
  meter_row INTEGER NOT NULL REFERENCES meters(id),
  log_no INTEGER,
  at INTEGER NOT NULL,
  kind TEXT NOT NULL,
  value INTEGER,
  detail TEXT NOT NULL);
CREATE INDEX events_by_meter ON events(meter_row, at);
)sql",
    // Pair times and values may be absent: a time only where the header
    // fixes it, a value only where the meter's conversion gave one (and an
    // identity block's calibration only where it is a number). Runs carry
    // their holder and when they last said they were alive; meters their
    // expected interval and failed runs in a row; epochs what they hold, so
    // that a status needs no pass over the entries. Alarms, leases of lines
    // to runs, and the outbox of messages waiting for the MQTT broker.
    R"sql(
CREATE TABLE pairs_v2(
  epoch_id INTEGER NOT NULL REFERENCES epochs(id),
  rsn INTEGER NOT NULL,
  time INTEGER,
  flow NUMERIC,
  pressure NUMERIC,
  converted INTEGER NOT NULL,
  PRIMARY KEY(epoch_id, rsn)) WITHOUT ROWID;
INSERT INTO pairs_v2 SELECT epoch_id, rsn, time, flow, pressure, converted FROM pairs;
DROP TABLE pairs;
ALTER TABLE pairs_v2 RENAME TO pairs;
CREATE TABLE identities_v2(
  id INTEGER PRIMARY KEY,
  meter_row INTEGER NOT NULL REFERENCES meters(id),
  read_at INTEGER NOT NULL,
  supplier INTEGER NOT NULL,
  meter_id TEXT NOT NULL,
  location TEXT NOT NULL,
  calibore REAL,
  loggvers TEXT NOT NULL,
  record BLOB NOT NULL);
INSERT INTO identities_v2 SELECT * FROM identities;
DROP TABLE identities;
ALTER TABLE identities_v2 RENAME TO identities;
ALTER TABLE runs ADD COLUMN host TEXT;
ALTER TABLE runs ADD COLUMN pid INTEGER;
ALTER TABLE runs ADD COLUMN renewed_at INTEGER;
ALTER TABLE runs ADD COLUMN abandoned INTEGER NOT NULL DEFAULT 0;
CREATE INDEX runs_open ON runs(ended_at) WHERE ended_at IS NULL;
CREATE INDEX attempts_by_run ON attempts(run_id);
ALTER TABLE meters ADD COLUMN interval_s INTEGER;
ALTER TABLE meters ADD COLUMN failed_runs INTEGER NOT NULL DEFAULT 0;
ALTER TABLE epochs ADD COLUMN first_rsn INTEGER;
ALTER TABLE epochs ADD COLUMN last_rsn INTEGER;
ALTER TABLE epochs ADD COLUMN stored INTEGER NOT NULL DEFAULT 0;
UPDATE epochs SET first_rsn = s.low, last_rsn = s.high, stored = s.count FROM (
  SELECT epoch_id, min(rsn) AS low, max(rsn) AS high, count(*) AS count FROM pairs
  GROUP BY epoch_id
  UNION ALL
  SELECT epoch_id, min(rsn), max(rsn), count(*) FROM totals GROUP BY epoch_id) AS s
  WHERE epochs.id = s.epoch_id;
CREATE TABLE alarms(
  id INTEGER PRIMARY KEY,
  meter_row INTEGER NOT NULL REFERENCES meters(id),
  log_no INTEGER NOT NULL DEFAULT 0,
  kind TEXT NOT NULL,
  severity TEXT NOT NULL,
  raised_at INTEGER NOT NULL,
  cleared_at INTEGER,
  acknowledged_at INTEGER,
  value INTEGER,
  detail TEXT NOT NULL);
CREATE UNIQUE INDEX alarms_open ON alarms(meter_row, log_no, kind) WHERE cleared_at IS NULL;
CREATE INDEX alarms_by_meter ON alarms(meter_row, raised_at);
CREATE TABLE outbox(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  meter_row INTEGER NOT NULL REFERENCES meters(id),
  kind TEXT NOT NULL,
  topic TEXT NOT NULL,
  payload TEXT NOT NULL,
  retained INTEGER NOT NULL,
  created_at INTEGER NOT NULL);
CREATE TABLE leases(
  resource TEXT PRIMARY KEY,
  run_id INTEGER NOT NULL,
  collector TEXT NOT NULL,
  line TEXT NOT NULL,
  host TEXT NOT NULL,
  pid INTEGER NOT NULL,
  taken_at INTEGER NOT NULL,
  expires_at INTEGER NOT NULL);
)sql",
    // Version 3: each publishing collector's state of its connection to the
    // MQTT broker.
    R"sql(
CREATE TABLE publishers(
  collector TEXT PRIMARY KEY,
  broker TEXT NOT NULL,
  state TEXT NOT NULL,
  since INTEGER NOT NULL,
  detail TEXT NOT NULL);
)sql",
};
constexpr int kMigrationCount = static_cast<int>(sizeof kMigrations / sizeof kMigrations[0]);
static_assert(kMigrationCount == kSchemaVersion, "one migration per schema version");

class SqliteQuery final : public Query {
 public:
  SqliteQuery(sqlite3* db, sqlite3_stmt* statement) : db_(db), statement_(statement) {}
  ~SqliteQuery() override { sqlite3_finalize(statement_); }

  Query& bind(int index, int64_t value) override {
    sqlite3_bind_int64(statement_, index, value);
    return *this;
  }
  Query& bind(int index, double value) override {
    sqlite3_bind_double(statement_, index, value);
    return *this;
  }
  Query& bind(int index, const std::string& text) override {
    sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()),
                      SQLITE_TRANSIENT);
    return *this;
  }
  Query& bindBlob(int index, const std::string& bytes) override {
    sqlite3_bind_blob(statement_, index, bytes.data(), static_cast<int>(bytes.size()),
                      SQLITE_TRANSIENT);
    return *this;
  }
  Query& bindNull(int index, ValueType) override {
    sqlite3_bind_null(statement_, index);
    return *this;
  }
  Step step() override {
    const int status = sqlite3_step(statement_);
    if (status == SQLITE_ROW) return Step::Row;
    if (status == SQLITE_DONE) {
      changes_ = static_cast<uint64_t>(sqlite3_changes(db_));
      return Step::Done;
    }
    return Step::Failed;
  }
  uint64_t rowsChanged() const override { return changes_; }
  void reset() override {
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
    changes_ = 0;
  }
  bool isNull(int column) const override {
    return sqlite3_column_type(statement_, column) == SQLITE_NULL;
  }
  int64_t integer(int column) const override { return sqlite3_column_int64(statement_, column); }
  double real(int column) const override { return sqlite3_column_double(statement_, column); }
  std::string text(int column) const override {
    const unsigned char* value = sqlite3_column_text(statement_, column);
    return value ? std::string(reinterpret_cast<const char*>(value),
                               static_cast<size_t>(sqlite3_column_bytes(statement_, column)))
                 : std::string();
  }
  std::string blob(int column) const override {
    const void* bytes = sqlite3_column_blob(statement_, column);
    return bytes ? std::string(static_cast<const char*>(bytes),
                               static_cast<size_t>(sqlite3_column_bytes(statement_, column)))
                 : std::string();
  }
  int columnCount() const override { return sqlite3_column_count(statement_); }
  std::string columnName(int column) const override {
    return sqlite3_column_name(statement_, column);
  }
  Value value(int column) const override {
    switch (sqlite3_column_type(statement_, column)) {
      case SQLITE_INTEGER:
        return integer(column);
      case SQLITE_FLOAT:
        return real(column);
      case SQLITE_TEXT:
        return text(column);
      case SQLITE_BLOB:
        return Blob{blob(column)};
      default:
        return std::monostate();
    }
  }

 private:
  sqlite3* db_;
  sqlite3_stmt* statement_;
  uint64_t changes_ = 0;
};

// What a database file holds, read before anything in it is changed.
struct Contents {
  int64_t objects = 0;  // tables, indexes, views and triggers
  int64_t version = 0;  // user_version
  int64_t applicationId = 0;
  bool storeTables = false;  // the tables of a store of the first version
};

class SqliteDatabase final : public Database {
 public:
  SqliteDatabase(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {}
  ~SqliteDatabase() override { sqlite3_close_v2(db_); }

  Engine engine() const override { return Engine::Sqlite; }
  std::string location() const override { return path_; }

  std::unique_ptr<Query> prepare(const std::string& sql) override {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
      sqlite3_finalize(statement);
      return nullptr;
    }
    return std::make_unique<SqliteQuery>(db_, statement);
  }

  bool execute(const std::string& sql, std::string* error) override {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK) return true;
    *error = message ? message : sqlite3_errmsg(db_);
    sqlite3_free(message);
    return false;
  }
  bool beginWrite(std::string* error) override { return execute("BEGIN IMMEDIATE", error); }
  // In WAL mode a reading transaction keeps the snapshot of its first read.
  bool beginRead(std::string* error) override { return execute("BEGIN", error); }
  bool commit(std::string* error) override { return execute("COMMIT", error); }
  void rollback() override {
    std::string ignored;
    execute("ROLLBACK", &ignored);
  }
  std::string lastError() const override { return sqlite3_errmsg(db_); }

  std::optional<uint64_t> insertNew(const std::string& table,
                                    const std::vector<std::string>& columns, size_t rows,
                                    const std::function<void(size_t, std::vector<Value>*)>& row,
                                    std::string* error) override {
    std::string sql = "INSERT INTO " + table + "(";
    std::string values;
    for (size_t i = 0; i < columns.size(); ++i) {
      sql += (i == 0 ? "" : ", ") + columns[i];
      values += (i == 0 ? "?" : ", ?") + std::to_string(i + 1);
    }
    sql += ") VALUES(" + values + ") ON CONFLICT DO NOTHING";
    std::unique_ptr<Query> insert = prepare(sql);
    if (!insert) {
      *error = lastError();
      return std::nullopt;
    }
    std::vector<Value> values_;
    uint64_t added = 0;
    for (size_t i = 0; i < rows; ++i) {
      values_.assign(columns.size(), Value());
      row(i, &values_);
      for (size_t c = 0; c < values_.size(); ++c) {
        const int index = static_cast<int>(c + 1);
        std::visit(
            [&](const auto& value) {
              using T = std::decay_t<decltype(value)>;
              if constexpr (std::is_same_v<T, std::monostate>) {
                insert->bindNull(index);
              } else if constexpr (std::is_same_v<T, Blob>) {
                insert->bindBlob(index, value.bytes);
              } else {
                insert->bind(index, value);
              }
            },
            values_[c]);
      }
      if (!insert->run()) {
        *error = lastError();
        return std::nullopt;
      }
      added += insert->changed();
    }
    return added;
  }

  bool checkIntegrity(std::string* error) override {
    std::unique_ptr<Query> check = prepare("PRAGMA quick_check(20)");
    if (!check) {
      *error = "the store is damaged: " + lastError();
      return false;
    }
    std::string problems;
    Step status;
    while ((status = check->step()) == Step::Row) {
      const std::string line = check->text(0);
      if (line != "ok") problems += (problems.empty() ? "" : "; ") + line;
    }
    if (status == Step::Failed) problems = lastError();
    if (problems.empty()) return true;
    *error = "the store is damaged: " + problems;
    return false;
  }

  bool readContents(Contents* contents, std::string* error) {
    std::unique_ptr<Query> select =
        prepare("SELECT (SELECT count(*) FROM sqlite_schema),"
                " (SELECT user_version FROM pragma_user_version),"
                " (SELECT application_id FROM pragma_application_id),"
                " (SELECT count(*) FROM sqlite_schema WHERE type = 'table' AND"
                " name IN ('runs', 'meters', 'epochs', 'pairs', 'totals', 'attempts'))");
    if (!select || select->step() != Step::Row) {
      *error = lastError();
      return false;
    }
    contents->objects = select->integer(0);
    contents->version = select->integer(1);
    contents->applicationId = select->integer(2);
    contents->storeTables = select->integer(3) == 6;
    return true;
  }

  bool migrate(std::string* error) {
    if (!beginWrite(error)) return false;
    // Read again inside the transaction: another run may have made the
    // store meanwhile.
    Contents contents;
    std::string reason;
    if (!readContents(&contents, error) || !(reason = refusal(contents)).empty()) {
      if (!reason.empty()) *error = reason;
      rollback();
      return false;
    }
    for (int64_t step = contents.version; step < kSchemaVersion; ++step) {
      if (!execute(kMigrations[step], error)) {
        rollback();
        return false;
      }
    }
    const std::string stamp = "PRAGMA user_version=" + std::to_string(kSchemaVersion) +
                              "; PRAGMA application_id=" + std::to_string(kApplicationId);
    if (!execute(stamp, error) || !commit(error)) {
      rollback();
      return false;
    }
    return true;
  }

  // The switch takes the whole file and does not wait for another
  // connection by itself.
  bool useWriteAheadLog(uint32_t waitMs, std::string* error) {
    const uint64_t deadline = platform::nowMs() + waitMs;
    for (;;) {
      std::unique_ptr<Query> wal = prepare("PRAGMA journal_mode=WAL");
      if (wal && wal->step() == Step::Row && wal->text(0) == "wal") return true;
      const int code = sqlite3_errcode(db_);
      if ((code != SQLITE_BUSY && code != SQLITE_LOCKED) || platform::nowMs() >= deadline) {
        *error = "cannot switch to WAL mode: " + lastError();
        return false;
      }
      platform::sleepMs(kRetryPauseMs);
    }
  }

  int errorCode() const { return sqlite3_errcode(db_); }

  // Why the file cannot be used as a store; empty when it can (an empty
  // file counts as a new store).
  static std::string refusal(const Contents& contents) {
    if (contents.objects == 0) return std::string();
    const bool ours =
        contents.applicationId == kApplicationId ||
        (contents.applicationId == 0 && contents.version == 1 && contents.storeTables);
    if (!ours) {
      return "holds another database, not a store (" + std::to_string(contents.objects) +
             " tables and indexes of its own); it was left untouched";
    }
    if (contents.version > kSchemaVersion) {
      return "was written by a newer version of vantbrook (schema " +
             std::to_string(contents.version) + "; this one knows up to " +
             std::to_string(kSchemaVersion) + "); it was left untouched";
    }
    return std::string();
  }

 private:
  sqlite3* db_;
  std::string path_;
};

}  // namespace

std::unique_ptr<Database> openSqlite(const std::string& path, const SqliteOptions& options,
                                     std::string* error) {
  if (options.readOnly) {
    std::error_code missing;
    if (!std::filesystem::exists(path, missing)) {
      *error = path + ": no such store";
      return nullptr;
    }
  }
  sqlite3* db = nullptr;
  const int flags = (options.readOnly ? SQLITE_OPEN_READONLY
                                      : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) |
                    SQLITE_OPEN_FULLMUTEX;
  const int status = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
  auto database = std::make_unique<SqliteDatabase>(db, path);
  if (status != SQLITE_OK) {
    *error = "cannot open " + path + ": " + sqlite3_errstr(status);
    return nullptr;
  }
  sqlite3_busy_timeout(db, static_cast<int>(options.busyTimeoutMs));
  // Look before changing anything.
  Contents contents;
  std::string reason;
  if (!database->readContents(&contents, &reason)) {
    *error = (options.readOnly ? "cannot read " : "cannot use ") + path + " as a store: " + reason;
    if (options.readOnly && database->errorCode() == SQLITE_CANTOPEN) {
      *error += " (a store in WAL mode is read through files beside it: its folder must be"
                " writable by this user, or its -wal and -shm files present)";
    }
    return nullptr;
  }
  reason = SqliteDatabase::refusal(contents);
  if (options.readOnly && reason.empty()) {
    if (contents.objects == 0) {
      reason = "is empty: not a store (collect creates one)";
    } else if (contents.version < kSchemaVersion) {
      reason = "is a store of an older version (schema " + std::to_string(contents.version) +
               "): run collect once to bring it up to date";
    }
  }
  if (!reason.empty()) {
    *error = path + " " + reason;
    return nullptr;
  }
  if (options.readOnly) return database;
  const bool current = contents.objects > 0 && contents.version == kSchemaVersion;
  if (!database->execute("PRAGMA foreign_keys=ON", error) ||
      (!current && !database->migrate(error)) ||
      !database->useWriteAheadLog(options.busyTimeoutMs, error) ||
      !database->execute("PRAGMA synchronous=NORMAL", error)) {
    *error = path + ": " + *error;
    return nullptr;
  }
  return database;
}

}  // namespace vb::fleet
