#include "store.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <map>

#include "platform/clock.h"
#include "platform/process.h"

namespace vb::fleet {

namespace {

constexpr char kPostgresScheme[] = "postgresql://";
constexpr char kPostgresShortScheme[] = "postgres://";

std::string fieldText(const char* field, size_t size) { return std::string(field, strnlen(field, size)); }

bool isPostgres(const std::string& location) {
  return location.rfind(kPostgresScheme, 0) == 0 || location.rfind(kPostgresShortScheme, 0) == 0;
}

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

std::optional<double> finite(float value) {
  return std::isfinite(value) ? std::optional<double>(value) : std::nullopt;
}

// The selection as SQL over meters m, with its parameters from `first` on.
std::string selectionClause(const MeterSelection& selection, int first) {
  if (selection.all()) return "1 = 1";
  std::string meters, lines;
  int index = first;
  for (size_t i = 0; i < selection.meters.size(); ++i) {
    meters += (i == 0 ? "?" : ", ?") + std::to_string(index++);
  }
  for (size_t i = 0; i < selection.lines.size(); ++i) {
    lines += (i == 0 ? "?" : ", ?") + std::to_string(index++);
  }
  std::string clause = "(";
  if (!meters.empty()) clause += "m.meter IN (" + meters + ")";
  if (!meters.empty() && !lines.empty()) clause += " OR ";
  if (!lines.empty()) clause += "m.line IN (" + lines + ")";
  return clause + ")";
}

void bindSelection(Query& query, const MeterSelection& selection, int first) {
  int index = first;
  for (const std::string& meter : selection.meters) query.bind(index++, meter);
  for (const std::string& line : selection.lines) query.bind(index++, line);
}

// The export's WHERE clause over meters m, loggers l, epochs e and the
// entries' table x; parameters ?1 to ?3, then the selection's.
std::string exportClause(const ExportFilter& filter) {
  return " WHERE (?1 IS NULL OR l.log_no = ?1) AND (?2 IS NULL OR x.time >= ?2)"
         " AND (?3 IS NULL OR x.time <= ?3) AND " +
         selectionClause(filter.selection, 4) + " ORDER BY m.meter, l.log_no, e.number, x.rsn";
}

void bindExport(Query& query, const ExportFilter& filter) {
  query.bindOptional(1, filter.logNo ? std::optional<int64_t>(*filter.logNo) : std::nullopt);
  query.bindOptional(2, filter.from ? std::optional<int64_t>(*filter.from) : std::nullopt);
  query.bindOptional(3, filter.to ? std::optional<int64_t>(*filter.to) : std::nullopt);
  bindSelection(query, filter.selection, 4);
}

}  // namespace

bool MeterSelection::selects(const std::string& meter, const std::string& line) const {
  return all() || std::find(meters.begin(), meters.end(), meter) != meters.end() ||
         std::find(lines.begin(), lines.end(), line) != lines.end();
}

const char* severityName(Severity severity) {
  return severity == Severity::Critical ? "critical" : "warning";
}

const AlarmKind* alarmKindNamed(const std::string& name) {
  for (const AlarmKind* kind : {&kAlarmNotCollected, &kAlarmFailing, &kAlarmClockDrift,
                                &kAlarmLoggerRestarted, &kAlarmRecordsMissing,
                                &kAlarmRecordsOverwritten, &kAlarmValuesNotConverted,
                                &kAlarmEntriesNotPublished}) {
    if (name == kind->name) return kind;
  }
  for (const AlarmKind& kind : kStatusFlagAlarms) {
    if (name == kind.name) return &kind;
  }
  return nullptr;
}

Store::Store(std::unique_ptr<Database> database) : database_(std::move(database)) {}

Store::~Store() = default;

std::unique_ptr<Store> Store::open(const std::string& location, std::string* error,
                                   const StoreOptions& options) {
  if (isPostgres(location)) {
    std::unique_ptr<Database> database = openPostgres(location, false, error);
    return database ? std::unique_ptr<Store>(new Store(std::move(database))) : nullptr;
  }
  SqliteOptions sqlite;
  sqlite.busyTimeoutMs = options.busyTimeoutMs;
  std::unique_ptr<Database> database = openSqlite(location, sqlite, error);
  return database ? std::unique_ptr<Store>(new Store(std::move(database))) : nullptr;
}

std::unique_ptr<Store> Store::openForReading(const std::string& location, std::string* error) {
  if (isPostgres(location)) {
    std::unique_ptr<Database> database = openPostgres(location, true, error);
    return database ? std::unique_ptr<Store>(new Store(std::move(database))) : nullptr;
  }
  SqliteOptions sqlite;
  sqlite.readOnly = true;
  std::unique_ptr<Database> database = openSqlite(location, sqlite, error);
  return database ? std::unique_ptr<Store>(new Store(std::move(database))) : nullptr;
}

std::string Store::failure(const std::string& what) const {
  return what + ": " + database_->lastError();
}

std::unique_ptr<Query> Store::prepare(const std::string& sql, std::string* error) {
  std::unique_ptr<Query> query = database_->prepare(sql);
  if (!query) *error = failure("cannot prepare a statement");
  return query;
}

bool Store::enqueue(int64_t meterRow, const std::vector<OutboxMessage>& messages, int64_t at,
                    std::string* error) {
  if (messages.empty()) return true;
  std::unique_ptr<Query> insert = prepare(
      "INSERT INTO outbox(meter_row, kind, topic, payload, retained, created_at)"
      " VALUES(?1, ?2, ?3, ?4, ?5, ?6)",
      error);
  if (!insert) return false;
  for (const OutboxMessage& message : messages) {
    if (!insert->bind(1, meterRow).bind(2, message.kind).bind(3, message.topic)
             .bind(4, message.payload).bind(5, int64_t{message.retained ? 1 : 0}).bind(6, at)
             .run()) {
      *error = failure("cannot add to the outbox");
      return false;
    }
  }
  return true;
}

bool Store::connectionLost() {
  std::lock_guard<std::mutex> guard(lock_);
  return database_->connectionLost();
}

bool Store::checkIntegrity(std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  return database_->checkIntegrity(error);
}

int64_t Store::scalar(const std::string& sql) {
  std::lock_guard<std::mutex> guard(lock_);
  std::unique_ptr<Query> query = database_->prepare(sql);
  return query && query->step() == Step::Row ? query->integer(0) : 0;
}

std::optional<uint32_t> Store::closeAbandonedRuns(int64_t at, std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!database_->beginWrite(error)) return std::nullopt;
  auto fail = [this, error](const std::string& what) -> std::optional<uint32_t> {
    *error = failure(what);
    database_->rollback();
    return std::nullopt;
  };
  std::unique_ptr<Query> open = database_->prepare(
      "SELECT id, coalesce(host, ''), coalesce(pid, 0), coalesce(renewed_at, started_at)"
      " FROM runs WHERE ended_at IS NULL");
  if (!open) return fail("cannot read the runs");
  const std::string thisHost = platform::hostName();
  std::vector<int64_t> abandoned;
  Step status;
  while ((status = open->step()) == Step::Row) {
    const bool here = !thisHost.empty() && thisHost == open->text(1);
    const bool holderGone = here && !platform::processAlive(static_cast<int>(open->integer(2)));
    const bool silent = open->integer(3) < at - kRunExpirySeconds;
    if (holderGone || silent) abandoned.push_back(open->integer(0));
  }
  if (status == Step::Failed) return fail("cannot read the runs");
  std::unique_ptr<Query> attempts = database_->prepare(
      "UPDATE attempts SET ended_at = ?2, code = ?3, source = 'vantbrook collect',"
      " message = 'Abandoned: the run that made this attempt ended without closing it'"
      " WHERE run_id = ?1 AND ended_at IS NULL");
  std::unique_ptr<Query> runs =
      database_->prepare("UPDATE runs SET ended_at = ?2, abandoned = 1 WHERE id = ?1");
  std::unique_ptr<Query> leases = database_->prepare("DELETE FROM leases WHERE run_id = ?1");
  if (!attempts || !runs || !leases) return fail("cannot close an abandoned run");
  for (int64_t run : abandoned) {
    if (!attempts->bind(1, run).bind(2, at).bind(3, int64_t{kCodeAttemptAbandoned}).run() ||
        !runs->bind(1, run).bind(2, at).run() || !leases->bind(1, run).run()) {
      return fail("cannot close an abandoned run");
    }
  }
  if (!database_->commit(error)) return fail("cannot commit");
  return static_cast<uint32_t>(abandoned.size());
}

