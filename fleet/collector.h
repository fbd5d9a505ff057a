// Collects a fleet: one thread per line, the meters of a line one after
// another (the one collected longest ago first), each over one held link,
// failed meters retried with back-off while the run may go on. Lines never
// wait for each other: each has its own link, and the store is written in
// short transactions.
//
// A line is leased to one run at a time through the store: a second run on
// the same store (a nightly timer that fires while last night's run still
// goes) waits for the line or, told not to wait, leaves it to the run that
// holds it; either way nothing is recorded against meters it never tried.
//
// Alarms are raised and cleared as the meters are read (status flags, the
// clock, restarts, overwritten or missing records, values not converted)
// and when a meter's turn ends (failed runs in a row, not collected in
// time).
//
// Two modes on one code path: `collect` takes each selected meter once (with
// its retries); the service runs on, calling each meter again once its
// interval has passed, inside its window and within its calls a day, the
// most overdue first, and whenever it is asked to collect one now.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "alarms.h"
#include "fleet_file.h"
#include "store.h"

namespace vb::fleet {

struct CollectSettings {
  // Further attempts after a meter's first one failed.
  uint32_t retries = 2;
  // Pause before the first retry; it doubles with every further one.
  uint32_t retryDelayMs = 10000;
  // No attempt starts after this monotonic time (platform clock); unset:
  // no limit.
  std::optional<uint64_t> untilMs;
  // A logger collected for the first time is read from this meter time on;
  // unset: everything it holds.
  std::optional<uint32_t> since;
  // The meters to collect: every one when empty.
  MeterSelection selection;
  // This collector's name: it opens the lines the fleet file gives it (or
  // every line of a file that names no collector).
  std::string collector;
  // A line another run holds is waited for (until untilMs); false: left to
  // that run.
  bool waitForLines = true;
  // Run on, each meter again when it is due, until stopped (the service).
  bool continuous = false;
  // Messages for an MQTT broker go to the store's outbox with what they
  // describe: a reading after each attempt and the alarms, and with
  // `outboxEntries` every new entry too.
  bool outbox = false;
  bool outboxEntries = false;
  // Asked often, from every thread: true once the run is to stop.
  std::function<bool()> stopRequested;
};

// Outcome codes of the collector's own, outside the library's 0..25.
inline constexpr int32_t kCodeNotAttempted = -1;  // the run ended before the meter's turn
inline constexpr int32_t kCodeStoreFailed = -2;   // the store refused a write or a read
inline constexpr int32_t kCodeInconsistent = -3;  // a reply that contradicts its request
inline constexpr int32_t kCodeLineInUse = -5;     // another run holds the meter's line
inline constexpr char kCollectorSource[] = "vantbrook collect";

struct MeterOutcome {
  std::string meter;
  std::string line;
  bool ok = false;
  // Left to another run that holds its line: neither collected nor failed.
  bool leftToOtherRun = false;
  int32_t code = 0;
  std::string source;
  std::string message;
  uint64_t entriesNew = 0;
  uint64_t bytes = 0;
  uint32_t calls = 0;
  uint32_t attempts = 0;
  double lineSeconds = 0;  // how long its attempts kept a line busy
};

struct Summary {
  std::vector<MeterOutcome> meters;  // the selected meters, in fleet file order
  uint32_t metersOk = 0;
  uint32_t metersFailed = 0;
  uint32_t metersLeft = 0;  // left to another run
  uint64_t entriesNew = 0;
  uint64_t bytes = 0;
  uint32_t calls = 0;
  double seconds = 0;
  bool interrupted = false;
  // Alarms this run raised and cleared, in the order it did.
  std::vector<AlarmChange> alarms;
  // Why the store failed the run as a whole (it cannot be used, or a write
  // of the run's own failed); empty when it did not.
  std::string storeError;
};

// What a line is doing right now, for a live display.
struct LineActivity {
  std::string line;
  std::string meter;  // empty while idle
  std::string stage;  // "calling", "identity", "versions", "header 1", "download 2", ...
  int percent = 0;    // of the reply arriving now
  uint64_t entries = 0;  // new entries of this meter so far
  bool finished = false;
};

// What the collector does, as it happens, for a live view (the service's
// event stream and metrics).
struct CollectorEvent {
  enum class Kind { Activity, AttemptEnded, Alarm } kind = Kind::Activity;
  LineActivity activity;  // Activity
  MeterOutcome outcome;   // AttemptEnded
  bool willRetry = false;
  double seconds = 0;     // AttemptEnded: how long the line was busy with it
  AlarmChange alarm;      // Alarm
};

class Collector {
 public:
  Collector(const Fleet& fleet, Store& store, CollectSettings settings);

  // Runs the whole collection; returns when every line is done or the run
  // was stopped (continuous: when stopped or finishing). Calls log() from
  // the line threads for each meter that ends an attempt. One run at a time
  // per process (the link's progress callback carries no context, so the
  // lines share a small table of them).
  Summary run(const std::function<void(const MeterOutcome&, bool willRetry)>& log);

  // Called from the line threads as things happen; set before run().
  void onEvent(std::function<void(const CollectorEvent&)> listener);

  // Safe from any thread while run() works.
  std::vector<LineActivity> activity() const;

