// The fleet store: what the fleet's meters delivered, the collector's
// bookkeeping, alarms and line leases, on one of two engines (a SQLite file,
// or PostgreSQL) that nothing above this class needs to know. Every
// guarantee rests on the engine's transactions and unique keys: each logger
// download is one transaction, and a re-run or a retry cannot store
// anything twice.
//
// Every member that writes, and every read the collector decides on,
// reports its failure (false or nothing, with the engine's words in
// *error): a bookkeeping write that did not happen must never pass for one
// that did.
//
// Times: `*_at` columns are UTC seconds since 1970 on the host's clock;
// meter times (pair and record times, header times, reset times) are host
// time values on the meter's clock, as the library delivers them.
//
// Thread-safe: one connection; every member takes the store's lock, so the
// collector's line threads may share one Store.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "alarms.h"
#include "database.h"
#include "schema.h"
#include "vantbrook/records.h"

namespace vb::fleet {

struct StoreOptions {
  // How long a statement waits for another connection's write to end.
  uint32_t busyTimeoutMs = 10000;
};

// Where the next download of a logger starts.
struct LoggerPosition {
  int64_t epochId = 0;     // 0: the logger has no epoch yet
  int32_t epochNumber = 0;
  uint32_t resetTime = 0;  // reset time the epoch began with
  std::optional<uint32_t> lastRsn;  // newest record stored in the epoch
};

// One pair as it is stored: a time only where the header fixes it, a value
// only where the meter's conversion gave one.
struct PairEntry {
  uint32_t rsn = 0;
  std::optional<uint32_t> time;
  std::optional<double> flow;
  std::optional<double> pressure;
};

// A message for the MQTT broker, written to the store's outbox in the same
// transaction as what it describes, and deleted once the broker has it.
struct OutboxMessage {
  std::string kind;   // "reading", "entries" or "alarm"
  std::string topic;  // below the topic prefix: "meter/ID/reading"
  std::string payload;
  bool retained = false;
};

struct OutboxRow {
  int64_t id = 0;  // the order they are published in
  std::string kind;
  std::string topic;
  std::string payload;
  bool retained = false;
  int64_t createdAt = 0;
};

// Messages the outbox shed for one meter.
struct OutboxDrop {
  int64_t meterRow = 0;
  std::string meter;
  int64_t messages = 0;
};

// How a collector's connection to the MQTT broker fares, as it last said.
struct BrokerState {
  std::string collector;
  std::string broker;  // the broker's address, as given
  std::string state;   // "connected", "disconnected" or "stopped"
  int64_t since = 0;   // UTC seconds: when it entered the state
  std::string detail;  // why it is disconnected
};

// One logger download, stored in one transaction.
struct DownloadBatch {
  int64_t epochId = 0;
  int64_t attemptId = 0;
  int logNo = 0;
  bool converted = false;
  int64_t readAt = 0;
  // Exactly one of the two headers, by logger.
  const DataHeaderRecord* dataHeader = nullptr;
  const TotalsHeaderRecord* totalsHeader = nullptr;
  // The entries to store: pairs for a data header, totals records (each
  // with its record number) for a totals header.
  std::vector<PairEntry> pairs;
  std::vector<std::pair<uint32_t, TotalsRecord>> totals;
  // Messages about these entries, for the outbox.
  std::vector<OutboxMessage> outbox;
  int64_t meterRow = 0;  // whose messages they are
};

struct AttemptOutcome {
  int64_t endedAt = 0;
  int32_t code = 0;
  std::string source;
  std::string message;
  uint64_t entries = 0;
  uint64_t bytes = 0;
};

// Event kinds recorded against a meter.
inline constexpr char kEventStatusFlags[] = "status_flags";
inline constexpr char kEventIdentityChanged[] = "identity_changed";
inline constexpr char kEventClockDrift[] = "clock_drift";
inline constexpr char kEventClockSet[] = "clock_set";
inline constexpr char kEventLoggerRestarted[] = "logger_restarted";
inline constexpr char kEventValuesNotConverted[] = "values_not_converted";

// Outcome code of an attempt that its run left without an end (the run was
// killed); the next run closes it with this code.
inline constexpr int32_t kCodeAttemptAbandoned = -4;

// Which meters a command works on: every one, or those named and those on
// the lines named.
struct MeterSelection {
  std::vector<std::string> meters;
  std::vector<std::string> lines;
  bool all() const { return meters.empty() && lines.empty(); }
  bool selects(const std::string& meter, const std::string& line) const;
};

// What export selects; unset fields select everything.
struct ExportFilter {
  MeterSelection selection;
  std::optional<int> logNo;
  std::optional<uint32_t> from;  // meter time, inclusive
  std::optional<uint32_t> to;    // meter time, inclusive
};

// One stored pair as export reads it: flow and pressure are integers for raw
// pairs and reals for converted ones; an absent time or value is unset.
struct PairRow {
  const char* meter = nullptr;
  int logNo = 0;
  int epoch = 0;
  uint32_t rsn = 0;
  std::optional<uint32_t> time;
  bool converted = false;
  std::optional<int64_t> rawFlow, rawPressure;
  std::optional<double> flow, pressure;
};

struct TotalsRow {
  const char* meter = nullptr;
  int epoch = 0;
  uint32_t rsn = 0;
  uint32_t time = 0;
  int64_t totals[8] = {};
  int extra1 = 0, extra2 = 0;
  bool crcValid = false;
};

// Who holds a lease.
struct LeaseHolder {
  int64_t runId = 0;
  std::string collector;
  std::string line;
  std::string host;
  int64_t pid = 0;
  int64_t expiresAt = 0;
};

// An alarm as the store keeps it.
struct AlarmRow {
  int64_t id = 0;
  int64_t meterRow = 0;
  std::string meter;
  int logNo = 0;
  std::string kind;
  std::string severity;
  int64_t raisedAt = 0;
  std::optional<int64_t> clearedAt;
  std::optional<int64_t> acknowledgedAt;
  int64_t value = 0;
  std::string detail;
};

// Stored pairs (or totals) of a logger gathered into time buckets, for a
// plot: each bucket's span, count and the least, mean and greatest value.
struct SeriesBucket {
  int64_t index = 0;             // (time - from) / width
  uint32_t firstTime = 0, lastTime = 0;  // meter times of its first and last entry
  int64_t count = 0;
  struct Values {
    std::optional<double> min, mean, max;
  };
  Values first, second;  // flow and pressure; total1 and total2 for the totals logger
};

// One recent attempt at a meter.
struct AttemptRow {
  int64_t startedAt = 0;
  std::optional<int64_t> endedAt;
  std::optional<int64_t> code;
  std::string line, source, message;
  int64_t entries = 0, bytes = 0;
};

// What the store knows of a meter, for status.
struct MeterRecord {
  std::string meter;
  std::string line;
  std::optional<int64_t> lastSuccessAt;
  std::optional<int64_t> intervalS;
  int64_t failedRuns = 0;
  struct Attempt {
    int64_t startedAt = 0;
    std::optional<int64_t> endedAt;
    std::optional<int64_t> code;
    std::string source;
    std::string message;
  };
  std::optional<Attempt> lastAttempt;
  struct Logger {
    int logNo = 0;
    int epoch = 0;
    std::optional<int64_t> firstRsn, lastRsn;
    int64_t stored = 0;
    int64_t missing() const { return firstRsn && lastRsn ? *lastRsn - *firstRsn + 1 - stored : 0; }
  };
  std::vector<Logger> loggers;  // in logger order, the current epoch of each
  std::vector<AlarmRow> openAlarms;
};

class Store {
 public:
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // Opens or creates the store at `location`: a file path (SQLite) or a
  // postgresql:// address. A file or database that holds anything but a
  // store (another database, a store of a newer version) is refused before
  // anything in it is changed. Nothing, with *error set, when it cannot be
  // used.
  static std::unique_ptr<Store> open(const std::string& location, std::string* error,
                                     const StoreOptions& options = StoreOptions());
  // Opens an existing store for reading only.
  static std::unique_ptr<Store> openForReading(const std::string& location, std::string* error);