std::optional<int64_t> Store::beginRun(const std::string& fleetPath, int64_t at,
                                       std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  std::unique_ptr<Query> insert =
      prepare("INSERT INTO runs(fleet_file, started_at, host, pid, renewed_at)"
              " VALUES(?1, ?2, ?3, ?4, ?2) RETURNING id",
              error);
  if (!insert) return std::nullopt;
  insert->bind(1, fleetPath).bind(2, at).bind(3, platform::hostName())
      .bind(4, int64_t{platform::currentProcessId()});
  if (insert->step() != Step::Row) {
    *error = failure("cannot record the run");
    return std::nullopt;
  }
  return insert->integer(0);
}

bool Store::renewRun(int64_t runId, int64_t at, std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  std::unique_ptr<Query> run = prepare("UPDATE runs SET renewed_at = ?2 WHERE id = ?1", error);
  std::unique_ptr<Query> leases =
      prepare("UPDATE leases SET expires_at = ?2 WHERE run_id = ?1", error);
  if (!run || !leases) return false;
  if (!run->bind(1, runId).bind(2, at).run() ||
      !leases->bind(1, runId).bind(2, at + leaseSeconds_).run()) {
    *error = failure("cannot renew the run");
    return false;
  }
  return true;
}

bool Store::endRun(int64_t runId, int64_t at, int metersOk, int metersFailed, std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  std::unique_ptr<Query> update =
      prepare("UPDATE runs SET ended_at = ?2, renewed_at = ?2, meters_ok = ?3,"
              " meters_failed = ?4 WHERE id = ?1",
              error);
  std::unique_ptr<Query> leases = prepare("DELETE FROM leases WHERE run_id = ?1", error);
  if (!update || !leases) return false;
  if (!update->bind(1, runId).bind(2, at).bind(3, int64_t{metersOk})
           .bind(4, int64_t{metersFailed}).run() ||
      !leases->bind(1, runId).run()) {
    *error = failure("cannot record the end of the run");
    return false;
  }
  return true;
}

bool Store::takeLease(const std::string& resource, int64_t runId, const std::string& line,
                      int64_t at, bool* taken, LeaseHolder* holder, std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  *taken = false;
  std::unique_ptr<Query> current =
      prepare("SELECT run_id, collector, line, host, pid, expires_at FROM leases"
              " WHERE resource = ?1",
              error);
  if (!current) return false;
  current->bind(1, resource);
  const Step found = current->step();
  if (found == Step::Failed) {
    *error = failure("cannot read the lease of " + resource);
    return false;
  }
  // A holder on this host that is gone lets go at once; any other only when
  // its lease runs out.
  std::optional<int64_t> goneRun;
  if (found == Step::Row) {
    holder->runId = current->integer(0);
    holder->collector = current->text(1);
    holder->line = current->text(2);
    holder->host = current->text(3);
    holder->pid = current->integer(4);
    holder->expiresAt = current->integer(5);
    if (holder->host == platform::hostName() &&
        !platform::processAlive(static_cast<int>(holder->pid))) {
      goneRun = holder->runId;
    }
  }
  current.reset();
  std::unique_ptr<Query> take = prepare(
      "INSERT INTO leases(resource, run_id, collector, line, host, pid, taken_at, expires_at)"
      " VALUES(?1, ?2, ?3, ?4, ?3, ?5, ?6, ?7) ON CONFLICT(resource) DO UPDATE SET"
      " run_id = excluded.run_id, collector = excluded.collector, line = excluded.line,"
      " host = excluded.host, pid = excluded.pid, taken_at = excluded.taken_at,"
      " expires_at = excluded.expires_at"
      " WHERE leases.run_id = ?2 OR leases.expires_at < ?6 OR leases.run_id = ?8"
      " RETURNING run_id",
      error);
  if (!take) return false;
  take->bind(1, resource).bind(2, runId).bind(3, platform::hostName()).bind(4, line)
      .bind(5, int64_t{platform::currentProcessId()}).bind(6, at).bind(7, at + leaseSeconds_)
      .bind(8, goneRun.value_or(-1));
  const Step result = take->step();
  if (result == Step::Failed) {
    *error = failure("cannot take the lease of " + resource);
    return false;
  }
  *taken = result == Step::Row;
  return true;
}

bool Store::releaseLease(const std::string& resource, int64_t runId, std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  std::unique_ptr<Query> release =
      prepare("DELETE FROM leases WHERE resource = ?1 AND run_id = ?2", error);
  if (!release) return false;
  if (!release->bind(1, resource).bind(2, runId).run()) {
    *error = failure("cannot release the lease of " + resource);
    return false;
  }
  return true;
}

namespace {

// Candidates as ?first, ?first+1, ... in SQL.
std::string placeholders(size_t count, int first) {
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    text += (i == 0 ? "?" : ", ?") + std::to_string(first + static_cast<int>(i));
  }
  return text;
}

// The rule's conditions over meters m; parameters ?1 to ?5.
const char kClaimConditions[] =
    " AND ((?1 = 0 AND (m.last_success_at IS NULL OR m.last_success_at < ?2))"
    " OR (?1 = 1 AND (m.last_success_at IS NULL OR m.last_success_at + m.interval_s <= ?5)))"
    " AND (SELECT count(*) FROM attempts a WHERE a.meter_row = m.id AND a.started_at >= ?3) < ?4";

void bindClaimRule(Query& query, const Store::ClaimRule& rule, int64_t at) {
  query.bind(1, int64_t{rule.byInterval ? 1 : 0})
      .bind(2, rule.collectedBefore.value_or(0))
      .bind(3, rule.triesSince)
      .bind(4, int64_t{rule.maxTries})
      .bind(5, at);
}

}  // namespace

