#include "collector.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>

#include "outbox_messages.h"
#include "pair_times.h"
#include "platform/clock.h"
#include "platform/devicemap.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/thread.h"
#include "schedule.h"
#include "vantbrook/brisel.h"
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
// request and makes a long first collection durable in steps. The reply of
// a block must also fit the link's receive buffer, which for 40-byte totals
// records is the tighter limit.
constexpr uint32_t kMaxEntriesPerDownload = 20000;
// Bits per byte on the line (8N1 or 7E1 with start and stop bits).
constexpr uint64_t kBitsPerByte = 10;
// Frame headers, checksums, acknowledgements and the odd resend.
constexpr uint64_t kLineOverheadPercent = 150;
constexpr uint32_t kMaxBackoffMs = 600000;
constexpr uint32_t kIdlePollMs = 100;
constexpr uint32_t kJoinPollMs = 1000;
// How often a run tells the store that it is still alive (and keeps its
// line leases).
constexpr uint64_t kRunRenewMs = 30000;
// How often a run waiting for a line asks whether it is free, and a line
// whose pool's meters others hold now whether one has come free.
constexpr uint32_t kLeasePollMs = 2000;
constexpr uint32_t kClaimPollMs = 1000;
// A meter of a pool collected this shortly before a run began counts as
// collected in that run: collectors of one fleet start at about the same
// time, but not at the same second.
constexpr int64_t kFreshSeconds = 300;
// How often an idle line of the service asks the store for a meter of its
// pool that came due.
constexpr int64_t kPoolLookS = 15;
// How long a meter's call waits for a store whose server is out of reach,
// and the pauses between its tries.
constexpr uint64_t kStoreRetryMs = 120000;
constexpr uint32_t kStoreRetryFirstMs = 500;
constexpr uint32_t kStoreRetryLongestMs = 5000;
// The service looks again at what is due at least this often, and checks
// every meter's time since its last collection this often.
constexpr int64_t kLongestIdleWaitS = 60;
constexpr uint64_t kLateCheckMs = 60000;
constexpr int64_t kSecondsPerDay = 86400;

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

// The host's local (standard) time: the day a calls-a-day budget counts,
// and the minute a meter's window is judged by.
int64_t localSeconds(int64_t utc) {
  return utc - int64_t{platform::localZoneOffsetMinutesWest()} * 60;
}
int64_t localDay(int64_t utc) { return localSeconds(utc) / kSecondsPerDay; }
int localMinuteOfDay(int64_t utc) {
  return static_cast<int>(localSeconds(utc) % kSecondsPerDay / 60);
}

std::string fieldText(const char* field, size_t size) { return std::string(field, strnlen(field, size)); }

bool stopping(const CollectSettings& settings) {
  return settings.stopRequested && settings.stopRequested();
}

// The port driver's text when the serial line itself did not open, as
// opposed to a call that failed.
constexpr char kPortOpenFailure[] = "Failed to open port";

// Failures of the line itself, where knowing which device was used helps.
bool lineFailure(int32_t code) {
  return code == VB_REQUEST_TIMEOUT || code == VB_PORT_DRIVER_ERROR ||
         code == VB_FRAME_RETRIES_FAILED || code == VB_UNSUPPORTED_CONTROL ||
         code == VB_UNSPECIFIED_LINK_ERROR;
}

// A value the meter's conversion could not give (not a number, infinite)
// is stored as absent.
std::optional<double> convertedValue(float value) {
  return std::isfinite(value) ? std::optional<double>(value) : std::nullopt;
}

}  // namespace

uint32_t entriesPerDownload(int logNo) {
  const bool totals = logNo == kTotalsLogger;
  const uint64_t base = totals ? kTotalsReplyBase : kPairReplyBase;
  const uint64_t perEntry = totals ? kTotalsEntryBytes : kPairEntryBytes;
  return static_cast<uint32_t>(
      std::min<uint64_t>(kMaxEntriesPerDownload, (BRISEL_MAX_MESSAGE_BYTES - base) / perEntry));
}

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
    uint64_t downloaded = 0;    // entries read this attempt
    uint64_t notConverted = 0;  // of their values, not converted
  };

  // One download's reply: the header and the entries in record order from
  // `firstRsn`.
  struct Fetched {
    DataHeaderRecord data{};
    TotalsHeaderRecord totals{};
    std::vector<uint8_t> entries;
    uint32_t count = 0;
    uint32_t firstRsn = 0;
    bool none = false;  // the meter had nothing in the range
  };

  void prepareRecord();
  RequestRecord& next(int16_t code);
  bool request(int16_t code, const char* stage);
  bool fail(int32_t code, const std::string& message);
  bool storeFailed(const std::string& error) { return fail(kCodeStoreFailed, error); }
  // Tries a write again while the store's server is out of reach (with
  // back-off, while the run may go on): what was downloaded is stored once
  // it is back, with the call still up.
  bool durably(const std::function<bool()>& write);
  bool event(int logNo, const char* kind, int64_t value, const std::string& detail);
  // Raises (on) or clears the meter's alarm of that kind.
  bool alarm(int logNo, const AlarmKind& kind, bool on, int64_t value, const std::string& detail);
  bool loggerAlarms(const Logger& logger);
  std::string failureText() const;
  bool readIdentity();
  bool readVersions();
  bool noteIdentity(int logNo);
  bool readHeader(int logNo, bool listed, Logger* logger, bool* skip);
  bool placeEpoch(Logger* logger);
  bool totalsRestarted(Logger* logger, bool* restarted);
  bool fetch(const Logger& logger, uint32_t from, uint32_t to, char setTimeMode, Fetched* out);
  bool download(Logger* logger, uint32_t from, uint32_t to, char setTimeMode);
  bool totalsStartSince(Logger* logger, uint32_t since, uint64_t* from);
  bool checkClock(uint32_t meterTime);
  void release();
  MeterOutcome finish(bool ok);
  // The reading an MQTT broker gets: each logger read, with its newest
  // entry; false (the attempt then fails) when the store cannot say.
  bool newestEntries(std::vector<NewestEntry>* entries, std::string* error);

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
  bool calling_ = false;  // the failure came while the call was set up
  std::vector<Logger> loggers_;  // the loggers this attempt read
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
  const size_t slot = collector_.progressSlot_[lineIndex_];
  record_.progressCallback = slot < kSlotCount ? kSlotCallbacks[slot] : nullptr;
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
  const size_t slot = collector_.progressSlot_[lineIndex_];
  if (slot < kSlotCount) slotPercent[slot].store(0, std::memory_order_relaxed);
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

bool MeterSession::durably(const std::function<bool()>& write) {
  uint32_t pauseMs = kStoreRetryFirstMs;
  const uint64_t deadline = platform::nowMs() + kStoreRetryMs;
  for (;;) {
    if (write()) return true;
    const uint64_t now = platform::nowMs();
    if (!store_.connectionLost() || stopping(settings_) || now >= deadline ||
        (settings_.untilMs && now >= *settings_.untilMs)) {
      return false;
    }
    collector_.setActivity(lineIndex_, meter_.id, "waiting for the store", outcome_.entriesNew);
    platform::sleepMs(pauseMs);
    pauseMs = std::min(pauseMs * 2, kStoreRetryLongestMs);
  }
}

bool MeterSession::fail(int32_t code, const std::string& message) {
  result_.code = code;
  platform::copyField(result_.source, sizeof result_.source, kCollectorSource);
  platform::copyField(result_.message, sizeof result_.message, message.c_str());
  // The message field is short; the outcome keeps the whole text.
  outcome_.message = message;
  return false;
}

