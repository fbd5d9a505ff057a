#include "store.h"

#include <sqlite3.h>

#include <cmath>
#include <cstddef>
#include <cstring>
#include <filesystem>

#include "platform/clock.h"
#include "platform/process.h"

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
    // identity block's calibration only where it is a number). Runs
    // carry their holder and when they last said they were alive.
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
)sql",
};
constexpr int kMigrationCount = static_cast<int>(sizeof kMigrations / sizeof kMigrations[0]);
static_assert(kMigrationCount == kSchemaVersion, "one migration per schema version");

std::string fieldText(const char* field, size_t size) { return std::string(field, strnlen(field, size)); }

// A prepared statement, finalised on every path.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) : db_(db) {
    if (sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr) != SQLITE_OK) statement_ = nullptr;
  }
  ~Statement() { sqlite3_finalize(statement_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool ok() const { return statement_ != nullptr; }
  Statement& bind(int index, int64_t value) {
    sqlite3_bind_int64(statement_, index, value);
    return *this;
  }
  Statement& bind(int index, double value) {
    sqlite3_bind_double(statement_, index, value);
    return *this;
  }
  Statement& bind(int index, const std::string& text) {
    sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()),
                      SQLITE_TRANSIENT);
    return *this;
  }
  Statement& bindBlob(int index, const void* bytes, size_t size) {
    sqlite3_bind_blob(statement_, index, bytes, static_cast<int>(size), SQLITE_TRANSIENT);
    return *this;
  }
  Statement& bindNull(int index) {
    sqlite3_bind_null(statement_, index);
    return *this;
  }
  template <typename T>
  Statement& bindOptional(int index, const std::optional<T>& value) {
    return value ? bind(index, *value) : bindNull(index);
  }
  // SQLITE_ROW, SQLITE_DONE or an error code.
  int step() { return statement_ ? sqlite3_step(statement_) : SQLITE_ERROR; }
  // Runs a statement that returns no rows (or whose rows do not matter).
  bool run() {
    const int status = step();
    reset();
    return status == SQLITE_DONE || status == SQLITE_ROW;
  }
  void reset() {
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
  }
  int64_t integer(int column) const { return sqlite3_column_int64(statement_, column); }
  double real(int column) const { return sqlite3_column_double(statement_, column); }
  bool isNull(int column) const { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }
  std::optional<int64_t> optionalInteger(int column) const {
    return isNull(column) ? std::nullopt : std::optional<int64_t>(integer(column));
  }
  std::optional<double> optionalReal(int column) const {
    return isNull(column) ? std::nullopt : std::optional<double>(real(column));
  }
  const char* text(int column) const {
    const unsigned char* value = sqlite3_column_text(statement_, column);
    return value ? reinterpret_cast<const char*>(value) : "";
  }
  std::string blob(int column) const {
    const void* bytes = sqlite3_column_blob(statement_, column);
    return bytes ? std::string(static_cast<const char*>(bytes),
                               static_cast<size_t>(sqlite3_column_bytes(statement_, column)))
                 : std::string();
  }

 private:
  sqlite3* db_;
  sqlite3_stmt* statement_ = nullptr;
};

// The identity block with only its fields: the reserved bytes cleared, so
// two reads of an unchanged meter compare equal byte for byte.
std::string identityBytes(const DibRecord& dib) {
  DibRecord clean;
  std::memset(&clean, 0, sizeof clean);
  clean.strusize = dib.strusize;
  clean.struvers = dib.struvers;
  clean.supplier = dib.supplier;
  std::memcpy(clean.meter_id, dib.meter_id, sizeof clean.meter_id);
  clean.last_alt = dib.last_alt;
  clean.trans_id = dib.trans_id;
  clean.transpin = dib.transpin;
  clean.flows_id = dib.flows_id;
  clean.press_id = dib.press_id;
  clean.calibore = dib.calibore;
  clean.aux_word = dib.aux_word;
  const size_t textStart = offsetof(DibRecord, flowcont);
  std::memcpy(reinterpret_cast<char*>(&clean) + textStart,
              reinterpret_cast<const char*>(&dib) + textStart,
              offsetof(DibRecord, loggvers) + sizeof dib.loggvers - textStart);
  return std::string(reinterpret_cast<const char*>(&clean), sizeof clean);
}

