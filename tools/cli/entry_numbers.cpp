#include "entry_numbers.h"

#include <algorithm>

#include "meter_time.h"

namespace vb::cli {

namespace {

// The header fields both kinds of logger share, and the entries' own times
// where they carry them (totals records do, pairs do not).
struct LoggerSpan {
  uint32_t firstRsn;
  uint32_t lastRsn;
  uint32_t firstTime;
  uint32_t lastTime;
  uint32_t interval;  // 0 for the totals logger, which has none
};

LoggerSpan spanOf(const LoggerData& logger) {
  return {logger.firstRsn(), logger.lastRsn(), logger.firstTime(), logger.lastTime(),
          logger.totalsLogger() ? 0u : logger.dataHeader.loggingInterval};
}

uint64_t ceilDiv(uint64_t a, uint64_t b) { return (a + b - 1) / b; }

// Pairs are logged every interval from the first pair; the header's last
// pair must sit where that count puts it, or the times cannot be trusted.
bool pairsRegular(const LoggerSpan& span) {
  if (!validMeterTime(span.firstTime) || span.interval == 0) return false;
  if (!validMeterTime(span.lastTime) || span.lastRsn < span.firstRsn) return true;
  const uint64_t reached =
      span.firstTime + uint64_t{span.lastRsn - span.firstRsn} * span.interval;
  return reached == span.lastTime;
}

// Record number of the first entry, fixed by where the selection starts.
std::optional<uint32_t> fromStart(const LoggerData& logger, const LoggerSpan& span,
                                  const DownloadOptions& download, size_t count) {
  switch (download.selection) {
    case Selection::All:
      return span.firstRsn;
    case Selection::Rsn:
      // As many entries as the range names: the range's first one came.
      if (count == uint64_t{download.to} - download.from + 1) return download.from;
      return std::max(download.from, span.firstRsn);
    case Selection::Time:
      break;
  }
  if (!validMeterTime(span.firstTime)) return std::nullopt;
  if (logger.totalsLogger()) {
    // The first record is in the selection, and the first entry is that
    // record by its own time.
    const bool startsAtFirst = download.from <= span.firstTime && span.firstTime <= download.to &&
                               count > 0 && logger.totals.front().dateTime == span.firstTime;
    return startsAtFirst ? std::optional<uint32_t>(span.firstRsn) : std::nullopt;
  }
  if (download.from <= span.firstTime) return span.firstRsn;
  if (!pairsRegular(span)) return std::nullopt;
  const uint64_t steps = ceilDiv(download.from - span.firstTime, span.interval);
  if (span.firstRsn + steps > UINT32_MAX) return std::nullopt;
  return static_cast<uint32_t>(span.firstRsn + steps);
}

// Record number of the last entry, fixed by where the selection ends; only
// asked when every entry of the reply was kept.
std::optional<uint32_t> lastFromEnd(const LoggerData& logger, const LoggerSpan& span,
                                    const DownloadOptions& download) {
  switch (download.selection) {
    case Selection::All:
      return span.lastRsn;
    case Selection::Rsn:
      return std::min(download.to, span.lastRsn);
    case Selection::Time:
      break;
  }
  if (!validMeterTime(span.lastTime)) return std::nullopt;
  if (logger.totalsLogger()) {
    const bool endsAtLast = download.from <= span.lastTime && span.lastTime <= download.to &&
                            !logger.totals.empty() &&
                            logger.totals.back().dateTime == span.lastTime;
    return endsAtLast ? std::optional<uint32_t>(span.lastRsn) : std::nullopt;
  }
  if (download.to >= span.lastTime) return span.lastRsn;
  // Counted back from the last pair: what the header says about the last
  // entry holds even when its first time is not valid.
  if (span.interval == 0) return std::nullopt;
  const uint64_t steps = ceilDiv(span.lastTime - download.to, span.interval);
  if (steps > span.lastRsn) return std::nullopt;
  return static_cast<uint32_t>(span.lastRsn - steps);
}

}  // namespace

bool validMeterTime(uint32_t hostTime) {
  return hostTime > kEarliestMeterTime && hostTime <= kLatestMeterTime;
}

std::optional<uint32_t> firstEntryRsn(const LoggerData& logger, const DownloadOptions& download,
                                      uint32_t capacity) {
  const LoggerSpan span = spanOf(logger);
  const size_t count = logger.entryCount();
  // Without a valid time of its first entry, the header's first-entry fields
  // are not believed; its last entry then numbers the entries.
  const bool firstBelieved = validMeterTime(span.firstTime);
  std::optional<uint32_t> first;
  if (firstBelieved) first = fromStart(logger, span, download, count);
  if (!firstBelieved && download.selection == Selection::Rsn &&
      count == uint64_t{download.to} - download.from + 1) {
    first = download.from;
  }
  if (count > 0 && count < capacity) {
    const std::optional<uint32_t> last = lastFromEnd(logger, span, download);
    if (last && *last + uint64_t{1} >= count) {
      const uint32_t fromLast = static_cast<uint32_t>(*last + 1 - count);
      // Two answers that differ show that one of them is wrong.
      if (first && *first != fromLast) return std::nullopt;
      first = fromLast;
    }
  }
  if (!first) return std::nullopt;
  if (count > 0 && *first + uint64_t{count} - 1 > span.lastRsn) return std::nullopt;
  if (firstBelieved && *first < span.firstRsn) return std::nullopt;
  return first;
}

std::optional<uint32_t> LoggerData::entryRsn(size_t index) const {
  if (!firstEntryRsn || *firstEntryRsn + uint64_t{index} > UINT32_MAX) return std::nullopt;
  return static_cast<uint32_t>(*firstEntryRsn + index);
}

std::optional<uint32_t> LoggerData::entryTime(size_t index) const {
  if (totalsLogger()) return totals[index].dateTime;
  const std::optional<uint32_t> rsn = entryRsn(index);
  return rsn ? pairTime(dataHeader, *rsn) : std::nullopt;
}

std::optional<uint32_t> pairTime(const DataHeaderRecord& header, uint32_t rsn) {
  const LoggerSpan span{header.firstPairRSN, header.lastPairRSN, header.firstPairDateTime,
                        header.lastPairDateTime, header.loggingInterval};
  if (!pairsRegular(span) || rsn < span.firstRsn) return std::nullopt;
  const uint64_t time = span.firstTime + uint64_t{rsn - span.firstRsn} * span.interval;
  if (time > kLatestMeterTime) return std::nullopt;
  return static_cast<uint32_t>(time);
}

}  // namespace vb::cli