bool MeterSession::event(int logNo, const char* kind, int64_t value, const std::string& detail) {
  std::string error;
  if (store_.recordEvent(meterRow_, logNo, utcNow(), kind, value, detail, &error)) return true;
  return storeFailed(error);
}

bool MeterSession::alarm(int logNo, const AlarmKind& kind, bool on, int64_t value,
                         const std::string& detail) {
  std::optional<AlarmChange> change;
  std::string error;
  const Store::AlarmMessage message = settings_.outbox ? alarmMessage : Store::AlarmMessage();
  const bool stored =
      on ? store_.raiseAlarm(meterRow_, meter_.id, logNo, kind, value, detail, utcNow(), &change,
                             &error, message)
         : store_.clearAlarm(meterRow_, meter_.id, logNo, kind, utcNow(), &change, &error,
                             message);
  if (!stored) return storeFailed(error);
  collector_.noteAlarm(change);
  return true;
}

// What a logger's downloads of this attempt left behind: records missing
// in its epoch, values not converted.
bool MeterSession::loggerAlarms(const Logger& logger) {
  std::string error;
  const std::optional<int64_t> holes = store_.epochHoles(logger.position.epochId, &error);
  if (!holes) return storeFailed(error);
  if (!alarm(logger.logNo, kAlarmRecordsMissing, *holes > 0, *holes,
             std::to_string(*holes) + " records missing in epoch " +
                 std::to_string(logger.position.epochNumber) + " of logger " +
                 std::to_string(logger.logNo))) {
    return false;
  }
  if (logger.notConverted > 0) {
    return alarm(logger.logNo, kAlarmValuesNotConverted, true,
                 static_cast<int64_t>(logger.notConverted),
                 std::to_string(logger.notConverted) + " values of logger " +
                     std::to_string(logger.logNo) + " could not be converted; stored as absent");
  }
  return logger.downloaded == 0 || alarm(logger.logNo, kAlarmValuesNotConverted, false, 0, "");
}

bool MeterSession::readIdentity() {
  next(VB_REQ_DIB);
  if (!request(VB_REQ_DIB, "identity")) return false;
  return noteIdentity(0);
}

// Stores the identity block as the library holds it now; a change is an
// event of the meter.
bool MeterSession::noteIdentity(int logNo) {
  bool changed = false;
  std::string error;
  if (!store_.recordIdentity(meterRow_, dib_, utcNow(), &changed, &error)) {
    return storeFailed(error);
  }
  return !changed || event(logNo, kEventIdentityChanged, 0, "identity block changed");
}

bool MeterSession::readVersions() {
  VersionRecord versions{};
  next(VB_REQ_VERSIONS).download = &versions;
  if (!request(VB_REQ_VERSIONS, "versions")) return false;
  std::string error;
  return store_.recordVersions(meterRow_, versions, utcNow(), &error) || storeFailed(error);
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
      !noteIdentity(logNo)) {
    return false;
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
  if ((flags & ~VB_STATUS_DIB_CHANGED) != 0 &&
      !event(logNo, kEventStatusFlags, flags, "status flags set")) {
    return false;
  }
  for (int bit = 0; bit < kStatusFlagCount; ++bit) {
    const AlarmKind& kind = kStatusFlagAlarms[bit];
    const bool set = (flags & (1u << bit)) != 0;
    if (!alarm(logNo, kind, set, flags,
               std::string(kind.meaning) + " (logger " + std::to_string(logNo) + ")")) {
      return false;
    }
  }
  return checkClock(meterTime) && placeEpoch(logger);
}

bool MeterSession::checkClock(uint32_t meterTime) {
  if (clockChecked_) return true;
  clockChecked_ = true;
  drift_ = int64_t{meterTime} - int64_t{hostMeterTimeNow()};
  const int64_t size = drift_ < 0 ? -drift_ : drift_;
  if (size <= int64_t{meter_.clockDriftLimitS}) {
    drift_ = 0;
    return alarm(0, kAlarmClockDrift, false, 0, "");
  }
  clockToSet_ = meter_.setClock;
  const std::string detail = "meter clock " + std::to_string(drift_) + " s from the host's";
  return event(0, kEventClockDrift, drift_, detail) &&
         alarm(0, kAlarmClockDrift, true, drift_,
               detail + (clockToSet_ ? "; being set" : "; set_clock is off"));
}

// A totals logger keeps no reset time: its restart shows as a record the
// store holds under the same number with another time or other totals.
bool MeterSession::totalsRestarted(Logger* logger, bool* restarted) {
  const LoggerPosition& known = logger->position;
  const TotalsHeaderRecord& h = logger->totals;
  *restarted = known.lastRsn && logger->newest < *known.lastRsn;
  if (*restarted || !known.lastRsn || logger->newest < logger->oldest) return true;
  std::string error;
  std::optional<TotalsRecord> stored;
  for (const auto& [rsn, time] : {std::pair{h.firstRecordRSN, h.firstRecordDateTime},
                                  std::pair{h.lastRecordRSN, h.lastRecordDateTime}}) {
    if (!store_.storedTotals(known.epochId, rsn, &stored, &error)) return storeFailed(error);
    if (stored) {
      *restarted = stored->dateTime != time;
      return true;
    }
  }
  // Neither end is stored, but the newest stored record lies inside what
  // the logger holds: read that one record and compare.
  const uint32_t probe = *known.lastRsn;
  if (probe < logger->oldest || probe > logger->newest) return true;
  if (!store_.storedTotals(known.epochId, probe, &stored, &error)) return storeFailed(error);
  if (!stored) return true;
  Fetched fetched;
  if (!fetch(*logger, probe, probe, 0, &fetched)) return false;
  if (fetched.count != 1 || fetched.firstRsn != probe) return true;
  const auto* now = reinterpret_cast<const TotalsRecord*>(fetched.entries.data());
  *restarted = now->dateTime != stored->dateTime ||
               std::memcmp(now->totals, stored->totals, sizeof now->totals) != 0;
  return true;
}

bool MeterSession::placeEpoch(Logger* logger) {
  const int logNo = logger->logNo;
  const bool pairs = logNo != kTotalsLogger;
  const uint32_t resetTime = pairs ? logger->data.originalLoggerResetDateTime : 0;
  std::string error;
  if (!store_.loggerPosition(meterRow_, logNo, &logger->position, &error)) {
    return storeFailed(error);
  }
  const LoggerPosition& known = logger->position;
  bool restarted = false;
  if (known.epochId != 0) {
    // A restart shows as a new reset time, or as a newest record older than
    // one already stored.
    if (pairs) {
      restarted = resetTime != known.resetTime || (known.lastRsn && logger->newest < *known.lastRsn);
    } else if (!totalsRestarted(logger, &restarted)) {
      return false;
    }
  }
  if (known.epochId != 0 && !restarted) return alarm(logNo, kAlarmLoggerRestarted, false, 0, "");
  const std::string detail = "logger " + std::to_string(logNo) + " restarted; epoch " +
                             std::to_string(known.epochNumber + 1) + " begins";
  if (restarted && !(event(logNo, kEventLoggerRestarted, resetTime, detail) &&
                     alarm(logNo, kAlarmLoggerRestarted, true, known.epochNumber + 1, detail))) {
    return false;
  }
  if (!store_.beginEpoch(meterRow_, logNo, resetTime, utcNow(), &logger->position, &error)) {
    return storeFailed(error);
  }
  return true;
}

