#include "collector.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

#include "platform/clock.h"
#include "platform/devicemap.h"
#include "platform/text.h"
#include "platform/thread.h"
#include "vantbrook/vantbrook.h"

namespace vb::fleet {

namespace {

constexpr int32_t kNone = -1;
constexpr int kTotalsLogger = 3;
constexpr int16_t kSelectByRsn = 1;
// Reply sizes of a download: fixed part and bytes per entry.
constexpr uint64_t kPairReplyBase = 332;
constexpr uint64_t kPairEntryBytes = 4;
constexpr uint64_t kTotalsReplyBase = 572;
constexpr uint64_t kTotalsEntryBytes = 40;
// Entries one download request asks for at most: bounds the memory of a
// request and makes a long first collection durable in steps.
constexpr uint32_t kMaxEntriesPerDownload = 20000;
// Bits per byte on the line (8N1 or 7E1 with start and stop bits).
constexpr uint64_t kBitsPerByte = 10;
// Frame headers, checksums, acknowledgements and the odd resend.
constexpr uint64_t kLineOverheadPercent = 150;
constexpr uint32_t kMaxBackoffMs = 600000;
constexpr uint32_t kIdlePollMs = 100;
constexpr uint32_t kJoinPollMs = 1000;

// Reply bytes beyond the entries: reply header, logger and selection words,
// and the logger header with its texts.
constexpr uint64_t kDataHeaderFixedBytes = 14 + 62 + 1;
constexpr uint64_t kTotalsHeaderFixedBytes = 14 + 50 + 2;

// The link's progress callback has no context: each line takes one of
// these slots, whose callback reports into the slot and answers the stop
// request.
constexpr size_t kSlotCount = static_cast<size_t>(kLastCom);
std::array<std::atomic<int>, kSlotCount> slotPercent{};
std::function<bool()> slotStop;  // set before the line threads start

template <size_t N>
int progressSlot(int percent) {
  slotPercent[N].store(percent, std::memory_order_relaxed);
  return slotStop && slotStop() ? 1 : 0;
}

template <size_t... N>
constexpr std::array<VantbrookProgressCallback, sizeof...(N)> makeSlots(
    std::index_sequence<N...>) {
  return {&progressSlot<N>...};
}
const std::array<VantbrookProgressCallback, kSlotCount> kSlotCallbacks =
    makeSlots(std::make_index_sequence<kSlotCount>());

int64_t utcNow() { return platform::wallClockSeconds(); }

std::string fieldText(const char* field, size_t size) { return std::string(field, strnlen(field, size)); }

bool stopping(const CollectSettings& settings) {
  return settings.stopRequested && settings.stopRequested();
}

}  // namespace

uint32_t receiveTimeoutFor(uint64_t bytes, uint32_t baud, uint32_t shortReplyTimeoutMs) {
  const uint64_t lineMs = bytes * kBitsPerByte * 1000 / std::max<uint32_t>(baud, 1);
  const uint64_t total = lineMs * kLineOverheadPercent / 100 + shortReplyTimeoutMs;
  return static_cast<uint32_t>(std::min<uint64_t>(total, UINT32_MAX));
}

uint32_t hostMeterTimeNow() {
  const int64_t local =
      platform::wallClockSeconds() - int64_t{platform::localZoneOffsetMinutesWest()} * 60;
  return static_cast<uint32_t>(std::clamp<int64_t>(local, 0, UINT32_MAX));
}

// One attempt at one meter: a held link, identity and versions when due,
// each logger's header and the download of what is new, then the release.
class MeterSession {
 public:
  MeterSession(Collector& collector, size_t lineIndex, const MeterConfig& meter, int64_t runId)
      : collector_(collector),
        store_(collector.store_),
        settings_(collector.settings_),
        line_(collector.fleet_.lines[lineIndex]),
        lineIndex_(lineIndex),
        meter_(meter),
        runId_(runId) {}