bool Store::claimMeter(const std::vector<std::string>& candidates, const ClaimRule& rule,
                       int64_t runId, const std::string& line, int64_t at,
                       std::optional<std::string>* claimed, std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  claimed->reset();
  if (candidates.empty()) return true;
  if (!database_->beginWrite(error)) return false;
  auto fail = [this, error](const std::string& what) {
    *error = failure(what);
    database_->rollback();
    return false;
  };
  // On PostgreSQL a row another claim is taking is skipped, not waited for.
  const bool postgres = database_->engine() == Engine::Postgres;
  const int first = 7;
  std::unique_ptr<Query> select = database_->prepare(
      std::string("SELECT m.meter FROM meters m WHERE m.meter IN (") +
      placeholders(candidates.size(), first) + ")" + kClaimConditions +
      " AND NOT EXISTS (SELECT 1 FROM leases l WHERE l.resource = 'meter ' || m.meter"
      " AND l.expires_at >= ?5)"
      " AND NOT EXISTS (SELECT 1 FROM attempts a WHERE a.meter_row = m.id"
      " AND a.ended_at > ?6 AND a.started_at >= ?3)"
      " ORDER BY (m.last_success_at IS NOT NULL), m.last_success_at, m.meter" +
      (postgres ? " FOR UPDATE OF m SKIP LOCKED" : ""));
  if (!select) return fail("cannot claim a meter");
  bindClaimRule(*select, rule, at);
  select->bind(6, at - rule.retryAfter);
  for (size_t i = 0; i < candidates.size(); ++i) {
    select->bind(first + static_cast<int>(i), candidates[i]);
  }
  std::vector<std::string> free;
  Step status;
  while ((status = select->step()) == Step::Row) free.push_back(select->text(0));
  if (status == Step::Failed) return fail("cannot claim a meter");
  select.reset();
  std::unique_ptr<Query> take = database_->prepare(
      "INSERT INTO leases(resource, run_id, collector, line, host, pid, taken_at, expires_at)"
      " VALUES(?1, ?2, ?3, ?4, ?3, ?5, ?6, ?7) ON CONFLICT(resource) DO UPDATE SET"
      " run_id = excluded.run_id, collector = excluded.collector, line = excluded.line,"
      " host = excluded.host, pid = excluded.pid, taken_at = excluded.taken_at,"
      " expires_at = excluded.expires_at"
      " WHERE leases.expires_at < ?6 RETURNING run_id");
  if (!take) return fail("cannot claim a meter");
  // The lease is the arbiter: a candidate another claim took meanwhile (on
  // another collector, or on another line of this one) is refused here and
  // the next one tried.
  for (const std::string& meter : free) {
    take->bind(1, meterResource(meter)).bind(2, runId).bind(3, platform::hostName())
        .bind(4, line).bind(5, int64_t{platform::currentProcessId()}).bind(6, at)
        .bind(7, at + leaseSeconds_);
    const Step taken = take->step();
    take->reset();
    if (taken == Step::Failed) return fail("cannot claim a meter");
    if (taken == Step::Row) {
      *claimed = meter;
      break;
    }
  }
  take.reset();
  if (!database_->commit(error)) return fail("cannot commit a claim");
  return true;
}

std::optional<int64_t> Store::unfinishedMeters(const std::vector<std::string>& candidates,
                                               const ClaimRule& rule, std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  if (candidates.empty()) return 0;
  const int first = 6;
  std::unique_ptr<Query> count = prepare(
      std::string("SELECT count(*) FROM meters m WHERE m.meter IN (") +
          placeholders(candidates.size(), first) + ")" + kClaimConditions,
      error);
  if (!count) return std::nullopt;
  bindClaimRule(*count, rule, platform::wallClockSeconds());
  for (size_t i = 0; i < candidates.size(); ++i) {
    count->bind(first + static_cast<int>(i), candidates[i]);
  }
  if (count->step() != Step::Row) {
    *error = failure("cannot count the pool's meters");
    return std::nullopt;
  }
  return count->integer(0);
}

std::optional<int64_t> Store::meterRow(const std::string& meterId, const std::string& line,
                                       int64_t intervalS, int64_t at, std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  std::unique_ptr<Query> upsert =
      prepare("INSERT INTO meters(meter, line, first_seen_at, interval_s) VALUES(?1, ?2, ?3, ?4)"
              " ON CONFLICT(meter) DO UPDATE SET line = excluded.line,"
              " interval_s = excluded.interval_s RETURNING id",
              error);
  if (!upsert) return std::nullopt;
  upsert->bind(1, meterId).bind(2, line).bind(3, at).bind(4, intervalS);
  if (upsert->step() != Step::Row) {
    *error = failure("cannot record the meter");
    return std::nullopt;
  }
  return upsert->integer(0);
}

bool Store::lastSuccess(const std::string& meterId, std::optional<int64_t>* at,
                        std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  std::unique_ptr<Query> select =
      prepare("SELECT last_success_at FROM meters WHERE meter = ?1", error);
  if (!select) return false;
  select->bind(1, meterId);
  const Step status = select->step();
  if (status == Step::Failed) {
    *error = failure("cannot read the meter's last collection");
    return false;
  }
  *at = status == Step::Row ? select->optionalInteger(0) : std::nullopt;
  return true;
}

bool Store::markSuccess(int64_t meterRow, int64_t at, std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  std::unique_ptr<Query> update =
      prepare("UPDATE meters SET last_success_at = ?2 WHERE id = ?1", error);
  if (!update) return false;
  if (!update->bind(1, meterRow).bind(2, at).run() || update->changed() != 1) {
    *error = failure("cannot record the meter's collection");
    return false;
  }
  return true;
}

std::optional<int64_t> Store::countRunOutcome(int64_t meterRow, bool failed, std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  std::unique_ptr<Query> update =
      prepare("UPDATE meters SET failed_runs = CASE WHEN ?2 = 1 THEN failed_runs + 1 ELSE 0 END"
              " WHERE id = ?1 RETURNING failed_runs",
              error);
  if (!update) return std::nullopt;
  update->bind(1, meterRow).bind(2, int64_t{failed ? 1 : 0});
  if (update->step() != Step::Row) {
    *error = failure("cannot count the meter's run");
    return std::nullopt;
  }
  return update->integer(0);
}

bool Store::hasVersions(int64_t meterRow, bool* has, std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  std::unique_ptr<Query> select =
      prepare("SELECT 1 FROM versions WHERE meter_row = ?1 LIMIT 1", error);
  if (!select) return false;
  select->bind(1, meterRow);
  const Step status = select->step();
  if (status == Step::Failed) {
    *error = failure("cannot read the meter's versions");
    return false;
  }
  *has = status == Step::Row;
  return true;
}

bool Store::recordIdentity(int64_t meterRow, const DibRecord& dib, int64_t at, bool* changed,
                           std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  const std::string bytes = identityBytes(dib);
  std::unique_ptr<Query> last = prepare(
      "SELECT record FROM identities WHERE meter_row = ?1 ORDER BY id DESC LIMIT 1", error);
  if (!last) return false;
  last->bind(1, meterRow);
  const Step status = last->step();
  if (status == Step::Failed) {
    *error = failure("cannot read the meter's identity");
    return false;
  }
  const bool hadOne = status == Step::Row;
  *changed = false;
  if (hadOne && last->blob(0) == bytes) return true;
  last.reset();
  std::unique_ptr<Query> insert =
      prepare("INSERT INTO identities(meter_row, read_at, supplier, meter_id, location,"
              " calibore, loggvers, record) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)",
              error);
  if (!insert) return false;
  insert->bind(1, meterRow)
      .bind(2, at)
      .bind(3, int64_t{dib.supplier})
      .bind(4, fieldText(dib.meter_id, sizeof dib.meter_id))
      .bind(5, fieldText(dib.location, sizeof dib.location))
      .bindOptional(6, finite(dib.calibore))
      .bind(7, fieldText(dib.loggvers, sizeof dib.loggvers))
      .bindBlob(8, bytes);
  if (!insert->run()) {
    *error = failure("cannot store the identity block");
    return false;
  }
  *changed = hadOne;
  return true;
}

