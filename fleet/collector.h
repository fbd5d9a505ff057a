// Collects a fleet: one thread per line, the meters of a line one after
// another (the one collected longest ago first), each over one held link,
// failed meters retried with back-off while the run may go on. Lines never
// wait for each other: each has its own link, and the store is written in
// short transactions.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

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
  // Asked often, from every thread: true once the run is to stop.
  std::function<bool()> stopRequested;
};

// Outcome codes of the collector's own, outside the library's 0..25.
inline constexpr int32_t kCodeNotAttempted = -1;  // the run ended before the meter's turn
inline constexpr int32_t kCodeStoreFailed = -2;   // the store refused a write or a read
inline constexpr int32_t kCodeInconsistent = -3;  // a reply that contradicts its request
inline constexpr char kCollectorSource[] = "vantbrook collect";

struct MeterOutcome {
  std::string meter;
  std::string line;
  bool ok = false;
  int32_t code = 0;
  std::string source;
  std::string message;
  uint64_t entriesNew = 0;
  uint64_t bytes = 0;
  uint32_t calls = 0;
  uint32_t attempts = 0;
};

struct Summary {
  std::vector<MeterOutcome> meters;  // in fleet file order
  uint32_t metersOk = 0;
  uint32_t metersFailed = 0;
  uint64_t entriesNew = 0;
  uint64_t bytes = 0;
  uint32_t calls = 0;
  double seconds = 0;
  bool interrupted = false;
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

class Collector {
 public:
  Collector(const Fleet& fleet, Store& store, CollectSettings settings);

  // Runs the whole collection; returns when every line is done or the run
  // was stopped. Calls log() from the line threads for each meter that ends
  // an attempt. One run at a time per process (the link's progress callback
  // carries no context, so the lines share a small table of them).
  Summary run(const std::function<void(const MeterOutcome&, bool willRetry)>& log);

  // Safe from any thread while run() works.
  std::vector<LineActivity> activity() const;

 private:
  void runLine(size_t lineIndex, int64_t runId,
               const std::function<void(const MeterOutcome&, bool)>& log);
  void setActivity(size_t lineIndex, const std::string& meter, const std::string& stage,
                   uint64_t entries);
  friend class MeterSession;

  const Fleet& fleet_;
  Store& store_;
  CollectSettings settings_;
  std::vector<MeterOutcome> outcomes_;  // one per meter; each written by its line's thread
  mutable std::mutex activityLock_;
  std::vector<LineActivity> activity_;
};

// Gives every line named by device path a COM number of its own that no
// line uses and points the device map at the path. Call before collecting,
// while no other thread runs requests.
bool mapDeviceLines(Fleet* fleet, std::string* error);

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
