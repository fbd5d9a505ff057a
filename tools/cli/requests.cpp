#include "requests.h"

#include <algorithm>
#include <cstring>

#include "entry_numbers.h"
#include "line_timing.h"
#include "progress_bar.h"

namespace vb::cli {

namespace {

// Runs the prepared request with the progress bar around it.
void runWithProgress(MeterLink& link, const char* label, Outcome* outcome) {
  ProgressBar::begin(label);
  outcome->succeeded = link.run(&outcome->result);
  ProgressBar::end();
}

void pointAtHeader(LoggerData& logger, DownloadRecord& record) {
  if (logger.totalsLogger()) {
    logger.totalsHeader.recordSize = sizeof(TotalsHeaderRecord);
    record.header = &logger.totalsHeader;
  } else {
    logger.dataHeader.recordSize = sizeof(DataHeaderRecord);
    record.header = &logger.dataHeader;
  }
}

}  // namespace

Outcome requestDib(MeterLink& link) {
  Outcome outcome;
  outcome.request = Command::Dib;
  link.next(VB_REQ_DIB);
  runWithProgress(link, "dib", &outcome);
  outcome.dib = link.dib();
  return outcome;
}

Outcome requestVersions(MeterLink& link) {
  Outcome outcome;
  outcome.request = Command::Versions;
  RequestRecord& record = link.next(VB_REQ_VERSIONS);
  record.download = &outcome.versions;
  runWithProgress(link, "versions", &outcome);
  return outcome;
}

Outcome requestHeader(MeterLink& link, const DownloadOptions& download) {
  Outcome outcome;
  outcome.request = Command::Header;
  outcome.logger.logNo = download.logNo;
  DownloadRecord record{};
  pointAtHeader(outcome.logger, record);
  RequestRecord& request = link.next(VB_REQ_HEADER);
  request.logNo = static_cast<int16_t>(download.logNo);
  request.download = &record;
  runWithProgress(link, "header", &outcome);
  outcome.dib = link.dib();
  return outcome;
}

uint32_t downloadCapacity(const DownloadOptions& download, const LoggerData* earlierHeader) {
  if (download.capacity != 0) return download.capacity;
  uint64_t capacity = kDefaultCapacity;
  if (download.selection == Selection::Rsn) {
    capacity = static_cast<uint64_t>(download.to) - download.from + 1;
  }
  if (earlierHeader != nullptr && earlierHeader->logNo == download.logNo) {
    capacity = std::min<uint64_t>(capacity, earlierHeader->entriesHeld());
  }
  return static_cast<uint32_t>(std::min<uint64_t>(capacity, kMaxCapacity));
}

DownloadPlan planDownload(const ConnectionOptions& connection, const DownloadOptions& download,
                          const LoggerData* earlierHeader) {
  DownloadPlan plan;
  plan.capacity = downloadCapacity(download, earlierHeader);
  plan.baud = lineBaud(connection);
  plan.neededTimeoutMs = neededReceiveTimeoutMs(download.logNo, plan.capacity, plan.baud);
  plan.receiveTimeoutMs =
      connection.receiveTimeoutGiven ? connection.receiveTimeoutMs : plan.neededTimeoutMs;
  return plan;
}

Outcome requestDownload(MeterLink& link, const DownloadOptions& download,
                        const DownloadPlan& plan) {
  Outcome outcome;
  outcome.request = Command::Download;
  LoggerData& logger = outcome.logger;
  logger.logNo = download.logNo;
  logger.raw = download.raw;
  const uint32_t capacity = plan.capacity;

  DownloadRecord record{};
  pointAtHeader(logger, record);
  record.capacity = capacity;
  if (logger.totalsLogger()) {
    logger.totals.resize(capacity);
    record.entries = logger.totals.data();
  } else if (logger.raw) {
    logger.rawPairs.resize(capacity);
    record.entries = logger.rawPairs.data();
  } else {
    logger.convertedPairs.resize(capacity);
    record.entries = logger.convertedPairs.data();
  }

  RequestRecord& request =
      link.next(download.raw ? VB_REQ_DOWNLOAD_RAW : VB_REQ_DOWNLOAD_CONVERTED);
  request.logNo = static_cast<int16_t>(download.logNo);
  request.download = &record;
  request.specifier = downloadSpecifier(download);
  // Host time values past 2038 do not fit a signed 32-bit field: the record
  // carries their bit pattern, which the library takes back as unsigned.
  request.rangeStart = static_cast<int32_t>(download.from);
  request.rangeEnd = static_cast<int32_t>(download.to);
  request.setTimeMode = download.setTimeMode;
  request.receiveTimeout = plan.receiveTimeoutMs;
  runWithProgress(link, "download", &outcome);
  outcome.dib = link.dib();

  uint32_t count = 0;
  if (outcome.succeeded) {
    count = logger.totalsLogger() ? logger.totalsHeader.count : logger.dataHeader.count;
    count = std::min(count, capacity);
  }
  logger.totals.resize(logger.totalsLogger() ? count : 0);
  logger.rawPairs.resize(!logger.totalsLogger() && logger.raw ? count : 0);
  logger.convertedPairs.resize(!logger.totalsLogger() && !logger.raw ? count : 0);
  if (outcome.succeeded) {
    logger.firstEntryRsn = firstEntryRsn(logger, download, capacity);
    logger.mayBeCut = count == capacity && download.selection != Selection::Rsn &&
                      logger.entriesHeld() > capacity;
  }
  return outcome;
}

Outcome requestMessage(MeterLink& link, const std::string& text, uint32_t room) {
  Outcome outcome;
  outcome.request = Command::Message;
  // The text goes out with its NUL; the answer comes back in the same
  // buffer, whose untouched rest stays zero.
  std::vector<unsigned char> buffer(room, 0);
  std::memcpy(buffer.data(), text.data(), std::min<size_t>(text.size(), room - 1));
  RequestRecord& request = link.next(VB_REQ_MESSAGE);
  request.data = buffer.data();
  request.dataLength = room;
  runWithProgress(link, "message", &outcome);
  if (outcome.succeeded) {
    // The library does not say how long the answer is: take it up to the
    // first NUL, within the buffer.
    auto end = std::find(buffer.begin(), buffer.end(), 0);
    outcome.answer.assign(buffer.begin(), end);
  }
  return outcome;
}

}  // namespace vb::cli