bool Store::recordVersions(int64_t meterRow, const VersionRecord& versions, int64_t at,
                           std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  std::unique_ptr<Query> insert =
      prepare("INSERT INTO versions(meter_row, read_at, text1, text2, text3, text4, text5,"
              " text6, text7, text8) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)",
              error);
  if (!insert) return false;
  insert->bind(1, meterRow).bind(2, at);
  for (int i = 0; i < 8; ++i) {
    insert->bind(3 + i, fieldText(versions.text[i], sizeof versions.text[i]));
  }
  if (!insert->run()) {
    *error = failure("cannot store the version texts");
    return false;
  }
  return true;
}

bool Store::loggerPosition(int64_t meterRow, int logNo, LoggerPosition* position,
                           std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  *position = LoggerPosition();
  std::unique_ptr<Query> epoch =
      prepare("SELECT e.id, e.number, e.reset_time, e.last_rsn FROM epochs e JOIN loggers l"
              " ON e.logger_id = l.id WHERE l.meter_row = ?1 AND l.log_no = ?2"
              " ORDER BY e.number DESC LIMIT 1",
              error);
  if (!epoch) return false;
  epoch->bind(1, meterRow).bind(2, int64_t{logNo});
  const Step status = epoch->step();
  if (status == Step::Done) return true;
  if (status == Step::Failed) {
    *error = failure("cannot read the logger's epoch");
    return false;
  }
  position->epochId = epoch->integer(0);
  position->epochNumber = static_cast<int32_t>(epoch->integer(1));
  position->resetTime = static_cast<uint32_t>(epoch->integer(2));
  if (!epoch->isNull(3)) position->lastRsn = static_cast<uint32_t>(epoch->integer(3));
  return true;
}

bool Store::beginEpoch(int64_t meterRow, int logNo, uint32_t resetTime, int64_t at,
                       LoggerPosition* position, std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  std::unique_ptr<Query> logger =
      prepare("INSERT INTO loggers(meter_row, log_no) VALUES(?1, ?2)"
              " ON CONFLICT(meter_row, log_no) DO NOTHING",
              error);
  if (!logger) return false;
  if (!logger->bind(1, meterRow).bind(2, int64_t{logNo}).run()) {
    *error = failure("cannot record the logger");
    return false;
  }
  std::unique_ptr<Query> epoch = prepare(
      "INSERT INTO epochs(logger_id, number, reset_time, began_at)"
      " SELECT l.id, coalesce((SELECT max(number) FROM epochs WHERE logger_id = l.id), 0) + 1,"
      " ?3, ?4 FROM loggers l WHERE l.meter_row = ?1 AND l.log_no = ?2 RETURNING id, number",
      error);
  if (!epoch) return false;
  epoch->bind(1, meterRow).bind(2, int64_t{logNo}).bind(3, int64_t{resetTime}).bind(4, at);
  if (epoch->step() != Step::Row) {
    *error = failure("cannot begin an epoch");
    return false;
  }
  *position = LoggerPosition();
  position->epochId = epoch->integer(0);
  position->epochNumber = static_cast<int32_t>(epoch->integer(1));
  position->resetTime = resetTime;
  return true;
}

bool Store::storedTotals(int64_t epochId, uint32_t rsn, std::optional<TotalsRecord>* record,
                         std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  std::unique_ptr<Query> select =
      prepare("SELECT time, total1, total2, total3, total4, total5, total6, total7, total8,"
              " extra1, extra2, crc_valid FROM totals WHERE epoch_id = ?1 AND rsn = ?2",
              error);
  if (!select) return false;
  select->bind(1, epochId).bind(2, int64_t{rsn});
  const Step status = select->step();
  if (status == Step::Failed) {
    *error = failure("cannot read a stored totals record");
    return false;
  }
  record->reset();
  if (status == Step::Done) return true;
  TotalsRecord stored{};
  stored.dateTime = static_cast<uint32_t>(select->integer(0));
  for (int k = 0; k < 8; ++k) stored.totals[k] = static_cast<uint32_t>(select->integer(1 + k));
  stored.extra1 = static_cast<uint8_t>(select->integer(9));
  stored.extra2 = static_cast<uint8_t>(select->integer(10));
  stored.crcValid = static_cast<uint32_t>(select->integer(11));
  *record = stored;
  return true;
}

bool Store::newestEntry(int64_t epochId, int logNo, std::optional<PairEntry>* pair,
                        std::optional<std::pair<uint32_t, TotalsRecord>>* totals, bool* converted,
                        std::string* error) {
  pair->reset();
  totals->reset();
  if (logNo == 3) {
    std::optional<TotalsRecord> record;
    std::optional<int64_t> last;
    {
      std::lock_guard<std::mutex> guard(lock_);
      std::unique_ptr<Query> select =
          prepare("SELECT last_rsn FROM epochs WHERE id = ?1", error);
      if (!select || select->bind(1, epochId).step() != Step::Row) {
        *error = failure("cannot read the epoch");
        return false;
      }
      last = select->optionalInteger(0);
    }
    if (!last) return true;
    if (!storedTotals(epochId, static_cast<uint32_t>(*last), &record, error)) return false;
    if (record) *totals = std::make_pair(static_cast<uint32_t>(*last), *record);
    return true;
  }
  std::lock_guard<std::mutex> guard(lock_);
  std::unique_ptr<Query> select = prepare(
      "SELECT rsn, time, flow, pressure, converted FROM pairs WHERE epoch_id = ?1"
      " ORDER BY rsn DESC LIMIT 1",
      error);
  if (!select) return false;
  select->bind(1, epochId);
  const Step status = select->step();
  if (status == Step::Failed) {
    *error = failure("cannot read the newest pair");
    return false;
  }
  if (status == Step::Done) return true;
  PairEntry newest;
  newest.rsn = static_cast<uint32_t>(select->integer(0));
  if (!select->isNull(1)) newest.time = static_cast<uint32_t>(select->integer(1));
  newest.flow = select->optionalReal(2);
  newest.pressure = select->optionalReal(3);
  *converted = select->integer(4) != 0;
  *pair = newest;
  return true;
}

std::optional<int64_t> Store::epochHoles(int64_t epochId, std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  std::unique_ptr<Query> select = prepare(
      "SELECT coalesce(last_rsn - first_rsn + 1 - stored, 0) FROM epochs WHERE id = ?1", error);
  if (!select) return std::nullopt;
  select->bind(1, epochId);
  if (select->step() != Step::Row) {
    *error = failure("cannot read the epoch");
    return std::nullopt;
  }
  return select->integer(0);
}