bool MeterSession::fetch(const Logger& logger, uint32_t from, uint32_t to, char setTimeMode,
                         Fetched* out) {
  const int logNo = logger.logNo;
  const bool totals = logNo == kTotalsLogger;
  const uint32_t capacity = to - from + 1;
  out->entries.assign(uint64_t{capacity} * (totals ? sizeof(TotalsRecord)
                                            : meter_.convert ? sizeof(ConvertedPair)
                                                             : sizeof(RawPair)),
                      0);
  DownloadRecord record{};
  record.header = totals ? static_cast<void*>(&out->totals) : static_cast<void*>(&out->data);
  record.entries = out->entries.data();
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
    out->none = result_.code == VB_NO_DATA_IN_RANGE;
    return out->none;
  }
  out->count = totals ? out->totals.count : out->data.count;
  const uint32_t first = totals ? out->totals.firstRecordRSN : out->data.firstPairRSN;
  // Entries come in record order from the first one the logger still holds
  // within the range.
  out->firstRsn = std::max(from, first);
  if (out->count > capacity || (out->count > 0 && uint64_t{out->firstRsn} + out->count - 1 > to)) {
    return fail(kCodeInconsistent, "the download of logger " + std::to_string(logNo) +
                                       " holds more entries than its range");
  }
  if (!totals && out->data.originalLoggerResetDateTime != logger.position.resetTime) {
    return fail(kCodeInconsistent,
                "logger " + std::to_string(logNo) + " was restarted during the collection");
  }
  if (totals && ((out->totals.firstRecordRSN == logger.totals.firstRecordRSN &&
                  out->totals.firstRecordDateTime != logger.totals.firstRecordDateTime) ||
                 out->totals.lastRecordRSN < logger.newest)) {
    return fail(kCodeInconsistent,
                "logger " + std::to_string(logNo) + " was restarted during the collection");
  }
  return true;
}

bool MeterSession::download(Logger* logger, uint32_t from, uint32_t to, char setTimeMode) {
  const int logNo = logger->logNo;
  const bool totals = logNo == kTotalsLogger;
  Fetched fetched;
  if (!fetch(*logger, from, to, setTimeMode, &fetched)) return false;
  if (fetched.none) return true;
  // A logger read for the first time keeps nothing older than --since.
  const bool firstRead = !logger->position.lastRsn.has_value();
  const uint32_t since = firstRead ? settings_.since.value_or(0) : 0;

  DownloadBatch batch;
  batch.epochId = logger->position.epochId;
  batch.attemptId = attemptId_;
  batch.logNo = logNo;
  batch.converted = meter_.convert;
  batch.readAt = utcNow();
  batch.dataHeader = totals ? nullptr : &fetched.data;
  batch.totalsHeader = totals ? &fetched.totals : nullptr;
  uint64_t notConverted = 0;
  for (uint32_t i = 0; i < fetched.count; ++i) {
    const uint32_t rsn = fetched.firstRsn + i;
    if (totals) {
      const auto& record = reinterpret_cast<const TotalsRecord*>(fetched.entries.data())[i];
      if (record.dateTime < since) continue;
      batch.totals.emplace_back(rsn, record);
      continue;
    }
    PairEntry pair;
    pair.rsn = rsn;
    pair.time = pairTime(fetched.data, rsn);
    if (pair.time && *pair.time < since) continue;
    if (meter_.convert) {
      const auto& value = reinterpret_cast<const ConvertedPair*>(fetched.entries.data())[i];
      pair.flow = convertedValue(value.flow);
      pair.pressure = convertedValue(value.pressure);
      notConverted += (pair.flow ? 0 : 1) + (pair.pressure ? 0 : 1);
    } else {
      const auto& value = reinterpret_cast<const RawPair*>(fetched.entries.data())[i];
      pair.flow = value.flow;
      pair.pressure = value.pressure;
    }
    batch.pairs.push_back(pair);
  }
  batch.meterRow = meterRow_;
  if (settings_.outbox && settings_.outboxEntries) {
    batch.outbox = entriesMessages(meter_.id, logNo, logger->position.epochNumber, batch);
  }
  std::string error;
  std::optional<uint64_t> added;
  if (!durably([&] { return (added = store_.storeDownload(batch, &error)).has_value(); })) {
    return storeFailed(error);
  }
  outcome_.entriesNew += *added;
  const size_t siteBytes =
      strnlen(totals ? fetched.totals.siteId : fetched.data.siteId, VB_TEXT_FIELD);
  outcome_.bytes += (totals ? kTotalsHeaderFixedBytes + strnlen(fetched.totals.auxText, VB_TEXT_FIELD)
                            : kDataHeaderFixedBytes) +
                    siteBytes +
                    uint64_t{fetched.count} * (totals ? kTotalsEntryBytes : kPairEntryBytes);
  if (fetched.count > 0) logger->position.lastRsn = fetched.firstRsn + fetched.count - 1;
  logger->downloaded += fetched.count;
  logger->notConverted += notConverted;
  if (notConverted > 0 &&
      !event(logNo, kEventValuesNotConverted, static_cast<int64_t>(notConverted),
             std::to_string(notConverted) + " values of records " + std::to_string(from) + " to " +
                 std::to_string(to) + " could not be converted; stored as absent")) {
    return false;
  }
  return true;
}

// The first totals record to read when nothing older than `since` is to be
// kept: estimated from the header's first and last records, then stepped
// back, one record read at a time, until a record older than `since` shows
// that nothing newer lies before it.
bool MeterSession::totalsStartSince(Logger* logger, uint32_t since, uint64_t* from) {
  const TotalsHeaderRecord& h = logger->totals;
  const uint32_t oldest = logger->oldest;
  const uint32_t newest = logger->newest;
  *from = oldest;
  if (!validMeterTime(h.firstRecordDateTime) || since <= h.firstRecordDateTime ||
      !validMeterTime(h.lastRecordDateTime) || h.lastRecordDateTime <= h.firstRecordDateTime) {
    return true;
  }
  if (since > h.lastRecordDateTime) {
    *from = uint64_t{newest} + 1;
    return true;
  }
  const uint64_t span = h.lastRecordDateTime - h.firstRecordDateTime;
  uint64_t candidate = oldest + (uint64_t{since} - h.firstRecordDateTime) * (newest - oldest) / span;
  uint64_t step = std::max<uint64_t>(1, (newest - oldest) / 64);
  while (candidate > oldest) {
    Fetched probe;
    const auto rsn = static_cast<uint32_t>(candidate);
    if (!fetch(*logger, rsn, rsn, 0, &probe)) return false;
    const auto* record = reinterpret_cast<const TotalsRecord*>(probe.entries.data());
    if (probe.count == 1 && probe.firstRsn == rsn && record->dateTime < since) break;
    candidate = candidate > oldest + step ? candidate - step : oldest;
    step *= 2;
  }
  *from = candidate;
  return true;
}

void MeterSession::release() {
  if (record_.linkHandle == kNone) return;
  ResultRecord ignored{};
  next(VB_REQ_RELEASE);
  collector_.setActivity(lineIndex_, meter_.id, "release", outcome_.entriesNew);
  VantbrookRequest(&dib_, &record_, &ignored);
}

// The library's message on one line, with what the collector knows added,
// in the words the other commands use: the call that was placed, the
// device a COM number stands for.
std::string MeterSession::failureText() const {
  const std::string library =
      platform::oneLine(fieldText(result_.message, sizeof result_.message));
  std::string text = library;
  const bool call = line_.kind != LineKind::Direct;
  const bool lineOpenFailed = library.rfind(kPortOpenFailure, 0) == 0;
  if (calling_ && call && result_.code != VB_USER_ABORT) {
    const bool pad = line_.kind == LineKind::Pnet;
    if (lineOpenFailed) {
      text = std::string("opening the line to the ") + (pad ? "PAD" : "modem") + ": " + library;
    } else {
      // A call the PAD or the modem refused reached its line: the refusal
      // says it all.
      return (pad ? "PAD call to " + meter_.address + " refused: "
                  : "dialling " + meter_.address + ": ") +
             library;
    }
  }
  if (lineFailure(result_.code)) {
    const std::string device = line_.device.empty() ? platform::describeComPort(line_.com)
                                                    : "line " + line_.device;
    if (text.find(line_.device.empty() ? device : line_.device) == std::string::npos) {
      text += "; " + device;
    }
  }
  return text;
}