// The filter's WHERE clause over meters m, loggers l, epochs e and the
// entries' table x; parameters ?1 to ?4.
const char kFilterClause[] =
    " WHERE (?1 IS NULL OR m.meter = ?1) AND (?2 IS NULL OR l.log_no = ?2)"
    " AND (?3 IS NULL OR x.time >= ?3) AND (?4 IS NULL OR x.time <= ?4)"
    " ORDER BY m.meter, l.log_no, e.number, x.rsn";

void bindFilter(Statement& statement, const ExportFilter& filter) {
  if (filter.meter) statement.bind(1, *filter.meter);
  if (filter.logNo) statement.bind(2, int64_t{*filter.logNo});
  if (filter.from) statement.bind(3, int64_t{*filter.from});
  if (filter.to) statement.bind(4, int64_t{*filter.to});
}

// What a database file holds, read before anything in it is changed.
struct Contents {
  int64_t objects = 0;  // tables, indexes, views and triggers
  int64_t version = 0;  // user_version
  int64_t applicationId = 0;
  bool storeTables = false;  // the tables of a store of the first version
};

bool readContents(sqlite3* db, Contents* contents, std::string* error) {
  Statement select(db,
                   "SELECT (SELECT count(*) FROM sqlite_schema),"
                   " (SELECT user_version FROM pragma_user_version),"
                   " (SELECT application_id FROM pragma_application_id),"
                   " (SELECT count(*) FROM sqlite_schema WHERE type = 'table' AND"
                   " name IN ('runs', 'meters', 'epochs', 'pairs', 'totals', 'attempts'))");
  if (select.step() != SQLITE_ROW) {
    *error = sqlite3_errmsg(db);
    return false;
  }
  contents->objects = select.integer(0);
  contents->version = select.integer(1);
  contents->applicationId = select.integer(2);
  contents->storeTables = select.integer(3) == 6;
  return true;
}

// Why the file cannot be used as a store; empty when it can (an empty file
// counts as a new store).
std::string refusal(const Contents& contents) {
  if (contents.objects == 0) return std::string();
  const bool ours = contents.applicationId == kApplicationId ||
                    (contents.applicationId == 0 && contents.version == 1 && contents.storeTables);
  if (!ours) {
    return "holds another database, not a store (" + std::to_string(contents.objects) +
           " tables and indexes of its own); it was left untouched";
  }
  if (contents.version > kSchemaVersion) {
    return "written by a newer version of vantbrook (schema " + std::to_string(contents.version) +
           "; this one knows up to " + std::to_string(kSchemaVersion) + "); it was left untouched";
  }
  return std::string();
}

}  // namespace

Store::Store(sqlite3* db) : db_(db) {}

Store::~Store() { sqlite3_close_v2(db_); }

std::string Store::failure(const std::string& what) const {
  return what + ": " + sqlite3_errmsg(db_);
}

std::unique_ptr<Store> Store::open(const std::string& path, std::string* error,
                                   const StoreOptions& options) {
  sqlite3* db = nullptr;
  const int status = sqlite3_open_v2(path.c_str(), &db,
                                     SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE |
                                         SQLITE_OPEN_FULLMUTEX,
                                     nullptr);
  std::unique_ptr<Store> store(new Store(db));
  if (status != SQLITE_OK) {
    *error = "cannot open " + path + ": " + sqlite3_errstr(status);
    return nullptr;
  }
  sqlite3_busy_timeout(db, static_cast<int>(options.busyTimeoutMs));
  // Look before changing anything: a file that is not a store, or a store
  // of a newer version, is refused as it is.
  Contents contents;
  std::string reason;
  if (!readContents(db, &contents, &reason)) {
    *error = "cannot use " + path + " as a store: " + reason;
    return nullptr;
  }
  reason = refusal(contents);
  if (!reason.empty()) {
    *error = path + " " + reason;
    return nullptr;
  }
  const bool current = contents.objects > 0 && contents.version == kSchemaVersion;
  if (!store->execute("PRAGMA foreign_keys=ON", error) || (!current && !store->migrate(error)) ||
      !store->useWriteAheadLog(options.busyTimeoutMs, error) ||
      !store->execute("PRAGMA synchronous=NORMAL", error)) {
    *error = path + ": " + *error;
    return nullptr;
  }
  return store;
}