std::optional<uint64_t> Store::storeDownload(const DownloadBatch& batch, std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!database_->beginWrite(error)) return std::nullopt;
  auto fail = [this, error](const std::string& what) -> std::optional<uint64_t> {
    *error = failure(what);
    database_->rollback();
    return std::nullopt;
  };

  std::unique_ptr<Query> header = database_->prepare(
      "INSERT INTO headers(epoch_id, attempt_id, read_at, site_id, meter_time,"
      " prior_time, post_time, reset_time, corrected_reset_time, first_time,"
      " first_rsn, last_time, last_rsn, logging_interval, calibrated_bore,"
      " velocity_format, pressure_format, height_offset, aux_text, aux_value,"
      " status_flags) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12,"
      " ?13, ?14, ?15, ?16, ?17, ?18, ?19, ?20, ?21)"
      " ON CONFLICT(epoch_id, attempt_id) DO NOTHING");
  if (!header) return fail("cannot store the header");
  header->bind(1, batch.epochId).bind(2, batch.attemptId).bind(3, batch.readAt);
  for (int unused = 4; unused <= 21; ++unused) header->bindNull(unused);
  if (const DataHeaderRecord* h = batch.dataHeader) {
    header->bind(4, fieldText(h->siteId, sizeof h->siteId))
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
        .bindOptional(15, finite(h->calibratedBore))
        .bind(16, int64_t{h->velocityFormat})
        .bind(17, int64_t{h->pressureFormat})
        .bind(18, int64_t{h->heightOffset})
        .bind(21, int64_t{h->statusFlags});
  } else if (const TotalsHeaderRecord* h = batch.totalsHeader) {
    header->bind(4, fieldText(h->siteId, sizeof h->siteId))
        .bind(5, int64_t{h->currentDateTime})
        .bind(6, int64_t{h->priorDateTime})
        .bind(7, int64_t{h->postDateTime})
        .bind(10, int64_t{h->firstRecordDateTime})
        .bind(11, int64_t{h->firstRecordRSN})
        .bind(12, int64_t{h->lastRecordDateTime})
        .bind(13, int64_t{h->lastRecordRSN})
        .bind(19, fieldText(h->auxText, sizeof h->auxText))
        .bindOptional(20, finite(h->auxValue))
        .bind(21, int64_t{h->statusFlags});
  }
  if (!header->run()) return fail("cannot store the header");

  std::optional<uint64_t> added;
  uint32_t lowest = UINT32_MAX, highest = 0;
  if (batch.dataHeader != nullptr) {
    for (const PairEntry& pair : batch.pairs) {
      lowest = std::min(lowest, pair.rsn);
      highest = std::max(highest, pair.rsn);
    }
    added = database_->insertNew(
        "pairs", {"epoch_id", "rsn", "time", "flow", "pressure", "converted"}, batch.pairs.size(),
        [&batch](size_t i, std::vector<Value>* row) {
          const PairEntry& pair = batch.pairs[i];
          (*row)[0] = batch.epochId;
          (*row)[1] = int64_t{pair.rsn};
          if (pair.time) (*row)[2] = int64_t{*pair.time};
          // Raw values are the meter's whole numbers.
          if (pair.flow) {
            (*row)[3] = batch.converted ? Value(*pair.flow)
                                        : Value(static_cast<int64_t>(std::llround(*pair.flow)));
          }
          if (pair.pressure) {
            (*row)[4] = batch.converted
                            ? Value(*pair.pressure)
                            : Value(static_cast<int64_t>(std::llround(*pair.pressure)));
          }
          (*row)[5] = int64_t{batch.converted ? 1 : 0};
        },
        error);
  } else {
    for (const auto& entry : batch.totals) {
      lowest = std::min(lowest, entry.first);
      highest = std::max(highest, entry.first);
    }
    added = database_->insertNew(
        "totals",
        {"epoch_id", "rsn", "time", "total1", "total2", "total3", "total4", "total5", "total6",
         "total7", "total8", "extra1", "extra2", "crc_valid"},
        batch.totals.size(),
        [&batch](size_t i, std::vector<Value>* row) {
          const auto& [rsn, record] = batch.totals[i];
          (*row)[0] = batch.epochId;
          (*row)[1] = int64_t{rsn};
          (*row)[2] = int64_t{record.dateTime};
          for (int k = 0; k < 8; ++k) (*row)[3 + static_cast<size_t>(k)] = int64_t{record.totals[k]};
          (*row)[11] = int64_t{record.extra1};
          (*row)[12] = int64_t{record.extra2};
          (*row)[13] = int64_t{record.crcValid};
        },
        error);
  }
  if (!added) {
    const std::string why = *error;
    database_->rollback();
    *error = "cannot store the entries: " + why;
    return std::nullopt;
  }
  if (lowest <= highest) {
    // What the epoch holds, kept with it so that a status reads no entries.
    std::unique_ptr<Query> epoch = database_->prepare(
        "UPDATE epochs SET first_rsn = CASE WHEN first_rsn IS NULL OR first_rsn > ?2 THEN ?2"
        " ELSE first_rsn END, last_rsn = CASE WHEN last_rsn IS NULL OR last_rsn < ?3 THEN ?3"
        " ELSE last_rsn END, stored = stored + ?4 WHERE id = ?1");
    if (!epoch || !epoch->bind(1, batch.epochId).bind(2, int64_t{lowest})
                       .bind(3, int64_t{highest}).bind(4, static_cast<int64_t>(*added)).run()) {
      return fail("cannot record what the epoch holds");
    }
  }
  if (!enqueue(batch.meterRow, batch.outbox, batch.readAt, error)) {
    const std::string why = *error;
    database_->rollback();
    *error = why;
    return std::nullopt;
  }
  if (!database_->commit(error)) return fail("cannot commit");
  return added;
}

std::optional<int64_t> Store::beginAttempt(int64_t runId, int64_t meterRow,
                                           const std::string& line, int64_t at,
                                           std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  std::unique_ptr<Query> insert =
      prepare("INSERT INTO attempts(run_id, meter_row, line, started_at)"
              " VALUES(?1, ?2, ?3, ?4) RETURNING id",
              error);
  if (!insert) return std::nullopt;
  insert->bind(1, runId).bind(2, meterRow).bind(3, line).bind(4, at);
  if (insert->step() != Step::Row) {
    *error = failure("cannot record the attempt");
    return std::nullopt;
  }
  return insert->integer(0);
}

std::optional<int64_t> Store::attemptsSince(int64_t meterRow, int64_t since, std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  std::unique_ptr<Query> select = prepare(
      "SELECT count(*) FROM attempts WHERE meter_row = ?1 AND started_at >= ?2", error);
  if (!select) return std::nullopt;
  select->bind(1, meterRow).bind(2, since);
  if (select->step() != Step::Row) {
    *error = failure("cannot count the meter's attempts");
    return std::nullopt;
  }
  return select->integer(0);
}

bool Store::endAttempt(int64_t attemptId, const AttemptOutcome& outcome, std::string* error,
                       int64_t meterRow, const std::vector<OutboxMessage>& outbox) {
  std::lock_guard<std::mutex> guard(lock_);
  const bool transaction = !outbox.empty();
  if (transaction && !database_->beginWrite(error)) return false;
  auto fail = [this, transaction] {
    if (transaction) database_->rollback();
    return false;
  };
  std::unique_ptr<Query> update =
      prepare("UPDATE attempts SET ended_at = ?2, code = ?3, source = ?4, message = ?5,"
              " entries = ?6, bytes = ?7 WHERE id = ?1",
              error);
  if (!update) return fail();
  update->bind(1, attemptId)
      .bind(2, outcome.endedAt)
      .bind(3, int64_t{outcome.code})
      .bind(4, outcome.source)
      .bind(5, outcome.message)
      .bind(6, static_cast<int64_t>(outcome.entries))
      .bind(7, static_cast<int64_t>(outcome.bytes));
  if (!update->run() || update->changed() != 1) {
    *error = failure("cannot record the attempt's outcome");
    return fail();
  }
  if (transaction && (!enqueue(meterRow, outbox, outcome.endedAt, error) ||
                      !database_->commit(error))) {
    return fail();
  }
  return true;
}