  Engine engine() const { return database_->engine(); }
  // Where the store is, as the user named it (never a password).
  std::string location() const { return database_->location(); }
  // The engine's server could not be reached at the last statement.
  bool connectionLost();

  // Reads what the engine can of its own structures; false with the
  // engine's words when the store is damaged.
  bool checkIntegrity(std::string* error);

  // Closes the runs (and their attempts) that their process left open: it
  // was killed, or stopped renewing the run. The number of runs closed.
  std::optional<uint32_t> closeAbandonedRuns(int64_t at, std::string* error);
  std::optional<int64_t> beginRun(const std::string& fleetPath, int64_t at, std::string* error);
  // A run in progress says so now and then (with its leases); one that stops
  // saying so for kRunExpirySeconds counts as abandoned.
  bool renewRun(int64_t runId, int64_t at, std::string* error);
  bool endRun(int64_t runId, int64_t at, int metersOk, int metersFailed, std::string* error);
  static constexpr int64_t kRunExpirySeconds = 300;

  // Leases: a resource (a line) held by one run at a time. Takes it when it
  // is free, already this run's, or its lease expired (or its holder, on
  // this host, is gone); else *taken is false and *holder says who has it.
  bool takeLease(const std::string& resource, int64_t runId, const std::string& line,
                 int64_t at, bool* taken, LeaseHolder* holder, std::string* error);
  bool releaseLease(const std::string& resource, int64_t runId, std::string* error);