std::unique_ptr<Store> Store::openForReading(const std::string& path, std::string* error) {
  std::error_code missing;
  if (!std::filesystem::exists(path, missing)) {
    *error = path + ": no such store";
    return nullptr;
  }
  sqlite3* db = nullptr;
  const int status =
      sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_FULLMUTEX, nullptr);
  std::unique_ptr<Store> store(new Store(db));
  if (status != SQLITE_OK) {
    *error = "cannot open " + path + ": " + sqlite3_errstr(status);
    return nullptr;
  }
  sqlite3_busy_timeout(db, static_cast<int>(StoreOptions().busyTimeoutMs));
  Contents contents;
  std::string reason;
  if (!readContents(db, &contents, &reason)) {
    *error = "cannot read " + path + ": " + reason;
    if (sqlite3_errcode(db) == SQLITE_CANTOPEN) {
      *error += " (a store in WAL mode is read through files beside it: its folder must be"
                " writable by this user, or its -wal and -shm files present)";
    }
    return nullptr;
  }
  reason = refusal(contents);
  if (reason.empty() && contents.objects == 0) reason = "is empty: not a store (collect creates one)";
  if (reason.empty() && contents.version < kSchemaVersion) {
    reason = "is a store of an older version (schema " + std::to_string(contents.version) +
             "): run collect once to bring it up to date";
  }
  if (!reason.empty()) {
    *error = path + " " + reason;
    return nullptr;
  }
  return store;
}

bool Store::execute(const char* sql, std::string* error) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
  *error = message ? message : sqlite3_errmsg(db_);
  sqlite3_free(message);
  return false;
}

bool Store::migrate(std::string* error) {
  if (!execute("BEGIN IMMEDIATE", error)) return false;
  auto rollback = [this] {
    std::string ignored;
    execute("ROLLBACK", &ignored);
    return false;
  };
  // Read again inside the transaction: another run may have made the store
  // meanwhile.
  Contents contents;
  if (!readContents(db_, &contents, error)) return rollback();
  const std::string reason = refusal(contents);
  if (!reason.empty()) {
    *error = reason;
    return rollback();
  }
  for (int64_t step = contents.version; step < kSchemaVersion; ++step) {
    if (!execute(kMigrations[step], error)) return rollback();
  }
  const std::string stamp = "PRAGMA user_version=" + std::to_string(kSchemaVersion) +
                            "; PRAGMA application_id=" + std::to_string(kApplicationId);
  if (!execute(stamp.c_str(), error) || !execute("COMMIT", error)) return rollback();
  return true;
}

bool Store::useWriteAheadLog(uint32_t waitMs, std::string* error) {
  // WAL: readers (an export, a query) never block the collector, and a
  // crash leaves the last committed transaction intact. The switch takes
  // the whole file and does not wait for another connection by itself.
  const uint64_t deadline = platform::nowMs() + waitMs;
  for (;;) {
    Statement wal(db_, "PRAGMA journal_mode=WAL");
    const int status = wal.step();
    if (status == SQLITE_ROW && std::strcmp(wal.text(0), "wal") == 0) return true;
    const int code = sqlite3_errcode(db_);
    if ((code != SQLITE_BUSY && code != SQLITE_LOCKED) || platform::nowMs() >= deadline) {
      *error = failure("cannot switch to WAL mode");
      return false;
    }
    platform::sleepMs(kRetryPauseMs);
  }
}

bool Store::checkIntegrity(std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  Statement check(db_, "PRAGMA quick_check(20)");
  std::string problems;
  int status;
  while ((status = check.step()) == SQLITE_ROW) {
    const std::string line = check.text(0);
    if (line == "ok") continue;
    problems += problems.empty() ? line : "; " + line;
  }
  if (status != SQLITE_DONE) {
    *error = failure("the store is damaged");
    return false;
  }
  if (!problems.empty()) {
    *error = "the store is damaged: " + problems;
    return false;
  }
  return true;
}

int64_t Store::scalar(const std::string& sql) {
  std::lock_guard<std::mutex> guard(lock_);
  Statement statement(db_, sql.c_str());
  return statement.step() == SQLITE_ROW ? statement.integer(0) : 0;
}