bool Store::recordEvent(int64_t meterRow, int logNo, int64_t at, const char* kind, int64_t value,
                        const std::string& detail, std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  std::unique_ptr<Query> insert =
      prepare("INSERT INTO events(meter_row, log_no, at, kind, value, detail)"
              " VALUES(?1, ?2, ?3, ?4, ?5, ?6)",
              error);
  if (!insert) return false;
  insert->bind(1, meterRow);
  insert->bindOptional(2, logNo > 0 ? std::optional<int64_t>(logNo) : std::nullopt);
  insert->bind(3, at).bind(4, std::string(kind)).bind(5, value).bind(6, detail);
  if (!insert->run()) {
    *error = failure(std::string("cannot record the event ") + kind);
    return false;
  }
  return true;
}

bool Store::raiseAlarm(int64_t meterRow, const std::string& meter, int logNo,
                       const AlarmKind& kind, int64_t value, const std::string& detail,
                       int64_t at, std::optional<AlarmChange>* change, std::string* error,
                       const AlarmMessage& message) {
  std::lock_guard<std::mutex> guard(lock_);
  change->reset();
  if (!database_->beginWrite(error)) return false;
  auto done = [&](bool ok) {
    if (ok && *change && message && !enqueue(meterRow, {message(**change)}, at, error)) ok = false;
    if (ok && database_->commit(error)) return true;
    database_->rollback();
    change->reset();
    return false;
  };
  std::unique_ptr<Query> update =
      prepare("UPDATE alarms SET value = ?4, detail = ?5 WHERE meter_row = ?1 AND log_no = ?2"
              " AND kind = ?3 AND cleared_at IS NULL",
              error);
  if (!update) return done(false);
  if (!update->bind(1, meterRow).bind(2, int64_t{logNo}).bind(3, std::string(kind.name))
           .bind(4, value).bind(5, detail).run()) {
    *error = failure(std::string("cannot raise the alarm ") + kind.name);
    return done(false);
  }
  if (update->changed() > 0) return done(true);
  std::unique_ptr<Query> insert = prepare(
      "INSERT INTO alarms(meter_row, log_no, kind, severity, raised_at, value, detail)"
      " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)"
      " ON CONFLICT(meter_row, log_no, kind) WHERE cleared_at IS NULL DO NOTHING RETURNING id",
      error);
  if (!insert) return done(false);
  insert->bind(1, meterRow).bind(2, int64_t{logNo}).bind(3, std::string(kind.name))
      .bind(4, std::string(severityName(kind.severity))).bind(5, at).bind(6, value)
      .bind(7, detail);
  const Step status = insert->step();
  if (status == Step::Failed) {
    *error = failure(std::string("cannot raise the alarm ") + kind.name);
    return done(false);
  }
  if (status == Step::Row) {
    *change = AlarmChange{insert->integer(0), meter, logNo, kind.name, kind.severity, true,
                          at, value, detail};
  }
  insert.reset();
  return done(true);
}

bool Store::clearAlarm(int64_t meterRow, const std::string& meter, int logNo,
                       const AlarmKind& kind, int64_t at, std::optional<AlarmChange>* change,
                       std::string* error, const AlarmMessage& message) {
  std::lock_guard<std::mutex> guard(lock_);
  change->reset();
  if (!database_->beginWrite(error)) return false;
  auto done = [&](bool ok) {
    if (ok && *change && message && !enqueue(meterRow, {message(**change)}, at, error)) ok = false;
    if (ok && database_->commit(error)) return true;
    database_->rollback();
    change->reset();
    return false;
  };
  std::unique_ptr<Query> update =
      prepare("UPDATE alarms SET cleared_at = ?4 WHERE meter_row = ?1 AND log_no = ?2"
              " AND kind = ?3 AND cleared_at IS NULL RETURNING id, value, detail",
              error);
  if (!update) return done(false);
  update->bind(1, meterRow).bind(2, int64_t{logNo}).bind(3, std::string(kind.name)).bind(4, at);
  const Step status = update->step();
  if (status == Step::Failed) {
    *error = failure(std::string("cannot clear the alarm ") + kind.name);
    return done(false);
  }
  if (status == Step::Row) {
    *change = AlarmChange{update->integer(0), meter, logNo, kind.name, kind.severity, false,
                          at, update->integer(1), update->text(2)};
  }
  update.reset();
  return done(true);
}

bool Store::outboxPeek(size_t limit, std::vector<OutboxRow>* rows, std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  rows->clear();
  std::unique_ptr<Query> select = prepare(
      "SELECT id, kind, topic, payload, retained, created_at FROM outbox ORDER BY id LIMIT ?1",
      error);
  if (!select) return false;
  select->bind(1, static_cast<int64_t>(limit));
  Step status;
  while ((status = select->step()) == Step::Row) {
    rows->push_back({select->integer(0), select->text(1), select->text(2), select->text(3),
                     select->integer(4) != 0, select->integer(5)});
  }
  if (status == Step::Failed) {
    *error = failure("cannot read the outbox");
    return false;
  }
  return true;
}

bool Store::outboxDelete(const std::vector<int64_t>& ids, std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  if (ids.empty()) return true;
  if (!database_->beginWrite(error)) return false;
  std::unique_ptr<Query> remove = prepare("DELETE FROM outbox WHERE id = ?1", error);
  for (int64_t id : ids) {
    if (!remove || !remove->bind(1, id).run()) {
      *error = failure("cannot empty the outbox");
      database_->rollback();
      return false;
    }
  }
  if (database_->commit(error)) return true;
  database_->rollback();
  return false;
}

bool Store::outboxStats(OutboxStats* stats, std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  std::unique_ptr<Query> select =
      prepare("SELECT count(*), min(created_at) FROM outbox", error);
  if (!select || select->step() != Step::Row) {
    *error = failure("cannot read the outbox");
    return false;
  }
  stats->messages = select->integer(0);
  stats->oldestAt = select->optionalInteger(1);
  return true;
}

bool Store::outboxTrim(int64_t cap, std::vector<OutboxDrop>* dropped, std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  dropped->clear();
  if (!database_->beginWrite(error)) return false;
  auto fail = [this, error](const std::string& what) {
    *error = failure(what);
    database_->rollback();
    return false;
  };
  std::unique_ptr<Query> count = database_->prepare("SELECT count(*) FROM outbox");
  if (!count || count->step() != Step::Row) return fail("cannot read the outbox");
  const int64_t excess = count->integer(0) - cap;
  count.reset();
  if (excess > 0) {
    std::unique_ptr<Query> victims = database_->prepare(
        "SELECT o.meter_row, m.meter, count(*) FROM (SELECT meter_row FROM outbox"
        " WHERE kind = 'entries' ORDER BY id LIMIT ?1) AS o JOIN meters m ON o.meter_row = m.id"
        " GROUP BY o.meter_row, m.meter ORDER BY m.meter");
    if (!victims) return fail("cannot read the outbox");
    victims->bind(1, excess);
    Step status;
    while ((status = victims->step()) == Step::Row) {
      dropped->push_back({victims->integer(0), victims->text(1), victims->integer(2)});
    }
    if (status == Step::Failed) return fail("cannot read the outbox");
    victims.reset();
    std::unique_ptr<Query> remove = database_->prepare(
        "DELETE FROM outbox WHERE id IN (SELECT id FROM outbox WHERE kind = 'entries'"
        " ORDER BY id LIMIT ?1)");
    if (!remove || !remove->bind(1, excess).run()) return fail("cannot trim the outbox");
  }
  if (!database_->commit(error)) return fail("cannot commit");
  return true;
}

