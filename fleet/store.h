// The fleet store: one SQLite file in WAL mode that holds what the fleet's
// meters delivered. Every guarantee rests on SQLite's atomic commit: each
// logger download is one transaction, and unique keys make a re-run or a
// retry unable to store anything twice.
//
// Times: `*_at` columns are UTC seconds since 1970 on the host's clock;
// meter times (pair and record times, header times, reset times) are host
// time values on the meter's clock, as the library delivers them.
//
// Thread-safe: one connection, one writer; every member takes the store's
// lock, so the collector's line threads may share one Store.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "vantbrook/records.h"

struct sqlite3;

namespace vb::fleet {

// Schema version this build writes; older stores are migrated on open.
inline constexpr int kSchemaVersion = 1;

// Where the next download of a logger starts.
struct LoggerPosition {
  int64_t epochId = 0;     // 0: the logger has no epoch yet
  int32_t epochNumber = 0;
  uint32_t resetTime = 0;  // reset time the epoch began with
  std::optional<uint32_t> lastRsn;  // newest record stored in the epoch
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
  // The entries: RawPair, ConvertedPair or TotalsRecord, `count` of them,
  // the first one carrying record number `firstRsn`.
  const void* entries = nullptr;
  uint32_t count = 0;
  uint32_t firstRsn = 0;
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

// What export selects; unset fields select everything.
struct ExportFilter {
  std::optional<std::string> meter;
  std::optional<int> logNo;
  std::optional<uint32_t> from;  // meter time, inclusive
  std::optional<uint32_t> to;    // meter time, inclusive
};

// One stored pair as export reads it: flow and pressure are integers for raw
// pairs and reals for converted ones.
struct PairRow {
  const char* meter = nullptr;
  int logNo = 0;
  int epoch = 0;
  uint32_t rsn = 0;
  uint32_t time = 0;
  bool converted = false;
  int64_t rawFlow = 0, rawPressure = 0;
  double flow = 0, pressure = 0;
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

class Store {
 public:
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // Opens or creates the store and brings its schema up to date. Nothing,
  // with *error set, when the file cannot be opened, is not a store, or was
  // written by a newer version.
  static std::unique_ptr<Store> open(const std::string& path, std::string* error);
  // Opens an existing store for reading only.
  static std::unique_ptr<Store> openForReading(const std::string& path, std::string* error);

  int64_t beginRun(const std::string& fleetPath, int64_t at);
  void endRun(int64_t runId, int64_t at, int metersOk, int metersFailed);

  // The meter's row, made on first sight.
  int64_t meterRow(const std::string& meterId, const std::string& line);
  // UTC time of the meter's last complete collection; nothing if never.
  std::optional<int64_t> lastSuccess(const std::string& meterId);
  void markSuccess(int64_t meterRow, int64_t at);
  bool hasVersions(int64_t meterRow);

  // Stores the identity block unless it equals the last one stored; true
  // when it differed from an earlier one (the identity changed).
  bool recordIdentity(int64_t meterRow, const DibRecord& dib, int64_t at);
  void recordVersions(int64_t meterRow, const VersionRecord& versions, int64_t at);

  LoggerPosition loggerPosition(int64_t meterRow, int logNo);
  // Starts a new epoch of the logger (its first, or after a restart).
  LoggerPosition beginEpoch(int64_t meterRow, int logNo, uint32_t resetTime, int64_t at);

  // Stores a header and its entries in one transaction. The number of
  // entries that were new; nothing (with *error) when the transaction failed
  // and nothing was stored.
  std::optional<uint64_t> storeDownload(const DownloadBatch& batch, std::string* error);

  int64_t beginAttempt(int64_t runId, int64_t meterRow, const std::string& line, int64_t at);
  void endAttempt(int64_t attemptId, const AttemptOutcome& outcome);

  void recordEvent(int64_t meterRow, int logNo, int64_t at, const char* kind, int64_t value,
                   const std::string& detail);

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
  explicit Store(sqlite3* db);
  bool migrate(std::string* error);
  bool execute(const char* sql, std::string* error);

  sqlite3* db_;
  std::mutex lock_;
};

}  // namespace vb::fleet