std::optional<uint32_t> Store::closeAbandonedRuns(int64_t at, std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!execute("BEGIN IMMEDIATE", error)) return std::nullopt;
  auto fail = [this, error](const std::string& what) -> std::optional<uint32_t> {
    *error = failure(what);
    std::string ignored;
    execute("ROLLBACK", &ignored);
    return std::nullopt;
  };
  Statement open(db_,
                 "SELECT id, coalesce(host, ''), coalesce(pid, 0),"
                 " coalesce(renewed_at, started_at) FROM runs WHERE ended_at IS NULL");
  const std::string thisHost = platform::hostName();
  std::vector<int64_t> abandoned;
  int status;
  while ((status = open.step()) == SQLITE_ROW) {
    const bool here = !thisHost.empty() && thisHost == open.text(1);
    const bool holderGone = here && !platform::processAlive(static_cast<int>(open.integer(2)));
    const bool silent = open.integer(3) < at - kRunExpirySeconds;
    if (holderGone || silent) abandoned.push_back(open.integer(0));
  }
  if (status != SQLITE_DONE) return fail("cannot read the runs");
  Statement attempts(db_,
                     "UPDATE attempts SET ended_at = ?2, code = ?3, source = 'vantbrook collect',"
                     " message = 'Abandoned: the run that made this attempt ended without"
                     " closing it' WHERE run_id = ?1 AND ended_at IS NULL");
  Statement runs(db_, "UPDATE runs SET ended_at = ?2, abandoned = 1 WHERE id = ?1");
  for (int64_t run : abandoned) {
    if (!attempts.bind(1, run).bind(2, at).bind(3, int64_t{kCodeAttemptAbandoned}).run() ||
        !runs.bind(1, run).bind(2, at).run()) {
      return fail("cannot close an abandoned run");
    }
  }
  if (!execute("COMMIT", error)) return fail("cannot commit");
  return static_cast<uint32_t>(abandoned.size());
}

std::optional<int64_t> Store::beginRun(const std::string& fleetPath, int64_t at,
                                       std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  Statement insert(db_,
                   "INSERT INTO runs(fleet_file, started_at, host, pid, renewed_at)"
                   " VALUES(?1, ?2, ?3, ?4, ?2) RETURNING id");
  insert.bind(1, fleetPath).bind(2, at).bind(3, platform::hostName())
      .bind(4, int64_t{platform::currentProcessId()});
  if (insert.step() != SQLITE_ROW) {
    *error = failure("cannot record the run");
    return std::nullopt;
  }
  return insert.integer(0);
}

bool Store::renewRun(int64_t runId, int64_t at, std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  Statement update(db_, "UPDATE runs SET renewed_at = ?2 WHERE id = ?1");
  if (!update.bind(1, runId).bind(2, at).run()) {
    *error = failure("cannot renew the run");
    return false;
  }
  return true;
}

bool Store::endRun(int64_t runId, int64_t at, int metersOk, int metersFailed, std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  Statement update(db_,
                   "UPDATE runs SET ended_at = ?2, renewed_at = ?2, meters_ok = ?3,"
                   " meters_failed = ?4 WHERE id = ?1");
  if (!update.bind(1, runId).bind(2, at).bind(3, int64_t{metersOk})
           .bind(4, int64_t{metersFailed}).run()) {
    *error = failure("cannot record the end of the run");
    return false;
  }
  return true;
}

std::optional<int64_t> Store::meterRow(const std::string& meterId, const std::string& line,
                                       int64_t at, std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  Statement upsert(db_,
                   "INSERT INTO meters(meter, line, first_seen_at) VALUES(?1, ?2, ?3)"
                   " ON CONFLICT(meter) DO UPDATE SET line = excluded.line RETURNING id");
  upsert.bind(1, meterId).bind(2, line).bind(3, at);
  if (upsert.step() != SQLITE_ROW) {
    *error = failure("cannot record the meter");
    return std::nullopt;
  }
  return upsert.integer(0);
}

bool Store::lastSuccess(const std::string& meterId, std::optional<int64_t>* at,
                        std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  Statement select(db_, "SELECT last_success_at FROM meters WHERE meter = ?1");
  select.bind(1, meterId);
  const int status = select.step();
  if (status != SQLITE_ROW && status != SQLITE_DONE) {
    *error = failure("cannot read the meter's last collection");
    return false;
  }
  *at = status == SQLITE_ROW ? select.optionalInteger(0) : std::nullopt;
  return true;
}