  // Meters of a pool, claimed one at a time by whichever line of the pool
  // is free, on any collector: the candidate collected longest ago (never
  // first) that no other holder has leased, that has not failed all its
  // tries, whose last try ended at least `retryAfter` seconds ago, and that
  // is due: collected before `collectedBefore`, or (by interval) longer ago
  // than its own interval. Taken with its lease ("meter ID") in one
  // transaction; unset when none can be had now.
  struct ClaimRule {
    std::optional<int64_t> collectedBefore;  // a run: not collected since
    bool byInterval = false;                 // the service: its interval has passed
    int64_t triesSince = 0;                  // tries counted from this time...
    uint32_t maxTries = 1;                   // ...and at most this many
    int64_t retryAfter = 0;
  };
  bool claimMeter(const std::vector<std::string>& candidates, const ClaimRule& rule,
                  int64_t runId, const std::string& line, int64_t at,
                  std::optional<std::string>* claimed, std::string* error);
  // Candidates that are not done: not collected by the rule and with tries
  // left (leased ones included).
  std::optional<int64_t> unfinishedMeters(const std::vector<std::string>& candidates,
                                          const ClaimRule& rule, std::string* error);
  static std::string meterResource(const std::string& meterId) { return "meter " + meterId; }
  // How long a lease holds without being renewed: a holder that died
  // loses its lines and meters after it.
  static constexpr int64_t kDefaultLeaseSeconds = 180;
  void setLeaseSeconds(int64_t seconds) { leaseSeconds_ = seconds; }
  int64_t leaseSeconds() const { return leaseSeconds_; }

  // The meter's row, made on first sight; its line and expected interval
  // kept up to date.
  std::optional<int64_t> meterRow(const std::string& meterId, const std::string& line,
                                  int64_t intervalS, int64_t at, std::string* error);
  // UTC time of the meter's last complete collection (unset if never).
  bool lastSuccess(const std::string& meterId, std::optional<int64_t>* at, std::string* error);
  bool markSuccess(int64_t meterRow, int64_t at, std::string* error);
  // Counts the run's outcome for the meter: failed runs in a row, or none
  // after a success. The count after this run.
  std::optional<int64_t> countRunOutcome(int64_t meterRow, bool failed, std::string* error);
  bool hasVersions(int64_t meterRow, bool* has, std::string* error);

  // Stores the identity block unless it equals the last one stored; *changed
  // tells whether it differed from an earlier one.
  bool recordIdentity(int64_t meterRow, const DibRecord& dib, int64_t at, bool* changed,
                      std::string* error);
  bool recordVersions(int64_t meterRow, const VersionRecord& versions, int64_t at,
                      std::string* error);

  bool loggerPosition(int64_t meterRow, int logNo, LoggerPosition* position, std::string* error);
  // Starts a new epoch of the logger (its first, or after a restart).
  bool beginEpoch(int64_t meterRow, int logNo, uint32_t resetTime, int64_t at,
                  LoggerPosition* position, std::string* error);
  // The stored totals record of that number in the epoch (unset if none).
  bool storedTotals(int64_t epochId, uint32_t rsn, std::optional<TotalsRecord>* record,
                    std::string* error);
  // The newest entry the epoch holds: a pair (loggers 1 and 2) or a totals
  // record (logger 3); neither when it holds none.
  bool newestEntry(int64_t epochId, int logNo, std::optional<PairEntry>* pair,
                   std::optional<std::pair<uint32_t, TotalsRecord>>* totals, bool* converted,
                   std::string* error);
  // Records missing between the epoch's first and last stored ones.
  std::optional<int64_t> epochHoles(int64_t epochId, std::string* error);

  // Stores a header and its entries in one transaction. The number of
  // entries that were new; nothing (with *error) when the transaction failed
  // and nothing was stored.
  std::optional<uint64_t> storeDownload(const DownloadBatch& batch, std::string* error);

  std::optional<int64_t> beginAttempt(int64_t runId, int64_t meterRow, const std::string& line,
                                      int64_t at, std::string* error);
  // Attempts at the meter (each a call) that began at or after `since`.
  std::optional<int64_t> attemptsSince(int64_t meterRow, int64_t since, std::string* error);
  // Ends the attempt, with its messages for the outbox in the same
  // transaction.
  bool endAttempt(int64_t attemptId, const AttemptOutcome& outcome, std::string* error,
                  int64_t meterRow = 0, const std::vector<OutboxMessage>& outbox = {});