bool Store::recordBrokerState(const BrokerState& state, std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  std::unique_ptr<Query> upsert = prepare(
      "INSERT INTO publishers(collector, broker, state, since, detail) VALUES(?1, ?2, ?3, ?4, ?5)"
      " ON CONFLICT(collector) DO UPDATE SET broker = excluded.broker, state = excluded.state,"
      " since = excluded.since, detail = excluded.detail",
      error);
  if (!upsert) return false;
  if (!upsert->bind(1, state.collector).bind(2, state.broker).bind(3, state.state)
           .bind(4, state.since).bind(5, state.detail).run()) {
    *error = failure("cannot record the broker's state");
    return false;
  }
  return true;
}

bool Store::brokerStates(std::vector<BrokerState>* states, std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  states->clear();
  std::unique_ptr<Query> select = prepare(
      "SELECT collector, broker, state, since, detail FROM publishers ORDER BY collector", error);
  if (!select) return false;
  Step status;
  while ((status = select->step()) == Step::Row) {
    states->push_back({select->text(0), select->text(1), select->text(2), select->integer(3),
                       select->text(4)});
  }
  if (status == Step::Failed) {
    *error = failure("cannot read the brokers' states");
    return false;
  }
  return true;
}

bool Store::alarms(const MeterSelection& selection, bool openOnly, std::vector<AlarmRow>* rows,
                   std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  rows->clear();
  std::unique_ptr<Query> select = prepare(
      "SELECT a.id, m.meter, a.log_no, a.kind, a.severity, a.raised_at, a.cleared_at,"
      " a.acknowledged_at, coalesce(a.value, 0), a.detail, a.meter_row FROM alarms a"
      " JOIN meters m ON a.meter_row = m.id WHERE (?1 = 0 OR a.cleared_at IS NULL) AND " +
          selectionClause(selection, 2) + " ORDER BY m.meter, a.raised_at, a.id",
      error);
  if (!select) return false;
  select->bind(1, int64_t{openOnly ? 1 : 0});
  bindSelection(*select, selection, 2);
  Step status;
  while ((status = select->step()) == Step::Row) {
    AlarmRow row;
    row.id = select->integer(0);
    row.meter = select->text(1);
    row.logNo = static_cast<int>(select->integer(2));
    row.kind = select->text(3);
    row.severity = select->text(4);
    row.raisedAt = select->integer(5);
    row.clearedAt = select->optionalInteger(6);
    row.acknowledgedAt = select->optionalInteger(7);
    row.value = select->integer(8);
    row.detail = select->text(9);
    row.meterRow = select->integer(10);
    rows->push_back(std::move(row));
  }
  if (status == Step::Failed) {
    *error = failure("cannot read the alarms");
    return false;
  }
  return true;
}

bool Store::meterRecords(const MeterSelection& selection, std::vector<MeterRecord>* records,
                         std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  records->clear();
  // Three passes over small tables, each by an index: the meters with their
  // last attempt, the current epoch of every logger, and the open alarms.
  std::unique_ptr<Query> meters = prepare(
      "SELECT m.id, m.meter, m.line, m.last_success_at, m.interval_s, m.failed_runs,"
      " a.started_at, a.ended_at, a.code, a.source, a.message FROM meters m"
      " LEFT JOIN attempts a ON a.id = (SELECT b.id FROM attempts b WHERE b.meter_row = m.id"
      " ORDER BY b.started_at DESC, b.id DESC LIMIT 1) WHERE " +
          selectionClause(selection, 1) + " ORDER BY m.meter",
      error);
  if (!meters) return false;
  bindSelection(*meters, selection, 1);
  std::map<int64_t, size_t> byRow;
  Step status;
  while ((status = meters->step()) == Step::Row) {
    MeterRecord record;
    record.meter = meters->text(1);
    record.line = meters->text(2);
    record.lastSuccessAt = meters->optionalInteger(3);
    record.intervalS = meters->optionalInteger(4);
    record.failedRuns = meters->integer(5);
    if (!meters->isNull(6)) {
      MeterRecord::Attempt attempt;
      attempt.startedAt = meters->integer(6);
      attempt.endedAt = meters->optionalInteger(7);
      attempt.code = meters->optionalInteger(8);
      attempt.source = meters->text(9);
      attempt.message = meters->text(10);
      record.lastAttempt = attempt;
    }
    byRow[meters->integer(0)] = records->size();
    records->push_back(std::move(record));
  }
  if (status == Step::Failed) {
    *error = failure("cannot read the meters");
    return false;
  }
  meters.reset();
  std::unique_ptr<Query> loggers = prepare(
      "SELECT l.meter_row, l.log_no, e.number, e.first_rsn, e.last_rsn, e.stored"
      " FROM loggers l JOIN epochs e ON e.logger_id = l.id"
      " WHERE e.number = (SELECT max(x.number) FROM epochs x WHERE x.logger_id = l.id)"
      " ORDER BY l.meter_row, l.log_no",
      error);
  if (!loggers) return false;
  while ((status = loggers->step()) == Step::Row) {
    const auto found = byRow.find(loggers->integer(0));
    if (found == byRow.end()) continue;
    MeterRecord::Logger logger;
    logger.logNo = static_cast<int>(loggers->integer(1));
    logger.epoch = static_cast<int>(loggers->integer(2));
    logger.firstRsn = loggers->optionalInteger(3);
    logger.lastRsn = loggers->optionalInteger(4);
    logger.stored = loggers->integer(5);
    (*records)[found->second].loggers.push_back(logger);
  }
  if (status == Step::Failed) {
    *error = failure("cannot read the loggers");
    return false;
  }
  loggers.reset();
  std::unique_ptr<Query> open = prepare(
      "SELECT a.meter_row, a.id, a.log_no, a.kind, a.severity, a.raised_at, a.acknowledged_at,"
      " coalesce(a.value, 0), a.detail FROM alarms a WHERE a.cleared_at IS NULL"
      " ORDER BY a.meter_row, a.raised_at, a.id",
      error);
  if (!open) return false;
  while ((status = open->step()) == Step::Row) {
    const auto found = byRow.find(open->integer(0));
    if (found == byRow.end()) continue;
    MeterRecord& record = (*records)[found->second];
    AlarmRow alarm;
    alarm.id = open->integer(1);
    alarm.meterRow = open->integer(0);
    alarm.meter = record.meter;
    alarm.logNo = static_cast<int>(open->integer(2));
    alarm.kind = open->text(3);
    alarm.severity = open->text(4);
    alarm.raisedAt = open->integer(5);
    alarm.acknowledgedAt = open->optionalInteger(6);
    alarm.value = open->integer(7);
    alarm.detail = open->text(8);
    record.openAlarms.push_back(std::move(alarm));
  }
  if (status == Step::Failed) {
    *error = failure("cannot read the alarms");
    return false;
  }
  return true;
}