bool MeterSession::newestEntries(std::vector<NewestEntry>* entries, std::string* error) {
  for (const Logger& logger : loggers_) {
    NewestEntry entry;
    entry.logNo = logger.logNo;
    entry.entriesNew = logger.downloaded;
    entry.converted = meter_.convert;
    if (logger.position.epochId != 0 &&
        !store_.newestEntry(logger.position.epochId, logger.logNo, &entry.pair, &entry.totals,
                            &entry.converted, error)) {
      return false;
    }
    entries->push_back(entry);
  }
  return true;
}

MeterOutcome MeterSession::finish(bool ok) {
  outcome_.ok = ok;
  outcome_.code = result_.code;
  outcome_.source = platform::oneLine(fieldText(result_.source, sizeof result_.source));
  if (ok) {
    outcome_.message = platform::oneLine(fieldText(result_.message, sizeof result_.message));
  } else if (outcome_.message.empty()) {
    outcome_.message = failureText();
  } else {
    outcome_.message = platform::oneLine(outcome_.message);
  }
  if (attemptId_ == 0) return outcome_;
  AttemptOutcome attempt;
  attempt.endedAt = utcNow();
  attempt.code = outcome_.code;
  attempt.source = outcome_.source;
  attempt.message = outcome_.message;
  attempt.entries = outcome_.entriesNew;
  attempt.bytes = outcome_.bytes;
  std::string error;
  std::vector<OutboxMessage> outbox;
  if (settings_.outbox) {
    std::vector<NewestEntry> newest;
    if (!newestEntries(&newest, &error)) {
      fail(kCodeStoreFailed, error);
      outcome_.ok = false;
      outcome_.code = kCodeStoreFailed;
      outcome_.source = kCollectorSource;
      attempt.code = outcome_.code;
      attempt.source = outcome_.source;
      attempt.message = outcome_.message;
    }
    outbox.push_back(readingMessage(outcome_, attempt.endedAt, newest));
  }
  if (!durably([&] { return store_.endAttempt(attemptId_, attempt, &error, meterRow_, outbox); }) ||
      (ok && !durably([&] { return store_.markSuccess(meterRow_, attempt.endedAt, &error); }))) {
    fail(kCodeStoreFailed, error);
    outcome_.ok = false;
    outcome_.code = kCodeStoreFailed;
    outcome_.source = kCollectorSource;
  }
  return outcome_;
}

MeterOutcome MeterSession::run() {
  outcome_.meter = meter_.id;
  outcome_.line = line_.name;
  // The meter's bookkeeping comes first: a meter whose attempt the store
  // cannot record is not dialled.
  std::string error;
  const std::optional<int64_t> meterRow =
      store_.meterRow(meter_.id, line_.name, meter_.intervalS, utcNow(), &error);
  std::optional<int64_t> attempt;
  if (meterRow) attempt = store_.beginAttempt(runId_, *meterRow, line_.name, utcNow(), &error);
  if (!meterRow || !attempt) {
    storeFailed(error);
    return finish(false);
  }
  meterRow_ = *meterRow;
  attemptId_ = *attempt;
  prepareRecord();

  bool ok = request(VB_REQ_HOLD, "calling");
  calling_ = !ok;
  if (ok) ++outcome_.calls;
  bool known = false;
  if (ok && !store_.hasVersions(meterRow_, &known, &error)) ok = storeFailed(error);
  if (ok && !known) ok = readIdentity() && readVersions();

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
        calling_ = !ok;
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
  for (size_t i = 0; ok && i < loggers.size(); ++i) {
    Logger& logger = loggers[i];
    Range range;
    range.to = logger.newest;
    if (logger.position.lastRsn) {
      range.from = uint64_t{*logger.position.lastRsn} + 1;
    } else {
      range.from = logger.oldest;
      if (settings_.since && logger.logNo == kTotalsLogger) {
        ok = totalsStartSince(&logger, *settings_.since, &range.from);
      } else if (settings_.since && logger.data.loggingInterval > 0 &&
                 validMeterTime(logger.data.firstPairDateTime) &&
                 *settings_.since > logger.data.firstPairDateTime) {
        // Pairs before this one are older than --since where the logger
        // kept its interval; the ones read are checked by their own times.
        const uint32_t interval = logger.data.loggingInterval;
        range.from += (uint64_t{*settings_.since} - logger.data.firstPairDateTime) / interval;
      }
    }
    // Records older than the oldest one the logger holds were overwritten;
    // those not stored yet are lost.
    if (ok && logger.position.lastRsn && logger.newest >= logger.oldest) {
      const uint64_t lost =
          logger.oldest > range.from ? uint64_t{logger.oldest} - range.from : 0;
      ok = alarm(logger.logNo, kAlarmRecordsOverwritten, lost > 0, static_cast<int64_t>(lost),
                 std::to_string(lost) + " records of logger " + std::to_string(logger.logNo) +
                     " were overwritten before they were collected");
    }
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
    const uint32_t block = entriesPerDownload(loggers[i].logNo);
    for (uint64_t from = ranges[i].from; ok && from <= ranges[i].to;) {
      const uint32_t to =
          static_cast<uint32_t>(std::min<uint64_t>(ranges[i].to, from + block - 1));
      ok = download(&loggers[i], static_cast<uint32_t>(from), to, setTimeMode);
      if (ok && setTimeMode != 0 && result_.code == VB_OK) {
        ok = event(0, kEventClockSet, drift_, "meter clock set to the host's") &&
             alarm(0, kAlarmClockDrift, false, 0, "");
        setTimeMode = 0;
      }
      from = uint64_t{to} + 1;
    }
    if (ok) ok = loggerAlarms(loggers[i]);
  }
  if (ok) ok = request(VB_REQ_RELEASE, "release");
  // A stop refuses the release request; the call is hung up all the same.
  release();
  loggers_ = loggers;
  return finish(ok);
}