  MeterOutcome run();

 private:
  struct Logger {
    int logNo = 0;
    DataHeaderRecord data{};
    TotalsHeaderRecord totals{};
    LoggerPosition position;
    uint32_t oldest = 0;
    uint32_t newest = 0;
  };

  void prepareRecord();
  RequestRecord& next(int16_t code);
  bool request(int16_t code, const char* stage);
  bool fail(int32_t code, const std::string& message);
  bool readIdentity();
  bool readVersions();
  bool readHeader(int logNo, bool listed, Logger* logger, bool* skip);
  bool placeEpoch(Logger* logger);
  bool download(Logger* logger, uint32_t from, uint32_t to, char setTimeMode);
  void checkClock(uint32_t meterTime);
  void release();

  Collector& collector_;
  Store& store_;
  const CollectSettings& settings_;
  const LineConfig& line_;
  size_t lineIndex_;
  const MeterConfig& meter_;
  int64_t runId_;
  int64_t meterRow_ = 0;
  int64_t attemptId_ = 0;
  RequestRecord record_{};
  DibRecord dib_{};
  ResultRecord result_{};
  MeterOutcome outcome_;
  bool clockChecked_ = false;
  bool clockToSet_ = false;
  int64_t drift_ = 0;
};

void MeterSession::prepareRecord() {
  record_.linkHandle = kNone;
  record_.portHandle = kNone;
  record_.portNumber = static_cast<int16_t>(line_.com);
  std::string protocol = "COM" + std::to_string(line_.com);
  if (line_.kind == LineKind::Pnet) protocol = "pnet";
  if (line_.kind == LineKind::Dial) protocol = "dial";
  std::memcpy(record_.protocol, protocol.data(), sizeof record_.protocol);
  platform::copyField(record_.address, sizeof record_.address, meter_.address.c_str());
  platform::copyTerminated(record_.password, sizeof record_.password, meter_.password.c_str());
  record_.frameTimeout = line_.frameTimeoutMs;
  record_.commandAttempts = line_.commandAttempts;
  record_.reconnectAttempts = line_.reconnectAttempts;
  record_.resumeLimit = line_.resumeLimit;
  record_.progressCallback = kSlotCallbacks[lineIndex_];
  dib_.supplier = meter_.supplier;
}

RequestRecord& MeterSession::next(int16_t code) {
  record_.requestCode = code;
  record_.receiveTimeout = line_.receiveTimeoutMs;
  record_.download = nullptr;
  record_.data = nullptr;
  record_.dataLength = 0;
  record_.specifier = 0;
  record_.rangeStart = 0;
  record_.rangeEnd = 0;
  record_.logNo = 0;
  record_.setTimeMode = 0;
  return record_;
}

bool MeterSession::request(int16_t code, const char* stage) {
  collector_.setActivity(lineIndex_, meter_.id, stage, outcome_.entriesNew);
  slotPercent[lineIndex_].store(0, std::memory_order_relaxed);
  record_.requestCode = code;
  result_ = ResultRecord{};
  if (stopping(settings_)) {
    result_.code = VB_USER_ABORT;
    platform::copyField(result_.source, sizeof result_.source, kCollectorSource);
    platform::copyField(result_.message, sizeof result_.message, "Interrupted");
    return false;
  }
  return VantbrookRequest(&dib_, &record_, &result_) == 1;
}

bool MeterSession::fail(int32_t code, const std::string& message) {
  result_.code = code;
  platform::copyField(result_.source, sizeof result_.source, kCollectorSource);
  platform::copyField(result_.message, sizeof result_.message, message.c_str());
  return false;
}

bool MeterSession::readIdentity() {
  next(VB_REQ_DIB);
  if (!request(VB_REQ_DIB, "identity")) return false;
  if (store_.recordIdentity(meterRow_, dib_, utcNow())) {
    store_.recordEvent(meterRow_, 0, utcNow(), kEventIdentityChanged, 0,
                       "identity block changed");
  }
  return true;
}

bool MeterSession::readVersions() {
  VersionRecord versions{};
  next(VB_REQ_VERSIONS).download = &versions;
  if (!request(VB_REQ_VERSIONS, "versions")) return false;
  store_.recordVersions(meterRow_, versions, utcNow());
  return true;
}

bool MeterSession::readHeader(int logNo, bool listed, Logger* logger, bool* skip) {
  logger->logNo = logNo;
  DownloadRecord download{};
  download.header = logNo == kTotalsLogger ? static_cast<void*>(&logger->totals)
                                           : static_cast<void*>(&logger->data);
  RequestRecord& record = next(VB_REQ_HEADER);
  record.logNo = static_cast<int16_t>(logNo);
  record.download = &download;
  const std::string stage = "header " + std::to_string(logNo);
  const std::string before = std::string(reinterpret_cast<const char*>(&dib_), sizeof dib_);
  if (!request(VB_REQ_HEADER, stage.c_str())) {
    // A logger the meter does not keep is left out, unless the fleet file
    // asked for it by number.
    *skip = !listed && result_.code == VB_LOGGER_DOES_NOT_EXIST;
    return false;
  }
  // The header's "DIB changed" flag makes the library read the identity
  // block again before it returns.
  if (before != std::string(reinterpret_cast<const char*>(&dib_), sizeof dib_) &&
      store_.recordIdentity(meterRow_, dib_, utcNow())) {
    store_.recordEvent(meterRow_, logNo, utcNow(), kEventIdentityChanged, 0,
                       "identity block changed");
  }
  uint32_t flags = 0;
  uint32_t meterTime = 0;
  if (logNo == kTotalsLogger) {
    flags = logger->totals.statusFlags;
    meterTime = logger->totals.currentDateTime;
    logger->oldest = logger->totals.firstRecordRSN;
    logger->newest = logger->totals.lastRecordRSN;
  } else {
    flags = logger->data.statusFlags;
    meterTime = logger->data.currentDateTime;
    logger->oldest = logger->data.firstPairRSN;
    logger->newest = logger->data.lastPairRSN;
  }
  if ((flags & ~VB_STATUS_DIB_CHANGED) != 0) {
    store_.recordEvent(meterRow_, logNo, utcNow(), kEventStatusFlags, flags, "status flags set");
  }
  checkClock(meterTime);
  return placeEpoch(logger);
}

void MeterSession::checkClock(uint32_t meterTime) {
  if (clockChecked_) return;
  clockChecked_ = true;
  drift_ = int64_t{meterTime} - int64_t{hostMeterTimeNow()};
  const int64_t size = drift_ < 0 ? -drift_ : drift_;
  if (size <= int64_t{meter_.clockDriftLimitS}) {
    drift_ = 0;
    return;
  }
  store_.recordEvent(meterRow_, 0, utcNow(), kEventClockDrift, drift_,
                     "meter clock " + std::to_string(drift_) + " s from the host's");
  clockToSet_ = meter_.setClock;
}

bool MeterSession::placeEpoch(Logger* logger) {
  const int logNo = logger->logNo;
  const bool pairs = logNo != kTotalsLogger;
  const uint32_t resetTime = pairs ? logger->data.originalLoggerResetDateTime : 0;
  logger->position = store_.loggerPosition(meterRow_, logNo);
  const LoggerPosition& known = logger->position;
  bool restarted = false;
  if (known.epochId != 0) {
    // A restart shows as a new reset time, or (the totals logger keeps none)
    // as a newest record older than one already stored.
    restarted = (pairs && resetTime != known.resetTime) ||
                (known.lastRsn && logger->newest < *known.lastRsn);
  }
  if (known.epochId != 0 && !restarted) return true;
  if (restarted) {
    store_.recordEvent(meterRow_, logNo, utcNow(), kEventLoggerRestarted, resetTime,
                       "logger restarted; epoch " + std::to_string(known.epochNumber + 1) +
                           " begins");
  }
  logger->position = store_.beginEpoch(meterRow_, logNo, resetTime, utcNow());
  if (logger->position.epochId == 0) return fail(kCodeStoreFailed, "cannot begin an epoch");
  return true;
}

bool MeterSession::download(Logger* logger, uint32_t from, uint32_t to, char setTimeMode) {
  const int logNo = logger->logNo;
  const bool totals = logNo == kTotalsLogger;
  const uint32_t capacity = to - from + 1;
  DataHeaderRecord dataHeader{};
  TotalsHeaderRecord totalsHeader{};
  std::vector<uint8_t> entries(uint64_t{capacity} *
                               (totals ? sizeof(TotalsRecord)
                                       : meter_.convert ? sizeof(ConvertedPair) : sizeof(RawPair)));
  DownloadRecord record{};
  record.header = totals ? static_cast<void*>(&totalsHeader) : static_cast<void*>(&dataHeader);
  record.entries = entries.data();
  record.capacity = capacity;

  const int16_t code = meter_.convert ? VB_REQ_DOWNLOAD_CONVERTED : VB_REQ_DOWNLOAD_RAW;
  RequestRecord& request = next(code);
  request.logNo = static_cast<int16_t>(logNo);
  request.download = &record;
  request.specifier = kSelectByRsn;
  request.rangeStart = static_cast<int32_t>(from);
  request.rangeEnd = static_cast<int32_t>(to);
  request.setTimeMode = setTimeMode;
  const uint64_t replyBytes = totals ? kTotalsReplyBase + kTotalsEntryBytes * capacity
                                     : kPairReplyBase + kPairEntryBytes * capacity;
  request.receiveTimeout = receiveTimeoutFor(replyBytes, line_.baud, line_.receiveTimeoutMs);

  const std::string stage = "download " + std::to_string(logNo);
  if (!this->request(code, stage.c_str())) {
    // Nothing in the range: the meter has nothing newer, which is no fault.
    return result_.code == VB_NO_DATA_IN_RANGE;
  }
  const uint32_t count = totals ? totalsHeader.count : dataHeader.count;
  const uint32_t first = totals ? totalsHeader.firstRecordRSN : dataHeader.firstPairRSN;
  // Entries come in record order from the first one the logger still holds
  // within the range.
  const uint32_t firstRsn = std::max(from, first);
  if (count > capacity || (count > 0 && uint64_t{firstRsn} + count - 1 > to)) {
    return fail(kCodeInconsistent, "the download of logger " + std::to_string(logNo) +
                                       " holds more entries than its range");
  }
  if (!totals && dataHeader.originalLoggerResetDateTime != logger->position.resetTime) {
    return fail(kCodeInconsistent,
                "logger " + std::to_string(logNo) + " was restarted during the collection");
  }
  DownloadBatch batch;
  batch.epochId = logger->position.epochId;
  batch.attemptId = attemptId_;
  batch.logNo = logNo;
  batch.converted = meter_.convert;
  batch.readAt = utcNow();
  batch.dataHeader = totals ? nullptr : &dataHeader;
  batch.totalsHeader = totals ? &totalsHeader : nullptr;
  batch.entries = entries.data();
  batch.count = count;
  batch.firstRsn = firstRsn;
  std::string error;
  const std::optional<uint64_t> added = store_.storeDownload(batch, &error);
  if (!added) return fail(kCodeStoreFailed, error);
  outcome_.entriesNew += *added;
  const size_t siteBytes = strnlen(totals ? totalsHeader.siteId : dataHeader.siteId, VB_TEXT_FIELD);
  outcome_.bytes += (totals ? kTotalsHeaderFixedBytes + strnlen(totalsHeader.auxText, VB_TEXT_FIELD)
                            : kDataHeaderFixedBytes) +
                    siteBytes + uint64_t{count} * (totals ? kTotalsEntryBytes : kPairEntryBytes);
  logger->position.lastRsn = firstRsn + count - 1;
  return true;
}

void MeterSession::release() {
  if (record_.linkHandle == kNone) return;
  ResultRecord ignored{};
  next(VB_REQ_RELEASE);
  collector_.setActivity(lineIndex_, meter_.id, "release", outcome_.entriesNew);
  VantbrookRequest(&dib_, &record_, &ignored);
}

MeterOutcome MeterSession::run() {
  outcome_.meter = meter_.id;
  outcome_.line = line_.name;
  meterRow_ = store_.meterRow(meter_.id, line_.name);
  attemptId_ = store_.beginAttempt(runId_, meterRow_, line_.name, utcNow());
  prepareRecord();

  bool ok = request(VB_REQ_HOLD, "calling");
  if (ok) ++outcome_.calls;
  const bool firstContact = ok && !store_.hasVersions(meterRow_);
  if (ok && firstContact) ok = readIdentity() && readVersions();

  std::vector<int> logNos = meter_.loggers;
  const bool listed = !logNos.empty();
  if (!listed) logNos = {1, 2, 3};
  std::vector<Logger> loggers;
  for (size_t i = 0; ok && i < logNos.size(); ++i) {
    Logger logger;
    bool skip = false;
    if (readHeader(logNos[i], listed, &logger, &skip)) {
      loggers.push_back(logger);
    } else if (skip) {
      // The failed header closed the held link; the next request opens it
      // again, which is a second call.
      if (record_.linkHandle == kNone) {
        ok = request(VB_REQ_HOLD, "calling");
        if (ok) ++outcome_.calls;
      }
    } else {
      ok = false;
    }
  }

  // What each logger has that the store lacks.
  struct Range {
    uint64_t from = 0;
    uint64_t to = 0;
    bool any() const { return from <= to; }
  };
  std::vector<Range> ranges;
  for (const Logger& logger : loggers) {
    Range range;
    range.to = logger.newest;
    if (logger.position.lastRsn) {
      range.from = uint64_t{*logger.position.lastRsn} + 1;
    } else {
      range.from = logger.oldest;
      if (settings_.since && logger.logNo != kTotalsLogger && logger.data.loggingInterval > 0 &&
          *settings_.since > logger.data.firstPairDateTime) {
        const uint32_t interval = logger.data.loggingInterval;
        range.from += (uint64_t{*settings_.since} - logger.data.firstPairDateTime + interval - 1) /
                      interval;
      }
    }
    // Records older than the oldest one the logger holds were overwritten.
    range.from = std::max<uint64_t>(range.from, logger.oldest);
    // An empty logger reports a newest record just before its oldest.
    if (logger.newest < logger.oldest) range = Range{1, 0};
    ranges.push_back(range);
  }
  char setTimeMode = clockToSet_ ? 'B' : 0;
  const bool anyNew = std::any_of(ranges.begin(), ranges.end(),
                                  [](const Range& range) { return range.any(); });
  if (ok && setTimeMode != 0 && !anyNew) {
    // Nothing new, but the clock is to be set: that goes with a download,
    // here of a newest record the store already holds.
    for (size_t i = 0; i < loggers.size(); ++i) {
      if (loggers[i].newest >= loggers[i].oldest) {
        ranges[i].from = ranges[i].to = loggers[i].newest;
        break;
      }
    }
  }
  for (size_t i = 0; ok && i < loggers.size(); ++i) {
    for (uint64_t from = ranges[i].from; ok && from <= ranges[i].to;) {
      const uint32_t to = static_cast<uint32_t>(
          std::min<uint64_t>(ranges[i].to, from + kMaxEntriesPerDownload - 1));
      ok = download(&loggers[i], static_cast<uint32_t>(from), to, setTimeMode);
      if (ok && setTimeMode != 0 && result_.code == VB_OK) {
        store_.recordEvent(meterRow_, 0, utcNow(), kEventClockSet, drift_,
                           "meter clock set to the host's");
        setTimeMode = 0;
      }
      from = uint64_t{to} + 1;
    }
  }
  if (ok) ok = request(VB_REQ_RELEASE, "release");
  // A stop refuses the release request; the call is hung up all the same.
  release();

  outcome_.ok = ok;
  outcome_.code = result_.code;
  outcome_.source = fieldText(result_.source, sizeof result_.source);
  outcome_.message = fieldText(result_.message, sizeof result_.message);
  AttemptOutcome attempt;
  attempt.endedAt = utcNow();
  attempt.code = outcome_.code;
  attempt.source = outcome_.source;
  attempt.message = outcome_.message;
  attempt.entries = outcome_.entriesNew;
  attempt.bytes = outcome_.bytes;
  store_.endAttempt(attemptId_, attempt);
  if (ok) store_.markSuccess(meterRow_, attempt.endedAt);
  return outcome_;
}

bool mapDeviceLines(Fleet* fleet, std::string* error) {
  std::array<bool, kLastCom + 1> taken{};
  for (const LineConfig& line : fleet->lines) taken[static_cast<size_t>(line.com)] = true;
  int com = kFirstCom;
  for (LineConfig& line : fleet->lines) {
    if (line.device.empty()) continue;
    while (com <= kLastCom && taken[static_cast<size_t>(com)]) ++com;
    if (com > kLastCom) {
      *error = "no COM number left for line '" + line.name + "'";
      return false;
    }
    if (!platform::setComDevicePath(com, line.device)) {
      *error = "cannot map COM" + std::to_string(com) + " to " + line.device;
      return false;
    }
    line.com = com;
    taken[static_cast<size_t>(com)] = true;
  }
  return true;
}

Collector::Collector(const Fleet& fleet, Store& store, CollectSettings settings)
    : fleet_(fleet), store_(store), settings_(std::move(settings)) {
  outcomes_.resize(fleet.meters.size());
  activity_.resize(fleet.lines.size());
  for (size_t i = 0; i < fleet.lines.size(); ++i) activity_[i].line = fleet.lines[i].name;
}

void Collector::setActivity(size_t lineIndex, const std::string& meter, const std::string& stage,
                            uint64_t entries) {
  std::lock_guard<std::mutex> guard(activityLock_);
  LineActivity& activity = activity_[lineIndex];
  activity.meter = meter;
  activity.stage = stage;
  activity.entries = entries;
}

std::vector<LineActivity> Collector::activity() const {
  std::lock_guard<std::mutex> guard(activityLock_);
  std::vector<LineActivity> copy = activity_;
  for (size_t i = 0; i < copy.size() && i < kSlotCount; ++i) {
    copy[i].percent = std::clamp(slotPercent[i].load(std::memory_order_relaxed), 0, 100);
  }
  return copy;
}

void Collector::runLine(size_t lineIndex, int64_t runId,
                        const std::function<void(const MeterOutcome&, bool)>& log) {
  struct Turn {
    size_t meter;
    std::optional<int64_t> lastSuccess;
    uint32_t attempts = 0;
    uint64_t dueMs = 0;
  };
  std::vector<Turn> turns;
  for (size_t i = 0; i < fleet_.meters.size(); ++i) {
    if (fleet_.meters[i].lineIndex != lineIndex) continue;
    turns.push_back({i, store_.lastSuccess(fleet_.meters[i].id)});
    outcomes_[i].meter = fleet_.meters[i].id;
    outcomes_[i].line = fleet_.lines[lineIndex].name;
    outcomes_[i].code = kCodeNotAttempted;
    outcomes_[i].source = kCollectorSource;
    outcomes_[i].message = "Not attempted";
  }
  // The meter collected longest ago (or never) first; the file's order
  // among equals.
  std::stable_sort(turns.begin(), turns.end(), [](const Turn& a, const Turn& b) {
    if (a.lastSuccess.has_value() != b.lastSuccess.has_value()) return !a.lastSuccess.has_value();
    return a.lastSuccess.value_or(0) < b.lastSuccess.value_or(0);
  });

  while (!turns.empty() && !stopping(settings_)) {
    const uint64_t now = platform::nowMs();
    if (settings_.untilMs && now >= *settings_.untilMs) break;
    auto due = std::find_if(turns.begin(), turns.end(),
                            [now](const Turn& turn) { return turn.dueMs <= now; });
    if (due == turns.end()) {
      setActivity(lineIndex, "", "waiting to retry", 0);
      platform::sleepMs(kIdlePollMs);
      continue;
    }
    Turn turn = *due;
    turns.erase(due);
    const MeterConfig& meter = fleet_.meters[turn.meter];
    MeterSession session(*this, lineIndex, meter, runId);
    MeterOutcome outcome = session.run();
    MeterOutcome& total = outcomes_[turn.meter];
    outcome.attempts = ++turn.attempts;
    outcome.entriesNew += total.attempts > 0 ? total.entriesNew : 0;
    outcome.bytes += total.attempts > 0 ? total.bytes : 0;
    outcome.calls += total.attempts > 0 ? total.calls : 0;
    total = outcome;
    const bool retry = !outcome.ok && turn.attempts <= settings_.retries && !stopping(settings_);
    log(outcome, retry);
    if (retry) {
      const uint32_t shift = std::min<uint32_t>(turn.attempts - 1, 16);
      const uint64_t delay = std::min<uint64_t>(uint64_t{settings_.retryDelayMs} << shift,
                                                kMaxBackoffMs);
      turn.dueMs = platform::nowMs() + delay;
      // A retried meter goes to the back of its line.
      turns.push_back(turn);
    }
  }
  if (settings_.untilMs && !turns.empty() && !stopping(settings_)) {
    for (const Turn& turn : turns) {
      if (outcomes_[turn.meter].attempts == 0) {
        outcomes_[turn.meter].message = "Not attempted before the run's time limit";
      }
    }
  }
  std::lock_guard<std::mutex> guard(activityLock_);
  activity_[lineIndex].meter.clear();
  activity_[lineIndex].stage = "done";
  activity_[lineIndex].finished = true;
}

Summary Collector::run(const std::function<void(const MeterOutcome&, bool)>& log) {
  const uint64_t startMs = platform::nowMs();
  slotStop = settings_.stopRequested;
  const int64_t runId = store_.beginRun(fleet_.path, utcNow());

  std::vector<std::unique_ptr<platform::Thread>> threads;
  for (size_t i = 0; i < fleet_.lines.size(); ++i) {
    auto thread = std::make_unique<platform::Thread>();
    if (!thread->start([this, i, runId, &log] { runLine(i, runId, log); })) {
      runLine(i, runId, log);
      continue;
    }
    threads.push_back(std::move(thread));
  }
  for (auto& thread : threads) {
    while (!thread->joinFor(kJoinPollMs)) {
    }
  }

  Summary summary;
  summary.meters = outcomes_;
  for (const MeterOutcome& outcome : outcomes_) {
    (outcome.ok ? summary.metersOk : summary.metersFailed) += 1;
    summary.entriesNew += outcome.entriesNew;
    summary.bytes += outcome.bytes;
    summary.calls += outcome.calls;
  }
  summary.interrupted = stopping(settings_);
  summary.seconds = static_cast<double>(platform::nowMs() - startMs) / 1000.0;
  store_.endRun(runId, utcNow(), static_cast<int>(summary.metersOk),
                static_cast<int>(summary.metersFailed));
  return summary;
}

}  // namespace vb::fleet