bool Store::markSuccess(int64_t meterRow, int64_t at, std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  Statement update(db_, "UPDATE meters SET last_success_at = ?2 WHERE id = ?1");
  if (!update.bind(1, meterRow).bind(2, at).run() || sqlite3_changes(db_) != 1) {
    *error = failure("cannot record the meter's collection");
    return false;
  }
  return true;
}

bool Store::hasVersions(int64_t meterRow, bool* has, std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  Statement select(db_, "SELECT 1 FROM versions WHERE meter_row = ?1 LIMIT 1");
  select.bind(1, meterRow);
  const int status = select.step();
  if (status != SQLITE_ROW && status != SQLITE_DONE) {
    *error = failure("cannot read the meter's versions");
    return false;
  }
  *has = status == SQLITE_ROW;
  return true;
}

bool Store::recordIdentity(int64_t meterRow, const DibRecord& dib, int64_t at, bool* changed,
                           std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  const std::string bytes = identityBytes(dib);
  Statement last(db_,
                 "SELECT record FROM identities WHERE meter_row = ?1 ORDER BY id DESC LIMIT 1");
  last.bind(1, meterRow);
  const int status = last.step();
  if (status != SQLITE_ROW && status != SQLITE_DONE) {
    *error = failure("cannot read the meter's identity");
    return false;
  }
  const bool hadOne = status == SQLITE_ROW;
  *changed = false;
  if (hadOne && last.blob(0) == bytes) return true;
  Statement insert(db_,
                   "INSERT INTO identities(meter_row, read_at, supplier, meter_id, location,"
                   " calibore, loggvers, record) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
  insert.bind(1, meterRow)
      .bind(2, at)
      .bind(3, int64_t{dib.supplier})
      .bind(4, fieldText(dib.meter_id, sizeof dib.meter_id))
      .bind(5, fieldText(dib.location, sizeof dib.location))
      .bindOptional(6, std::isfinite(dib.calibore)
                           ? std::optional<double>(dib.calibore) : std::nullopt)
      .bind(7, fieldText(dib.loggvers, sizeof dib.loggvers))
      .bindBlob(8, bytes.data(), bytes.size());
  if (!insert.run()) {
    *error = failure("cannot store the identity block");
    return false;
  }
  *changed = hadOne;
  return true;
}

bool Store::recordVersions(int64_t meterRow, const VersionRecord& versions, int64_t at,
                           std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  Statement insert(db_,
                   "INSERT INTO versions(meter_row, read_at, text1, text2, text3, text4, text5,"
                   " text6, text7, text8) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)");
  insert.bind(1, meterRow).bind(2, at);
  for (int i = 0; i < 8; ++i) {
    insert.bind(3 + i, fieldText(versions.text[i], sizeof versions.text[i]));
  }
  if (!insert.run()) {
    *error = failure("cannot store the version texts");
    return false;
  }
  return true;
}

bool Store::loggerPosition(int64_t meterRow, int logNo, LoggerPosition* position,
                           std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  *position = LoggerPosition();
  Statement epoch(db_,
                  "SELECT e.id, e.number, e.reset_time FROM epochs e JOIN loggers l"
                  " ON e.logger_id = l.id WHERE l.meter_row = ?1 AND l.log_no = ?2"
                  " ORDER BY e.number DESC LIMIT 1");
  epoch.bind(1, meterRow).bind(2, int64_t{logNo});
  const int status = epoch.step();
  if (status == SQLITE_DONE) return true;
  if (status != SQLITE_ROW) {
    *error = failure("cannot read the logger's epoch");
    return false;
  }
  position->epochId = epoch.integer(0);
  position->epochNumber = static_cast<int32_t>(epoch.integer(1));
  position->resetTime = static_cast<uint32_t>(epoch.integer(2));
  Statement last(db_, logNo == 3 ? "SELECT max(rsn) FROM totals WHERE epoch_id = ?1"
                                 : "SELECT max(rsn) FROM pairs WHERE epoch_id = ?1");
  last.bind(1, position->epochId);
  if (last.step() != SQLITE_ROW) {
    *error = failure("cannot read the logger's newest record");
    return false;
  }
  if (!last.isNull(0)) position->lastRsn = static_cast<uint32_t>(last.integer(0));
  return true;
}

bool Store::beginEpoch(int64_t meterRow, int logNo, uint32_t resetTime, int64_t at,
                       LoggerPosition* position, std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  Statement logger(db_,
                   "INSERT INTO loggers(meter_row, log_no) VALUES(?1, ?2)"
                   " ON CONFLICT(meter_row, log_no) DO NOTHING");
  if (!logger.bind(1, meterRow).bind(2, int64_t{logNo}).run()) {
    *error = failure("cannot record the logger");
    return false;
  }
  Statement epoch(db_,
                  "INSERT INTO epochs(logger_id, number, reset_time, began_at)"
                  " SELECT l.id, coalesce((SELECT max(number) FROM epochs WHERE logger_id = l.id),"
                  " 0) + 1, ?3, ?4 FROM loggers l WHERE l.meter_row = ?1 AND l.log_no = ?2"
                  " RETURNING id, number");
  epoch.bind(1, meterRow).bind(2, int64_t{logNo}).bind(3, int64_t{resetTime}).bind(4, at);
  if (epoch.step() != SQLITE_ROW) {
    *error = failure("cannot begin an epoch");
    return false;
  }
  *position = LoggerPosition();
  position->epochId = epoch.integer(0);
  position->epochNumber = static_cast<int32_t>(epoch.integer(1));
  position->resetTime = resetTime;
  return true;
}

bool Store::storedTotals(int64_t epochId, uint32_t rsn, std::optional<TotalsRecord>* record,
                         std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  Statement select(db_,
                   "SELECT time, total1, total2, total3, total4, total5, total6, total7, total8,"
                   " extra1, extra2, crc_valid FROM totals WHERE epoch_id = ?1 AND rsn = ?2");
  select.bind(1, epochId).bind(2, int64_t{rsn});
  const int status = select.step();
  if (status != SQLITE_ROW && status != SQLITE_DONE) {
    *error = failure("cannot read a stored totals record");
    return false;
  }
  record->reset();
  if (status == SQLITE_DONE) return true;
  TotalsRecord stored{};
  stored.dateTime = static_cast<uint32_t>(select.integer(0));
  for (int k = 0; k < 8; ++k) stored.totals[k] = static_cast<uint32_t>(select.integer(1 + k));
  stored.extra1 = static_cast<uint8_t>(select.integer(9));
  stored.extra2 = static_cast<uint8_t>(select.integer(10));
  stored.crcValid = static_cast<uint32_t>(select.integer(11));
  *record = stored;
  return true;
}

std::optional<uint64_t> Store::storeDownload(const DownloadBatch& batch, std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!execute("BEGIN IMMEDIATE", error)) return std::nullopt;
  auto fail = [this, error](const std::string& what) -> std::optional<uint64_t> {
    *error = failure(what);
    std::string ignored;
    execute("ROLLBACK", &ignored);
    return std::nullopt;
  };

  Statement header(db_,
                   "INSERT INTO headers(epoch_id, attempt_id, read_at, site_id, meter_time,"
                   " prior_time, post_time, reset_time, corrected_reset_time, first_time,"
                   " first_rsn, last_time, last_rsn, logging_interval, calibrated_bore,"
                   " velocity_format, pressure_format, height_offset, aux_text, aux_value,"
                   " status_flags) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12,"
                   " ?13, ?14, ?15, ?16, ?17, ?18, ?19, ?20, ?21)"
                   " ON CONFLICT(epoch_id, attempt_id) DO NOTHING");
  header.bind(1, batch.epochId).bind(2, batch.attemptId).bind(3, batch.readAt);
  if (const DataHeaderRecord* h = batch.dataHeader) {
    header.bind(4, fieldText(h->siteId, sizeof h->siteId))
        .bind(5, int64_t{h->currentDateTime})
        .bind(6, int64_t{h->priorDateTime})
        .bind(7, int64_t{h->postDateTime})
        .bind(8, int64_t{h->originalLoggerResetDateTime})
        .bind(9, int64_t{h->correctedLoggerResetDateTime})
        .bind(10, int64_t{h->firstPairDateTime})
        .bind(11, int64_t{h->firstPairRSN})
        .bind(12, int64_t{h->lastPairDateTime})
        .bind(13, int64_t{h->lastPairRSN})
        .bind(14, int64_t{h->loggingInterval})
        .bind(15, static_cast<double>(h->calibratedBore))
        .bind(16, int64_t{h->velocityFormat})
        .bind(17, int64_t{h->pressureFormat})
        .bind(18, int64_t{h->heightOffset})
        .bind(21, int64_t{h->statusFlags});
  } else if (const TotalsHeaderRecord* h = batch.totalsHeader) {
    header.bind(4, fieldText(h->siteId, sizeof h->siteId))
        .bind(5, int64_t{h->currentDateTime})
        .bind(6, int64_t{h->priorDateTime})
        .bind(7, int64_t{h->postDateTime})
        .bind(10, int64_t{h->firstRecordDateTime})
        .bind(11, int64_t{h->firstRecordRSN})
        .bind(12, int64_t{h->lastRecordDateTime})
        .bind(13, int64_t{h->lastRecordRSN})
        .bind(19, fieldText(h->auxText, sizeof h->auxText))
        .bind(20, static_cast<double>(h->auxValue))
        .bind(21, int64_t{h->statusFlags});
  }
  if (!header.run()) return fail("cannot store the header");

  uint64_t added = 0;
  if (batch.dataHeader != nullptr) {
    Statement insert(db_,
                     "INSERT INTO pairs(epoch_id, rsn, time, flow, pressure, converted)"
                     " VALUES(?1, ?2, ?3, ?4, ?5, ?6) ON CONFLICT DO NOTHING");
    for (const PairEntry& pair : batch.pairs) {
      insert.bind(1, batch.epochId).bind(2, int64_t{pair.rsn});
      insert.bindOptional(3, pair.time ? std::optional<int64_t>(*pair.time) : std::nullopt);
      if (batch.converted) {
        insert.bindOptional(4, pair.flow).bindOptional(5, pair.pressure);
      } else {
        // Raw values are the meter's whole numbers.
        insert.bindOptional(4, pair.flow ? std::optional<int64_t>(std::llround(*pair.flow))
                                         : std::nullopt);
        insert.bindOptional(5, pair.pressure
                                   ? std::optional<int64_t>(std::llround(*pair.pressure))
                                   : std::nullopt);
      }
      insert.bind(6, int64_t{batch.converted ? 1 : 0});
      if (!insert.run()) return fail("cannot store pairs");
      added += static_cast<uint64_t>(sqlite3_changes(db_));
    }
  } else {
    Statement insert(db_,
                     "INSERT INTO totals(epoch_id, rsn, time, total1, total2, total3, total4,"
                     " total5, total6, total7, total8, extra1, extra2, crc_valid) VALUES(?1, ?2,"
                     " ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14) ON CONFLICT DO NOTHING");
    for (const auto& [rsn, record] : batch.totals) {
      insert.bind(1, batch.epochId).bind(2, int64_t{rsn}).bind(3, int64_t{record.dateTime});
      for (int k = 0; k < 8; ++k) insert.bind(4 + k, int64_t{record.totals[k]});
      insert.bind(12, int64_t{record.extra1})
          .bind(13, int64_t{record.extra2})
          .bind(14, int64_t{record.crcValid});
      if (!insert.run()) return fail("cannot store totals");
      added += static_cast<uint64_t>(sqlite3_changes(db_));
    }
  }
  if (!execute("COMMIT", error)) return fail("cannot commit");
  return added;
}