bool mapDeviceLines(Fleet* fleet, std::string* error, const std::string& collector) {
  const std::string name = collector.empty() ? platform::hostName() : collector;
  std::array<bool, kLastCom + 1> taken{};
  for (const LineConfig& line : fleet->lines) {
    if (lineOfCollector(line, name)) taken[static_cast<size_t>(line.com)] = true;
  }
  int com = kFirstCom;
  for (LineConfig& line : fleet->lines) {
    if (line.device.empty() || !lineOfCollector(line, name)) continue;
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

std::string lineResource(const LineConfig& line) {
  const std::string device =
      line.device.empty() ? platform::comDevicePath(line.com) : line.device;
  std::error_code unresolved;
  std::filesystem::path path = std::filesystem::weakly_canonical(device, unresolved);
  if (unresolved) path = device;
  return "line " + platform::hostName() + ":" + path.string();
}

Collector::Collector(const Fleet& fleet, Store& store, CollectSettings settings)
    : fleet_(fleet), store_(store), settings_(std::move(settings)) {
  if (settings_.collector.empty()) settings_.collector = platform::hostName();
  outcomes_.resize(fleet.meters.size());
  meterRows_.assign(fleet.meters.size(), 0);
  selected_.assign(fleet.meters.size(), false);
  for (size_t i = 0; i < fleet.meters.size(); ++i) {
    const MeterConfig& meter = fleet.meters[i];
    // Another collector's meters are not this one's to report on.
    selected_[i] = settings_.selection.selects(meter.id, meter.onPool() ? meter.pool : meter.line) &&
                   lineOpened(i);
    MeterOutcome& outcome = outcomes_[i];
    outcome.meter = meter.id;
    outcome.line = meter.line;
    outcome.code = kCodeNotAttempted;
    outcome.source = kCollectorSource;
    outcome.message = "Not attempted";
  }
  activity_.resize(fleet.lines.size());
  for (size_t i = 0; i < fleet.lines.size(); ++i) activity_[i].line = fleet.lines[i].name;
  progressSlot_.assign(fleet.lines.size(), SIZE_MAX);
  size_t slots = 0;
  for (size_t i = 0; i < fleet.lines.size(); ++i) {
    if (lineOfCollector(fleet.lines[i], settings_.collector)) progressSlot_[i] = slots++;
  }
  forced_.assign(fleet.meters.size(), false);
  lineHeld_.assign(fleet.lines.size(), false);
  calls_.assign(fleet.meters.size(), 0);
  callsDay_.assign(fleet.meters.size(), -1);
}

bool Collector::lineOpened(size_t meter) const {
  for (const LineConfig& line : fleet_.lines) {
    if (lineOfCollector(line, settings_.collector) && lineReaches(line, fleet_.meters[meter])) {
      return true;
    }
  }
  return false;
}

void Collector::onEvent(std::function<void(const CollectorEvent&)> listener) {
  listener_ = std::move(listener);
}

void Collector::emit(const CollectorEvent& event) {
  if (listener_) listener_(event);
}

bool Collector::finishing() const {
  std::lock_guard<std::mutex> guard(scheduleLock_);
  return finishing_;
}

void Collector::finish() {
  {
    std::lock_guard<std::mutex> guard(scheduleLock_);
    finishing_ = true;
  }
  wake_.notify_all();
}

uint32_t Collector::callsToday(size_t meter, int64_t now) {
  std::lock_guard<std::mutex> guard(scheduleLock_);
  return callsDay_[meter] == localDay(now) ? calls_[meter] : 0;
}

void Collector::countCall(size_t meter, int64_t now) {
  std::lock_guard<std::mutex> guard(scheduleLock_);
  const int64_t day = localDay(now);
  if (callsDay_[meter] != day) {
    callsDay_[meter] = day;
    calls_[meter] = 0;
  }
  ++calls_[meter];
}

uint32_t Collector::callsTodayOf(const std::string& meterId) {
  for (size_t i = 0; i < fleet_.meters.size(); ++i) {
    if (fleet_.meters[i].id == meterId) return callsToday(i, utcNow());
  }
  return 0;
}

bool Collector::collectNow(const std::string& meterId, std::string* reason) {
  size_t meter = 0;
  while (meter < fleet_.meters.size() && fleet_.meters[meter].id != meterId) ++meter;
  if (meter == fleet_.meters.size() || !selected_[meter]) {
    *reason = "no meter '" + meterId + "' in the fleet file";
    return false;
  }
  const MeterConfig& config = fleet_.meters[meter];
  const uint32_t calls = callsToday(meter, utcNow());
  std::lock_guard<std::mutex> guard(scheduleLock_);
  if (!lineHeld_[config.lineIndex]) {
    *reason = "line '" + config.line + "' is not held by this service (another run holds it)";
    return false;
  }
  if (calls >= config.maxCallsPerDay) {
    *reason = "meter '" + meterId + "' has had its " + std::to_string(config.maxCallsPerDay) +
              " calls today (max_calls_per_day): every call wakes it and costs its battery";
    return false;
  }
  forced_[meter] = true;
  wake_.notify_all();
  return true;
}

void Collector::setActivity(size_t lineIndex, const std::string& meter, const std::string& stage,
                            uint64_t entries) {
  CollectorEvent event;
  {
    std::lock_guard<std::mutex> guard(activityLock_);
    LineActivity& activity = activity_[lineIndex];
    activity.meter = meter;
    activity.stage = stage;
    activity.entries = entries;
    event.activity = activity;
  }
  emit(event);
}

std::vector<LineActivity> Collector::activity() const {
  std::lock_guard<std::mutex> guard(activityLock_);
  std::vector<LineActivity> copy = activity_;
  for (size_t i = 0; i < copy.size(); ++i) {
    const size_t slot = progressSlot_[i];
    if (slot < kSlotCount) {
      copy[i].percent = std::clamp(slotPercent[slot].load(std::memory_order_relaxed), 0, 100);
    }
  }
  return copy;
}

void Collector::noteAlarm(const std::optional<AlarmChange>& change) {
  if (!change) return;
  {
    std::lock_guard<std::mutex> guard(alarmLock_);
    alarms_.push_back(*change);
  }
  CollectorEvent event;
  event.kind = CollectorEvent::Kind::Alarm;
  event.alarm = *change;
  emit(event);
}

void Collector::noteStoreError(const std::string& error) {
  std::lock_guard<std::mutex> guard(alarmLock_);
  if (storeError_.empty()) storeError_ = error;
}

bool Collector::leaseLine(size_t lineIndex, int64_t runId, const std::string& resource,
                          const std::vector<size_t>& meters) {
  const LineConfig& line = fleet_.lines[lineIndex];
  for (;;) {
    bool taken = false;
    LeaseHolder holder;
    std::string error;
    if (!store_.takeLease(resource, runId, line.name, utcNow(), &taken, &holder, &error)) {
      for (size_t meter : meters) {
        outcomes_[meter].code = kCodeStoreFailed;
        outcomes_[meter].message = error;
      }
      return false;
    }
    if (taken) return true;
    const std::string inUse = "line '" + line.name + "' is in use by run " +
                              std::to_string(holder.runId) + " (process " +
                              std::to_string(holder.pid) + " on " + holder.host + ")";
    const uint64_t now = platform::nowMs();
    const bool timeUp = settings_.untilMs && now >= *settings_.untilMs;
    if (!settings_.waitForLines || timeUp || stopping(settings_) || finishing()) {
      for (size_t meter : meters) {
        MeterOutcome& outcome = outcomes_[meter];
        outcome.leftToOtherRun = settings_.waitForLines ? false : true;
        outcome.code = settings_.waitForLines ? kCodeNotAttempted : kCodeLineInUse;
        outcome.message = settings_.waitForLines
                              ? "Not attempted before the run's time limit: " + inUse
                              : "Left to the run that holds it: " + inUse;
      }
      return false;
    }
    setActivity(lineIndex, "", "waiting: " + inUse, 0);
    platform::sleepMs(kLeasePollMs);
  }
}

std::vector<size_t> Collector::metersOfLine(size_t lineIndex, bool pool) const {
  const LineConfig& line = fleet_.lines[lineIndex];
  std::vector<size_t> meters;
  for (size_t i = 0; i < fleet_.meters.size(); ++i) {
    const MeterConfig& meter = fleet_.meters[i];
    if (selected_[i] && meter.onPool() == pool && lineReaches(line, meter)) meters.push_back(i);
  }
  return meters;
}

bool Collector::prepareMeters(const std::vector<size_t>& meters, size_t lineIndex,
                              const std::function<void(const MeterOutcome&, bool)>& log) {
  bool all = true;
  for (size_t i : meters) {
    const MeterConfig& meter = fleet_.meters[i];
    std::string error;
    const std::optional<int64_t> row = store_.meterRow(
        meter.id, fleet_.lines[lineIndex].name, meter.intervalS, utcNow(), &error);
    if (!row) {
      std::lock_guard<std::mutex> guard(outcomeLock_);
      outcomes_[i].code = kCodeStoreFailed;
      outcomes_[i].message = error;
      log(outcomes_[i], false);
      all = false;
      continue;
    }
    std::lock_guard<std::mutex> guard(outcomeLock_);
    meterRows_[i] = *row;
  }
  return all;
}

MeterOutcome Collector::attempt(size_t lineIndex, size_t meterIndex, int64_t runId, bool mayRetry,
                                const std::function<void(const MeterOutcome&, bool)>& log) {
  MeterSession session(*this, lineIndex, fleet_.meters[meterIndex], runId);
  const uint64_t startedMs = platform::nowMs();
  countCall(meterIndex, utcNow());
  MeterOutcome outcome = session.run();
  const double busy = static_cast<double>(platform::nowMs() - startedMs) / 1000.0;
  {
    std::lock_guard<std::mutex> guard(outcomeLock_);
    MeterOutcome& total = outcomes_[meterIndex];
    outcome.attempts = total.attempts + 1;
    outcome.entriesNew += total.entriesNew;
    outcome.bytes += total.bytes;
    outcome.calls += total.calls;
    outcome.lineSeconds = total.lineSeconds + busy;
    total = outcome;
  }
  // A store that refused a write is not mended by dialling again; one whose
  // server is out of reach may be back for the next try.
  const bool storeGone = outcome.code == kCodeStoreFailed && store_.connectionLost();
  const bool retry = mayRetry && !outcome.ok && (outcome.code != kCodeStoreFailed || storeGone) &&
                     outcome.attempts <= settings_.retries && !stopping(settings_);
  log(outcome, retry);
  CollectorEvent ended;
  ended.kind = CollectorEvent::Kind::AttemptEnded;
  ended.outcome = outcome;
  ended.willRetry = retry;
  ended.seconds = busy;
  emit(ended);
  return outcome;
}

void Collector::runLine(size_t lineIndex, int64_t runId,
                        const std::function<void(const MeterOutcome&, bool)>& log) {
  if (settings_.continuous) {
    serveLine(lineIndex, runId, log);
    return;
  }
  struct Turn {
    size_t meter;
    std::optional<int64_t> lastSuccess;
    uint64_t dueMs = 0;
  };
  const std::vector<size_t> meters = metersOfLine(lineIndex, false);
  std::vector<size_t> pool = metersOfLine(lineIndex, true);
  std::vector<size_t> all = meters;
  all.insert(all.end(), pool.begin(), pool.end());
  const std::string resource = lineResource(fleet_.lines[lineIndex]);
  if (!leaseLine(lineIndex, runId, resource, meters)) {
    for (size_t meter : meters) log(outcomes_[meter], false);
    std::lock_guard<std::mutex> guard(activityLock_);
    activity_[lineIndex].stage = "left to another run";
    activity_[lineIndex].finished = true;
    return;
  }
  prepareMeters(all, lineIndex, log);
  std::vector<Turn> turns;
  for (size_t i : meters) {
    if (meterRows_[i] == 0) continue;
    Turn turn{i, std::nullopt};
    std::string error;
    if (!store_.lastSuccess(fleet_.meters[i].id, &turn.lastSuccess, &error)) {
      outcomes_[i].code = kCodeStoreFailed;
      outcomes_[i].message = error;
      log(outcomes_[i], false);
      continue;
    }
    turns.push_back(turn);
  }
  // The meter collected longest ago (or never) first; the file's order
  // among equals.
  std::stable_sort(turns.begin(), turns.end(), [](const Turn& a, const Turn& b) {
    if (a.lastSuccess.has_value() != b.lastSuccess.has_value()) return !a.lastSuccess.has_value();
    return a.lastSuccess.value_or(0) < b.lastSuccess.value_or(0);
  });
  // The pool's meters are claimed from the store one at a time, by whichever
  // line of the pool (here or on another collector) is free first.
  std::vector<std::string> poolIds;
  for (size_t i : pool) poolIds.push_back(fleet_.meters[i].id);
  Store::ClaimRule rule;
  rule.collectedBefore = runStartedAt_ - kFreshSeconds;
  rule.triesSince = runStartedAt_ - kFreshSeconds;
  rule.maxTries = settings_.retries + 1;
  rule.retryAfter = settings_.retryDelayMs / 1000;

  while (!stopping(settings_)) {
    const uint64_t now = platform::nowMs();
    if (settings_.untilMs && now >= *settings_.untilMs) break;
    auto due = std::find_if(turns.begin(), turns.end(),
                            [now](const Turn& turn) { return turn.dueMs <= now; });
    if (due != turns.end()) {
      Turn turn = *due;
      turns.erase(due);
      const MeterOutcome outcome = attempt(lineIndex, turn.meter, runId, true, log);
      const bool storeGone = outcome.code == kCodeStoreFailed && store_.connectionLost();
      if (!outcome.ok && (outcome.code != kCodeStoreFailed || storeGone) &&
          outcome.attempts <= settings_.retries && !stopping(settings_)) {
        const uint32_t shift = std::min<uint32_t>(outcome.attempts - 1, 16);
        turn.dueMs = platform::nowMs() +
                     std::min<uint64_t>(uint64_t{settings_.retryDelayMs} << shift, kMaxBackoffMs);
        // A retried meter goes to the back of its line.
        turns.push_back(turn);
      }
      continue;
    }
    if (!poolIds.empty()) {
      std::optional<std::string> claimed;
      std::string error;
      if (!store_.claimMeter(poolIds, rule, runId, fleet_.lines[lineIndex].name, utcNow(),
                             &claimed, &error)) {
        if (waitForStore(lineIndex)) continue;
        noteStoreError(error);
        break;
      }
      if (claimed) {
        const size_t meter = static_cast<size_t>(
            std::find_if(pool.begin(), pool.end(),
                         [&](size_t i) { return fleet_.meters[i].id == *claimed; }) -
            pool.begin());
        attempt(lineIndex, pool[meter], runId, true, log);
        if (!store_.releaseLease(Store::meterResource(*claimed), runId, &error)) {
          noteStoreError(error);
        }
        continue;
      }
      const std::optional<int64_t> unfinished = store_.unfinishedMeters(poolIds, rule, &error);
      if (!unfinished) {
        if (waitForStore(lineIndex)) continue;
        noteStoreError(error);
        break;
      }
      if (*unfinished == 0) {
        poolIds.clear();
        continue;
      }
      // Meters of the pool that others hold now, or that wait for a retry.
      setActivity(lineIndex, "", "waiting for the pool", 0);
      platform::sleepMs(kClaimPollMs);
      continue;
    }
    if (turns.empty()) break;
    setActivity(lineIndex, "", "waiting to retry", 0);
    platform::sleepMs(kIdlePollMs);
  }
  if (settings_.untilMs && !stopping(settings_)) {
    std::lock_guard<std::mutex> guard(outcomeLock_);
    for (size_t i : all) {
      if (outcomes_[i].attempts == 0 && outcomes_[i].code == kCodeNotAttempted) {
        outcomes_[i].message = "Not attempted before the run's time limit";
      }
    }
  }
  std::string error;
  if (!store_.releaseLease(resource, runId, &error)) noteStoreError(error);
  std::lock_guard<std::mutex> guard(activityLock_);
  activity_[lineIndex].meter.clear();
  activity_[lineIndex].stage = "done";
  activity_[lineIndex].finished = true;
}

bool Collector::waitForStore(size_t lineIndex) {
  if (!store_.connectionLost() || stopping(settings_)) return false;
  if (settings_.untilMs && platform::nowMs() >= *settings_.untilMs) return false;
  setActivity(lineIndex, "", "waiting for the store", 0);
  platform::sleepMs(kStoreRetryLongestMs);
  return true;
}

// A meter of a pool this collector did not try: another collector's, done
// or tried there, or nobody's.
void Collector::settlePoolMeters() {
  const int64_t fresh = runStartedAt_ - kFreshSeconds;
  for (size_t i = 0; i < fleet_.meters.size(); ++i) {
    MeterOutcome& outcome = outcomes_[i];
    if (!selected_[i] || !fleet_.meters[i].onPool() || outcome.attempts > 0 ||
        !lineOpened(i)) {
      continue;
    }
    std::optional<int64_t> lastSuccess;
    std::string error;
    if (!store_.lastSuccess(fleet_.meters[i].id, &lastSuccess, &error)) {
      noteStoreError(error);
      continue;
    }
    if (lastSuccess && *lastSuccess >= fresh) {
      outcome.leftToOtherRun = true;
      outcome.code = kCodeLineInUse;
      outcome.message = "Collected by another collector of its pool";
    }
  }
}

void Collector::closeMeterAlarms(size_t i, bool turnEnded, int64_t now) {
  const int64_t row = meterRows_[i];
  if (!selected_[i] || row == 0) return;
  const MeterConfig& meter = fleet_.meters[i];
  const MeterOutcome& outcome = outcomes_[i];
  std::string error;
  std::optional<AlarmChange> change;
  if (turnEnded && outcome.attempts > 0 && outcome.code != kCodeStoreFailed) {
    const std::optional<int64_t> failedRuns = store_.countRunOutcome(row, !outcome.ok, &error);
    if (!failedRuns) {
      noteStoreError(error);
      return;
    }
    const bool failing = !outcome.ok && *failedRuns >= meter.failedRunsAlarm;
    const std::string detail = "failed " + std::to_string(*failedRuns) +
                               " runs in a row; last: " + outcome.message + " (code " +
                               std::to_string(outcome.code) + ", " + outcome.source + ")";
    const Store::AlarmMessage message = settings_.outbox ? alarmMessage : Store::AlarmMessage();
    const bool stored =
        failing ? store_.raiseAlarm(row, meter.id, 0, kAlarmFailing, *failedRuns, detail, now,
                                    &change, &error, message)
                : !outcome.ok || store_.clearAlarm(row, meter.id, 0, kAlarmFailing, now, &change,
                                                   &error, message);
    if (!stored) noteStoreError(error);
    noteAlarm(change);
  }
  std::optional<int64_t> lastSuccess;
  if (!store_.lastSuccess(meter.id, &lastSuccess, &error)) {
    noteStoreError(error);
    return;
  }
  const bool late = lastSuccess && now - *lastSuccess > lateAfterS(meter.intervalS);
  const std::string detail =
      "last collected " + formatDuration(lastSuccess ? now - *lastSuccess : 0) +
      " ago; expected every " + formatDuration(meter.intervalS);
  const Store::AlarmMessage message = settings_.outbox ? alarmMessage : Store::AlarmMessage();
  const bool stored =
      late ? store_.raiseAlarm(row, meter.id, 0, kAlarmNotCollected,
                               now - lastSuccess.value_or(now), detail, now, &change, &error,
                               message)
           : store_.clearAlarm(row, meter.id, 0, kAlarmNotCollected, now, &change, &error,
                               message);
  if (!stored) noteStoreError(error);
  noteAlarm(change);
}

void Collector::closeRunAlarms(int64_t now) {
  for (size_t i = 0; i < fleet_.meters.size(); ++i) closeMeterAlarms(i, true, now);
}

bool Collector::servePool(size_t lineIndex, int64_t runId, const std::vector<size_t>& pool,
                          const std::function<void(const MeterOutcome&, bool)>& log) {
  const int64_t now = utcNow();
  const int minute = localMinuteOfDay(now);
  // Those whose window is open and whose calls a day are not spent; the
  // store decides which of them is due and free.
  std::vector<std::string> candidates;
  int64_t shortestInterval = kSecondsPerDay;
  for (size_t i : pool) {
    const MeterConfig& meter = fleet_.meters[i];
    if (meter.window && !meter.window->contains(minute)) continue;
    if (callsToday(i, now) >= meter.maxCallsPerDay) continue;
    candidates.push_back(meter.id);
    shortestInterval = std::min(shortestInterval, meter.intervalS);
  }
  Store::ClaimRule rule;
  rule.byInterval = true;
  rule.triesSince = now - std::max<int64_t>(shortestInterval / 4, 1);
  rule.maxTries = settings_.retries + 1;
  rule.retryAfter = settings_.retryDelayMs / 1000;
  std::optional<std::string> claimed;
  std::string error;
  if (!store_.claimMeter(candidates, rule, runId, fleet_.lines[lineIndex].name, now, &claimed,
                         &error)) {
    noteStoreError(error);
    return false;
  }
  if (!claimed) return false;
  const auto found = std::find_if(pool.begin(), pool.end(),
                                  [&](size_t i) { return fleet_.meters[i].id == *claimed; });
  if (found == pool.end()) return false;
  attempt(lineIndex, *found, runId, false, log);
  if (!store_.releaseLease(Store::meterResource(*claimed), runId, &error)) noteStoreError(error);
  closeMeterAlarms(*found, true, utcNow());
  setActivity(lineIndex, "", "idle", 0);
  return true;
}

void Collector::serveLine(size_t lineIndex, int64_t runId,
                          const std::function<void(const MeterOutcome&, bool)>& log) {
  struct Plan {
    size_t meter;
    int64_t dueAt = 0;  // UTC seconds
    uint32_t failures = 0;
  };
  const std::vector<size_t> meters = metersOfLine(lineIndex, false);
  const std::vector<size_t> pool = metersOfLine(lineIndex, true);
  const std::string resource = lineResource(fleet_.lines[lineIndex]);
  if (!leaseLine(lineIndex, runId, resource, meters)) {
    for (size_t meter : meters) log(outcomes_[meter], false);
    setActivity(lineIndex, "", "held by another run", 0);
    return;
  }
  prepareMeters(pool, lineIndex, log);
  {
    std::lock_guard<std::mutex> guard(scheduleLock_);
    lineHeld_[lineIndex] = true;
  }
  const int64_t start = utcNow();
  const int64_t midnight = start - localSeconds(start) % kSecondsPerDay;
  std::vector<Plan> plans;
  for (size_t i : meters) {
    const MeterConfig& meter = fleet_.meters[i];
    std::string error;
    std::optional<int64_t> lastSuccess, callsToday;
    const std::optional<int64_t> row =
        store_.meterRow(meter.id, meter.line, meter.intervalS, start, &error);
    if (row) callsToday = store_.attemptsSince(*row, midnight, &error);
    if (!row || !callsToday || !store_.lastSuccess(meter.id, &lastSuccess, &error)) {
      outcomes_[i].code = kCodeStoreFailed;
      outcomes_[i].message = error;
      noteStoreError(error);
      continue;
    }
    meterRows_[i] = *row;
    {
      std::lock_guard<std::mutex> guard(scheduleLock_);
      callsDay_[i] = localDay(start);
      calls_[i] = static_cast<uint32_t>(*callsToday);
    }
    plans.push_back({i, lastSuccess ? *lastSuccess + meter.intervalS : start});
  }
  setActivity(lineIndex, "", "idle", 0);
  while (!stopping(settings_) && !finishing()) {
    const int64_t now = utcNow();
    const int minute = localMinuteOfDay(now);
    // The meter asked for now, else the most overdue one that may be
    // called: inside its window and within its calls a day.
    Plan* chosen = nullptr;
    bool chosenForced = false;
    int64_t nextLook = now + kLongestIdleWaitS;
    for (Plan& plan : plans) {
      const MeterConfig& meter = fleet_.meters[plan.meter];
      bool forced = false;
      {
        std::lock_guard<std::mutex> guard(scheduleLock_);
        forced = forced_[plan.meter];
      }
      const bool budget = callsToday(plan.meter, now) < meter.maxCallsPerDay;
      const int opensIn = meter.window ? meter.window->minutesUntilOpen(minute) : 0;
      const bool due = budget && plan.dueAt <= now && opensIn == 0;
      if ((forced && budget) || due) {
        const bool better = chosen == nullptr || (forced && !chosenForced) ||
                            (forced == chosenForced && plan.dueAt < chosen->dueAt);
        if (better) {
          chosen = &plan;
          chosenForced = forced;
        }
      } else if (budget) {
        nextLook = std::min(nextLook, std::max(plan.dueAt, now + int64_t{opensIn} * 60));
      }
    }
    if (chosen == nullptr && !pool.empty() && servePool(lineIndex, runId, pool, log)) continue;
    if (chosen == nullptr) {
      // The pool's meters come due on other collectors' clocks too: look
      // again soon.
      if (!pool.empty()) nextLook = std::min(nextLook, now + kPoolLookS);
      std::unique_lock<std::mutex> guard(scheduleLock_);
      const int64_t waitS = std::clamp<int64_t>(nextLook - now, 1, kLongestIdleWaitS);
      wake_.wait_for(guard, std::chrono::seconds(waitS));
      continue;
    }
    {
      std::lock_guard<std::mutex> guard(scheduleLock_);
      forced_[chosen->meter] = false;
    }
    const size_t i = chosen->meter;
    const MeterConfig& meter = fleet_.meters[i];
    MeterSession session(*this, lineIndex, meter, runId);
    const uint64_t startedMs = platform::nowMs();
    countCall(i, now);
    MeterOutcome outcome = session.run();
    outcome.attempts = chosen->failures + 1;
    outcomes_[i] = outcome;
    const bool retry = !outcome.ok && outcome.code != kCodeStoreFailed &&
                       chosen->failures < settings_.retries && !stopping(settings_);
    log(outcome, retry);
    CollectorEvent ended;
    ended.kind = CollectorEvent::Kind::AttemptEnded;
    ended.outcome = outcome;
    ended.willRetry = retry;
    ended.seconds = static_cast<double>(platform::nowMs() - startedMs) / 1000.0;
    emit(ended);
    const int64_t endedAt = utcNow();
    if (retry) {
      const uint32_t shift = std::min<uint32_t>(chosen->failures, 16);
      chosen->dueAt = endedAt + static_cast<int64_t>(std::min<uint64_t>(
                                     uint64_t{settings_.retryDelayMs} << shift, kMaxBackoffMs) /
                                 1000);
      ++chosen->failures;
    } else {
      // A meter that failed all its tries is called again a quarter of its
      // interval later, within its calls a day.
      chosen->dueAt = endedAt + (outcome.ok ? meter.intervalS : std::max<int64_t>(meter.intervalS / 4, 1));
      chosen->failures = 0;
      closeMeterAlarms(i, true, endedAt);
    }
    setActivity(lineIndex, "", "idle", 0);
  }
  {
    std::lock_guard<std::mutex> guard(scheduleLock_);
    lineHeld_[lineIndex] = false;
  }
  std::string error;
  if (!store_.releaseLease(resource, runId, &error)) noteStoreError(error);
  std::lock_guard<std::mutex> guard(activityLock_);
  activity_[lineIndex].meter.clear();
  activity_[lineIndex].stage = "done";
  activity_[lineIndex].finished = true;
}

Summary Collector::run(const std::function<void(const MeterOutcome&, bool)>& log) {
  const uint64_t startMs = platform::nowMs();
  slotStop = settings_.stopRequested;
  Summary summary;
  auto selectedOutcomes = [this] {
    std::vector<MeterOutcome> chosen;
    for (size_t i = 0; i < outcomes_.size(); ++i) {
      if (selected_[i]) chosen.push_back(outcomes_[i]);
    }
    return chosen;
  };
  summary.meters = selectedOutcomes();
  for (MeterOutcome& outcome : summary.meters) {
    outcome.message = "Not attempted: the store cannot be used";
  }
  summary.metersFailed = static_cast<uint32_t>(summary.meters.size());
  // A damaged store is found before any line is dialled; so are runs that
  // a killed collector left open.
  std::string error;
  if (!store_.checkIntegrity(&error) || !store_.closeAbandonedRuns(utcNow(), &error)) {
    summary.storeError = error;
    return summary;
  }
  runStartedAt_ = utcNow();
  const std::optional<int64_t> runId = store_.beginRun(fleet_.path, runStartedAt_, &error);
  if (!runId) {
    summary.storeError = error;
    return summary;
  }

  std::vector<std::unique_ptr<platform::Thread>> threads;
  for (size_t i = 0; i < fleet_.lines.size(); ++i) {
    const bool needed = lineOfCollector(fleet_.lines[i], settings_.collector) &&
                        (!metersOfLine(i, false).empty() || !metersOfLine(i, true).empty());
    if (!needed) {
      std::lock_guard<std::mutex> guard(activityLock_);
      activity_[i].stage = "not selected";
      activity_[i].finished = true;
      continue;
    }
    auto thread = std::make_unique<platform::Thread>();
    if (!thread->start([this, i, id = *runId, &log] { runLine(i, id, log); })) {
      runLine(i, *runId, log);
      continue;
    }
    threads.push_back(std::move(thread));
  }
  // Renewed well inside the lease, so that a slow download never loses it.
  const uint64_t renewMs = std::min<uint64_t>(kRunRenewMs, uint64_t(store_.leaseSeconds()) * 1000 / 4);
  uint64_t renewAt = platform::nowMs() + renewMs;
  uint64_t lateCheckAt = platform::nowMs() + kLateCheckMs;
  for (auto& thread : threads) {
    while (!thread->joinFor(kJoinPollMs)) {
      if (settings_.continuous && platform::nowMs() >= lateCheckAt) {
        lateCheckAt = platform::nowMs() + kLateCheckMs;
        for (size_t i = 0; i < fleet_.meters.size(); ++i) closeMeterAlarms(i, false, utcNow());
      }
      if (platform::nowMs() < renewAt) continue;
      renewAt = platform::nowMs() + renewMs;
      // A server out of reach for a while is waited for; the leases are
      // renewed once it is back.
      if (!store_.renewRun(*runId, utcNow(), &error) && !store_.connectionLost()) {
        noteStoreError(error);
      }
    }
  }
  if (!settings_.continuous) {
    settlePoolMeters();
    closeRunAlarms(utcNow());
  }

  summary.meters = selectedOutcomes();
  summary.metersFailed = 0;
  for (const MeterOutcome& outcome : summary.meters) {
    if (outcome.leftToOtherRun) {
      ++summary.metersLeft;
    } else {
      (outcome.ok ? summary.metersOk : summary.metersFailed) += 1;
    }
    summary.entriesNew += outcome.entriesNew;
    summary.bytes += outcome.bytes;
    summary.calls += outcome.calls;
  }
  summary.interrupted = stopping(settings_);
  summary.seconds = static_cast<double>(platform::nowMs() - startMs) / 1000.0;
  if (!store_.endRun(*runId, utcNow(), static_cast<int>(summary.metersOk),
                     static_cast<int>(summary.metersFailed), &error) ||
      !store_.checkIntegrity(&error)) {
    noteStoreError(error);
  }
  std::lock_guard<std::mutex> guard(alarmLock_);
  summary.alarms = alarms_;
  summary.storeError = storeError_;
  if (!summary.storeError.empty() && store_.connectionLost()) {
    summary.storeError = "the store's server is out of reach (" + store_.location() +
                         "): " + summary.storeError;
  }
  return summary;
}

}  // namespace vb::fleet