bool Store::series(const std::string& meter, int logNo, uint32_t from, uint32_t to, int64_t width,
                   bool converted, std::vector<SeriesBucket>* buckets, std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  buckets->clear();
  const bool totals = logNo == 3;
  const std::string values =
      totals ? "min(x.total1), avg(x.total1), max(x.total1), min(x.total2), avg(x.total2),"
               " max(x.total2)"
             : "min(x.flow), avg(x.flow), max(x.flow), min(x.pressure), avg(x.pressure),"
               " max(x.pressure)";
  std::unique_ptr<Query> select = prepare(
      "SELECT (x.time - ?3) / ?5, count(*), min(x.time), max(x.time), " + values + " FROM " +
          (totals ? "totals" : "pairs") +
          " x JOIN epochs e ON x.epoch_id = e.id JOIN loggers l ON e.logger_id = l.id"
          " JOIN meters m ON l.meter_row = m.id WHERE m.meter = ?1 AND l.log_no = ?2"
          " AND x.time >= ?3 AND x.time <= ?4" +
          (totals ? " AND ?6 = ?6" : " AND x.converted = ?6") +
          " GROUP BY (x.time - ?3) / ?5 ORDER BY 1",
      error);
  if (!select) return false;
  select->bind(1, meter).bind(2, int64_t{logNo}).bind(3, int64_t{from}).bind(4, int64_t{to})
      .bind(5, std::max<int64_t>(width, 1)).bind(6, int64_t{converted ? 1 : 0});
  Step status;
  while ((status = select->step()) == Step::Row) {
    SeriesBucket bucket;
    bucket.index = select->integer(0);
    bucket.count = select->integer(1);
    bucket.firstTime = static_cast<uint32_t>(select->integer(2));
    bucket.lastTime = static_cast<uint32_t>(select->integer(3));
    bucket.first = {select->optionalReal(4), select->optionalReal(5), select->optionalReal(6)};
    bucket.second = {select->optionalReal(7), select->optionalReal(8), select->optionalReal(9)};
    buckets->push_back(bucket);
  }
  if (status == Step::Failed) {
    *error = failure("cannot read the series");
    return false;
  }
  return true;
}

bool Store::entriesPerDay(const std::string& meter, int logNo, uint32_t from, uint32_t to,
                          std::vector<std::pair<int64_t, int64_t>>* days, std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  days->clear();
  std::unique_ptr<Query> select = prepare(
      std::string("SELECT x.time / 86400, count(*) FROM ") + (logNo == 3 ? "totals" : "pairs") +
          " x JOIN epochs e ON x.epoch_id = e.id JOIN loggers l ON e.logger_id = l.id"
          " JOIN meters m ON l.meter_row = m.id WHERE m.meter = ?1 AND l.log_no = ?2"
          " AND x.time >= ?3 AND x.time <= ?4 GROUP BY x.time / 86400 ORDER BY 1",
      error);
  if (!select) return false;
  select->bind(1, meter).bind(2, int64_t{logNo}).bind(3, int64_t{from}).bind(4, int64_t{to});
  Step status;
  while ((status = select->step()) == Step::Row) {
    days->emplace_back(select->integer(0), select->integer(1));
  }
  if (status == Step::Failed) {
    *error = failure("cannot read the days");
    return false;
  }
  return true;
}

bool Store::recentAttempts(const std::string& meter, int limit, std::vector<AttemptRow>* rows,
                           std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  rows->clear();
  std::unique_ptr<Query> select = prepare(
      "SELECT a.started_at, a.ended_at, a.code, a.line, coalesce(a.source, ''),"
      " coalesce(a.message, ''), a.entries, a.bytes FROM attempts a JOIN meters m"
      " ON a.meter_row = m.id WHERE m.meter = ?1 ORDER BY a.started_at DESC, a.id DESC LIMIT ?2",
      error);
  if (!select) return false;
  select->bind(1, meter).bind(2, int64_t{limit});
  Step status;
  while ((status = select->step()) == Step::Row) {
    AttemptRow row;
    row.startedAt = select->integer(0);
    row.endedAt = select->optionalInteger(1);
    row.code = select->optionalInteger(2);
    row.line = select->text(3);
    row.source = select->text(4);
    row.message = select->text(5);
    row.entries = select->integer(6);
    row.bytes = select->integer(7);
    rows->push_back(std::move(row));
  }
  if (status == Step::Failed) {
    *error = failure("cannot read the attempts");
    return false;
  }
  return true;
}

bool Store::acknowledgeAlarm(int64_t alarmId, int64_t at, bool* found, std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  std::unique_ptr<Query> update = prepare(
      "UPDATE alarms SET acknowledged_at = coalesce(acknowledged_at, ?2) WHERE id = ?1", error);
  if (!update) return false;
  if (!update->bind(1, alarmId).bind(2, at).run()) {
    *error = failure("cannot acknowledge the alarm");
    return false;
  }
  *found = update->changed() == 1;
  return true;
}

bool Store::meterIds(std::vector<std::pair<std::string, std::string>>* meters,
                     std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  meters->clear();
  std::unique_ptr<Query> select = prepare("SELECT meter, line FROM meters ORDER BY meter", error);
  if (!select) return false;
  Step status;
  while ((status = select->step()) == Step::Row) meters->emplace_back(select->text(0), select->text(1));
  if (status == Step::Failed) {
    *error = failure("cannot read the meters");
    return false;
  }
  return true;
}

bool Store::forEachPair(const ExportFilter& filter, const std::function<bool(const PairRow&)>& row,
                        std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  std::unique_ptr<Query> select =
      prepare("SELECT m.meter, l.log_no, e.number, x.rsn, x.time, x.converted, x.flow,"
              " x.pressure FROM pairs x JOIN epochs e ON x.epoch_id = e.id"
              " JOIN loggers l ON e.logger_id = l.id JOIN meters m ON l.meter_row = m.id" +
                  exportClause(filter),
              error);
  if (!select) return false;
  bindExport(*select, filter);
  PairRow pair;
  std::string meter;
  Step status;
  while ((status = select->step()) == Step::Row) {
    meter = select->text(0);
    pair.meter = meter.c_str();
    pair.logNo = static_cast<int>(select->integer(1));
    pair.epoch = static_cast<int>(select->integer(2));
    pair.rsn = static_cast<uint32_t>(select->integer(3));
    pair.time.reset();
    if (!select->isNull(4)) pair.time = static_cast<uint32_t>(select->integer(4));
    pair.converted = select->integer(5) != 0;
    if (pair.converted) {
      pair.flow = select->optionalReal(6);
      pair.pressure = select->optionalReal(7);
    } else {
      pair.rawFlow = select->optionalInteger(6);
      pair.rawPressure = select->optionalInteger(7);
    }
    if (!row(pair)) return true;
  }
  if (status == Step::Failed) {
    *error = database_->lastError();
    return false;
  }
  return true;
}

bool Store::forEachTotals(const ExportFilter& filter,
                          const std::function<bool(const TotalsRow&)>& row, std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  std::unique_ptr<Query> select =
      prepare("SELECT m.meter, e.number, x.rsn, x.time, x.total1, x.total2, x.total3,"
              " x.total4, x.total5, x.total6, x.total7, x.total8, x.extra1, x.extra2,"
              " x.crc_valid FROM totals x JOIN epochs e ON x.epoch_id = e.id"
              " JOIN loggers l ON e.logger_id = l.id JOIN meters m ON l.meter_row = m.id" +
                  exportClause(filter),
              error);
  if (!select) return false;
  bindExport(*select, filter);
  TotalsRow record;
  std::string meter;
  Step status;
  while ((status = select->step()) == Step::Row) {
    meter = select->text(0);
    record.meter = meter.c_str();
    record.epoch = static_cast<int>(select->integer(1));
    record.rsn = static_cast<uint32_t>(select->integer(2));
    record.time = static_cast<uint32_t>(select->integer(3));
    for (int k = 0; k < 8; ++k) record.totals[k] = select->integer(4 + k);
    record.extra1 = static_cast<int>(select->integer(12));
    record.extra2 = static_cast<int>(select->integer(13));
    record.crcValid = select->integer(14) != 0;
    if (!row(record)) return true;
  }
  if (status == Step::Failed) {
    *error = database_->lastError();
    return false;
  }
  return true;
}

}  // namespace vb::fleet
