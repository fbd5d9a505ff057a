// What the collector tells an MQTT broker, as messages for the store's
// outbox (topics below the prefix, JSON payloads with times as ISO 8601,
// meter times without a zone and host times in UTC, and units named; ID is
// the meter's id with '/', '+', '#' and control characters made '_'):
//   meter/ID/reading            after each attempt: per logger the newest entry,
//                               entries new, the outcome; retained
//   meter/ID/entries/LOGGER     every new entry, in record order, in batches
//   meter/ID/alarm/KIND[/N]     the alarm when raised (retained), an empty
//                               retained message when cleared (/N: logger N's)
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "alarms.h"
#include "collector.h"
#include "store.h"

namespace vb::fleet {

// Entries a single entries message carries at most.
inline constexpr size_t kEntriesPerMessage = 500;

// The newest entry of a logger as a reading reports it.
struct NewestEntry {
  int logNo = 0;
  uint64_t entriesNew = 0;
  bool converted = false;
  std::optional<PairEntry> pair;                          // loggers 1 and 2
  std::optional<std::pair<uint32_t, TotalsRecord>> totals;  // logger 3
};

OutboxMessage readingMessage(const MeterOutcome& outcome, int64_t at,
                             const std::vector<NewestEntry>& loggers);
// The pairs or totals of one download as entries messages.
std::vector<OutboxMessage> entriesMessages(const std::string& meter, int logNo, int epoch,
                                           const DownloadBatch& batch);
OutboxMessage alarmMessage(const AlarmChange& change);

// ISO 8601: a meter time (no zone) and a UTC host time.
std::string meterTimeText(uint32_t hostTime);
std::string utcTimeText(int64_t seconds);

}  // namespace vb::fleet