  // Continuous mode, from any thread: asks for a meter to be called now
  // (it counts against its calls a day). False, with the reason, when it
  // cannot be: no such meter, its line is not held, its budget is spent.
  bool collectNow(const std::string& meterId, std::string* reason);
  // Calls the meter (by id) took today, host local day; 0 for an unknown one.
  uint32_t callsTodayOf(const std::string& meterId);
  // Continuous mode: the lines stop once their current meters are done
  // (nothing is aborted), and run() returns.
  void finish();

 private:
  void runLine(size_t lineIndex, int64_t runId,
               const std::function<void(const MeterOutcome&, bool)>& log);
  // Waits for the line's lease; false when the run leaves the line (its
  // meters' outcomes then say why).
  bool leaseLine(size_t lineIndex, int64_t runId, const std::string& resource,
                 const std::vector<size_t>& meters);
  void serveLine(size_t lineIndex, int64_t runId,
                 const std::function<void(const MeterOutcome&, bool)>& log);
  // The selected meters the line calls: those of its own (pool false), or
  // those of its pool.
  std::vector<size_t> metersOfLine(size_t lineIndex, bool pool) const;
  // The store's rows of the meters; false when one could not be had (its
  // outcome says why).
  bool prepareMeters(const std::vector<size_t>& meters, size_t lineIndex,
                     const std::function<void(const MeterOutcome&, bool)>& log);
  // One attempt at a meter on a line, its outcome kept and reported.
  MeterOutcome attempt(size_t lineIndex, size_t meter, int64_t runId, bool mayRetry,
                       const std::function<void(const MeterOutcome&, bool)>& log);
  void settlePoolMeters();
  // A store whose server is out of reach: waits a while and says so (true),
  // unless the run is to end; false for any other failure.
  bool waitForStore(size_t lineIndex);
  // The service: claims a due meter of the line's pool and calls it; false
  // when none was due and free.
  bool servePool(size_t lineIndex, int64_t runId, const std::vector<size_t>& pool,
                 const std::function<void(const MeterOutcome&, bool)>& log);
  // Whether one of this collector's lines reaches the meter.
  bool lineOpened(size_t meter) const;
  // Failed runs in a row and time since the last collection, as alarms:
  // for a meter whose turn ended, and for all at the end of a run.
  void closeMeterAlarms(size_t meter, bool turnEnded, int64_t now);
  void closeRunAlarms(int64_t now);
  // Calls the meter took today (host local day), counted here.
  uint32_t callsToday(size_t meter, int64_t now);
  void countCall(size_t meter, int64_t now);
  void emit(const CollectorEvent& event);
  bool finishing() const;
  void setActivity(size_t lineIndex, const std::string& meter, const std::string& stage,
                   uint64_t entries);
  void noteAlarm(const std::optional<AlarmChange>& change);
  void noteStoreError(const std::string& error);
  friend class MeterSession;

  const Fleet& fleet_;
  Store& store_;
  CollectSettings settings_;
  // One per meter: a line's meters written by its thread, a pool's by
  // whichever of this collector's lines calls it, under outcomeLock_.
  std::mutex outcomeLock_;
  std::vector<MeterOutcome> outcomes_;
  std::vector<int64_t> meterRows_;      // the store's row of each meter, 0 while unknown
  std::vector<bool> selected_;
  mutable std::mutex activityLock_;
  std::vector<LineActivity> activity_;
  // Each fleet line's progress slot: this collector's own lines in order,
  // whatever their place among all the fleet's lines; SIZE_MAX for others.
  std::vector<size_t> progressSlot_;
  std::mutex alarmLock_;
  std::vector<AlarmChange> alarms_;
  std::string storeError_;
  std::function<void(const CollectorEvent&)> listener_;
  int64_t runStartedAt_ = 0;  // UTC seconds
  // Continuous mode: meters asked for now, the day's calls, whether the
  // lines are to finish; the line threads wait on wake_ for any of them.
  mutable std::mutex scheduleLock_;
  std::condition_variable wake_;
  std::vector<bool> forced_;
  std::vector<bool> lineHeld_;
  std::vector<uint32_t> calls_;
  std::vector<int64_t> callsDay_;
  bool finishing_ = false;
};

// Gives every line of the collector (empty: the host's name) that is named
// by device path a COM number of its own that none of its lines uses, and
// points the device map at the path. Call before collecting, while no
// other thread runs requests.
bool mapDeviceLines(Fleet* fleet, std::string* error, const std::string& collector = "");

// The store's name of the device a line opens, for its lease: the same
// device gives the same name on this host, whatever the fleet file calls it.
std::string lineResource(const LineConfig& line);

// Entries one download of the logger asks for at most, so that its reply
// always fits the link's receive buffer.
uint32_t entriesPerDownload(int logNo);

// The receive time-out of a reply of `bytes` at `baud`: the time the line
// needs to carry it, with room for framing and resends, plus the line's
// time-out for a short reply.
uint32_t receiveTimeoutFor(uint64_t bytes, uint32_t baud, uint32_t shortReplyTimeoutMs);

// Host time value of the host's clock now, as a meter keeps it (local
// standard time).
uint32_t hostMeterTimeNow();

}  // namespace vb::fleet