std::optional<int64_t> Store::beginAttempt(int64_t runId, int64_t meterRow,
                                           const std::string& line, int64_t at,
                                           std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  Statement insert(db_,
                   "INSERT INTO attempts(run_id, meter_row, line, started_at)"
                   " VALUES(?1, ?2, ?3, ?4) RETURNING id");
  insert.bind(1, runId).bind(2, meterRow).bind(3, line).bind(4, at);
  if (insert.step() != SQLITE_ROW) {
    *error = failure("cannot record the attempt");
    return std::nullopt;
  }
  return insert.integer(0);
}

bool Store::endAttempt(int64_t attemptId, const AttemptOutcome& outcome, std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  Statement update(db_,
                   "UPDATE attempts SET ended_at = ?2, code = ?3, source = ?4, message = ?5,"
                   " entries = ?6, bytes = ?7 WHERE id = ?1");
  update.bind(1, attemptId)
      .bind(2, outcome.endedAt)
      .bind(3, int64_t{outcome.code})
      .bind(4, outcome.source)
      .bind(5, outcome.message)
      .bind(6, static_cast<int64_t>(outcome.entries))
      .bind(7, static_cast<int64_t>(outcome.bytes));
  if (!update.run() || sqlite3_changes(db_) != 1) {
    *error = failure("cannot record the attempt's outcome");
    return false;
  }
  return true;
}