  bool recordEvent(int64_t meterRow, int logNo, int64_t at, const char* kind, int64_t value,
                   const std::string& detail, std::string* error);

  // Raises an alarm unless the same one (meter, logger, kind) is open, whose
  // detail is then brought up to date; *change is set when it was raised.
  // With `message`, what it makes of the change goes to the outbox in the
  // same transaction.
  using AlarmMessage = std::function<OutboxMessage(const AlarmChange&)>;
  bool raiseAlarm(int64_t meterRow, const std::string& meter, int logNo, const AlarmKind& kind,
                  int64_t value, const std::string& detail, int64_t at,
                  std::optional<AlarmChange>* change, std::string* error,
                  const AlarmMessage& message = nullptr);
  // Clears the open alarm of that meter, logger and kind, if there is one.
  bool clearAlarm(int64_t meterRow, const std::string& meter, int logNo, const AlarmKind& kind,
                  int64_t at, std::optional<AlarmChange>* change, std::string* error,
                  const AlarmMessage& message = nullptr);

  // The outbox, oldest first: what waits for the broker.
  bool outboxPeek(size_t limit, std::vector<OutboxRow>* rows, std::string* error);
  bool outboxDelete(const std::vector<int64_t>& ids, std::string* error);
  struct OutboxStats {
    int64_t messages = 0;
    std::optional<int64_t> oldestAt;  // UTC seconds
  };
  bool outboxStats(OutboxStats* stats, std::string* error);
  // Keeps at most `cap` messages: the oldest entries messages go first,
  // never a reading or an alarm. How many went, by meter.
  bool outboxTrim(int64_t cap, std::vector<OutboxDrop>* dropped, std::string* error);
  // One row per collector: its latest state replaces the one before.
  bool recordBrokerState(const BrokerState& state, std::string* error);
  bool brokerStates(std::vector<BrokerState>* states, std::string* error);
  // Alarms by meter and time; only the open ones when asked.
  bool alarms(const MeterSelection& selection, bool openOnly, std::vector<AlarmRow>* rows,
              std::string* error);

  // What the store knows of every selected meter, in meter order.
  bool meterRecords(const MeterSelection& selection, std::vector<MeterRecord>* records,
                    std::string* error);
  // Buckets of `width` seconds over the meter times [from, to] of a logger:
  // pairs in engineering units (converted) or as logged, or for logger 3
  // its totals.
  bool series(const std::string& meter, int logNo, uint32_t from, uint32_t to, int64_t width,
              bool converted, std::vector<SeriesBucket>* buckets, std::string* error);
  // Entries stored per day (meter time) over [from, to]: day number since
  // 1970, count.
  bool entriesPerDay(const std::string& meter, int logNo, uint32_t from, uint32_t to,
                     std::vector<std::pair<int64_t, int64_t>>* days, std::string* error);
  // The newest attempts at a meter, newest first.
  bool recentAttempts(const std::string& meter, int limit, std::vector<AttemptRow>* rows,
                      std::string* error);
  // Marks an alarm acknowledged (an open or a cleared one); false with
  // *found unset when there is no such alarm.
  bool acknowledgeAlarm(int64_t alarmId, int64_t at, bool* found, std::string* error);

  // The ids of every meter the store holds, in order, with their lines.
  bool meterIds(std::vector<std::pair<std::string, std::string>>* meters, std::string* error);

  // Streams the stored rows in meter, logger, epoch, record order; the row
  // is valid during the call only. False (with *error) on a read failure.
  bool forEachPair(const ExportFilter& filter, const std::function<bool(const PairRow&)>& row,
                   std::string* error);
  bool forEachTotals(const ExportFilter& filter, const std::function<bool(const TotalsRow&)>& row,
                     std::string* error);

  // A statement for tests and tools: the first column of the first row as
  // an integer (0 when there is none).
  int64_t scalar(const std::string& sql);

 private:
  explicit Store(std::unique_ptr<Database> database);
  // A prepared statement; nothing with *error set when it does not prepare.
  std::unique_ptr<Query> prepare(const std::string& sql, std::string* error);
  // The engine's words for the last failure, after `what`.
  std::string failure(const std::string& what) const;
  // Adds messages to the outbox; the caller holds the lock and a
  // transaction.
  bool enqueue(int64_t meterRow, const std::vector<OutboxMessage>& messages, int64_t at,
               std::string* error);

  std::unique_ptr<Database> database_;
  std::mutex lock_;
  int64_t leaseSeconds_ = kDefaultLeaseSeconds;
};

}  // namespace vb::fleet