bool Store::recordEvent(int64_t meterRow, int logNo, int64_t at, const char* kind, int64_t value,
                        const std::string& detail, std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  Statement insert(db_,
                   "INSERT INTO events(meter_row, log_no, at, kind, value, detail)"
                   " VALUES(?1, ?2, ?3, ?4, ?5, ?6)");
  insert.bind(1, meterRow);
  if (logNo > 0) {
    insert.bind(2, int64_t{logNo});
  } else {
    insert.bindNull(2);
  }
  insert.bind(3, at).bind(4, std::string(kind)).bind(5, value).bind(6, detail);
  if (!insert.run()) {
    *error = failure(std::string("cannot record the event ") + kind);
    return false;
  }
  return true;
}

bool Store::meterIds(std::vector<std::string>* ids, std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  Statement select(db_, "SELECT meter FROM meters ORDER BY meter");
  ids->clear();
  int status;
  while ((status = select.step()) == SQLITE_ROW) ids->push_back(select.text(0));
  if (status != SQLITE_DONE) {
    *error = sqlite3_errmsg(db_);
    return false;
  }
  return true;
}

bool Store::forEachPair(const ExportFilter& filter, const std::function<bool(const PairRow&)>& row,
                        std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  const std::string sql =
      std::string("SELECT m.meter, l.log_no, e.number, x.rsn, x.time, x.converted, x.flow,"
                  " x.pressure FROM pairs x JOIN epochs e ON x.epoch_id = e.id"
                  " JOIN loggers l ON e.logger_id = l.id JOIN meters m ON l.meter_row = m.id") +
      kFilterClause;
  Statement select(db_, sql.c_str());
  bindFilter(select, filter);
  PairRow pair;
  int status;
  while ((status = select.step()) == SQLITE_ROW) {
    pair.meter = select.text(0);
    pair.logNo = static_cast<int>(select.integer(1));
    pair.epoch = static_cast<int>(select.integer(2));
    pair.rsn = static_cast<uint32_t>(select.integer(3));
    pair.time.reset();
    if (!select.isNull(4)) pair.time = static_cast<uint32_t>(select.integer(4));
    pair.converted = select.integer(5) != 0;
    if (pair.converted) {
      pair.flow = select.optionalReal(6);
      pair.pressure = select.optionalReal(7);
    } else {
      pair.rawFlow = select.optionalInteger(6);
      pair.rawPressure = select.optionalInteger(7);
    }
    if (!row(pair)) return true;
  }
  if (status != SQLITE_DONE) {
    *error = sqlite3_errmsg(db_);
    return false;
  }
  return true;
}

bool Store::forEachTotals(const ExportFilter& filter,
                          const std::function<bool(const TotalsRow&)>& row, std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  const std::string sql =
      std::string("SELECT m.meter, e.number, x.rsn, x.time, x.total1, x.total2, x.total3,"
                  " x.total4, x.total5, x.total6, x.total7, x.total8, x.extra1, x.extra2,"
                  " x.crc_valid FROM totals x JOIN epochs e ON x.epoch_id = e.id"
                  " JOIN loggers l ON e.logger_id = l.id JOIN meters m ON l.meter_row = m.id") +
      kFilterClause;
  Statement select(db_, sql.c_str());
  bindFilter(select, filter);
  TotalsRow record;
  int status;
  while ((status = select.step()) == SQLITE_ROW) {
    record.meter = select.text(0);
    record.epoch = static_cast<int>(select.integer(1));
    record.rsn = static_cast<uint32_t>(select.integer(2));
    record.time = static_cast<uint32_t>(select.integer(3));
    for (int k = 0; k < 8; ++k) record.totals[k] = select.integer(4 + k);
    record.extra1 = static_cast<int>(select.integer(12));
    record.extra2 = static_cast<int>(select.integer(13));
    record.crcValid = select.integer(14) != 0;
    if (!row(record)) return true;
  }
  if (status != SQLITE_DONE) {
    *error = sqlite3_errmsg(db_);
    return false;
  }
  return true;
}

}  // namespace vb::fleet
