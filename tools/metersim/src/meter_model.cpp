// The simulated meter: seeded logger data and the answer to every command.
#include "metersim/meter_model.h"

#include <algorithm>
#include <cmath>
#include <random>

#include "crc16.h"
#include "platform/clock.h"
#include "wire.h"

namespace vb::metersim {
namespace {

// Seconds from 1970-01-01 to 1990-01-01, where CDTF counts from.
constexpr int64_t kCdtfEpochOffset = 631152000;
constexpr int32_t kSecondsPerDay = 86400;
// The clock was last set a week before the simulator started.
constexpr int32_t kLastClockSetAge = 7 * kSecondsPerDay;
constexpr size_t kMinCommandLength = 8;
constexpr size_t kParameterOffset = 8;
constexpr size_t kDataOffset = 10;
constexpr uint16_t kDataHeaderType = 1;
constexpr uint16_t kTotalsHeaderType = 3;
constexpr uint16_t kHeaderFormatVersion = 1;
constexpr uint16_t kSampleFormat = 1;
constexpr size_t kRestartParameterOffset = 12;
// Command lengths below which a command lacks its data.
constexpr size_t kGetHeaderLength = 12;
constexpr size_t kGetDataLength = 22;
constexpr size_t kSetTimeLength = 14;
constexpr size_t kRestartLength = 12;
constexpr size_t kRestartWithParametersLength = 18;
constexpr size_t kRequestResumeLength = 14;

constexpr double kPi = 3.14159265358979323846;
// The most entries a logger writes at once to catch up with its clock.
constexpr int64_t kMaxCatchUpEntries = 100000;

std::vector<uint8_t> beginReply(uint8_t messageClass, uint16_t command, uint16_t status) {
  std::vector<uint8_t> reply;
  WireWriter out(&reply);
  out.u8(kCommandMarker);
  out.u8(messageClass);
  out.u16(command);
  out.u16(status);
  out.u32(0);  // byte count, set by finishReply
  return reply;
}

std::vector<uint8_t> finishReply(std::vector<uint8_t> reply) {
  putU32(&reply, 6, static_cast<uint32_t>(reply.size() - kReplyHeaderSize));
  return reply;
}

// A reply that carries only its status (and two bytes nobody reads).
std::vector<uint8_t> statusReply(uint8_t messageClass, uint16_t command, uint16_t status) {
  std::vector<uint8_t> reply = beginReply(messageClass, command, status);
  WireWriter(&reply).u16(0);
  return finishReply(std::move(reply));
}

// RestartLogger replies echo the logger number at bytes 12-13 whatever the
// status.
std::vector<uint8_t> restartReply(uint16_t command, uint16_t status, uint16_t logNo) {
  std::vector<uint8_t> reply = beginReply(kClassMeter, command, status);
  WireWriter out(&reply);
  out.u16(0);
  out.u16(logNo);
  return finishReply(std::move(reply));
}

bool isCommandMessage(const std::vector<uint8_t>& message) {
  return message.size() >= kMinCommandLength && message[0] == kCommandMarker;
}

bool isPairLogger(uint16_t logNo) { return logNo == 1 || logNo == 2; }
bool isLogger(uint16_t logNo) { return logNo >= 1 && logNo <= kLoggerCount; }

int32_t hostLocalNow() {
  const int64_t local = platform::wallClockSeconds() -
                        int64_t{platform::localZoneOffsetMinutesWest()} * 60 - kCdtfEpochOffset;
  return static_cast<int32_t>(std::clamp<int64_t>(local, 0, INT32_MAX));
}

// A small deterministic variation in [-spread, spread] (the standard
// distributions differ between libraries; the engine does not).
int32_t jitter(std::mt19937_64& random, int32_t spread) {
  return static_cast<int32_t>(random() % static_cast<uint64_t>(2 * spread + 1)) - spread;
}

// Time of entry `index` of `count` logged every `interval` seconds, the last
// one at the latest interval boundary not after clockAtStart.
int32_t entryTime(int32_t clockAtStart, int64_t interval, uint32_t count, uint32_t index) {
  const int64_t last = clockAtStart / interval * interval;
  const int64_t time = last - (int64_t{count} - 1 - index) * interval;
  return static_cast<int32_t>(std::clamp<int64_t>(time, INT32_MIN, INT32_MAX));
}

uint16_t clampSample(double value) {
  return static_cast<uint16_t>(std::clamp(std::lround(value), 0L, 32767L));
}

void appendDataHeader(const DataLoggerHeader& h, std::vector<uint8_t>* reply) {
  std::vector<uint8_t> header;
  WireWriter out(&header);
  out.u32(0);  // byteCount, set below
  out.u16(h.formatVersion);
  out.u16(h.type);
  out.u16(h.supplier);
  out.text(h.siteId);
  out.i32(h.currentDateTime);
  out.i32(h.priorDateTime);
  out.i32(h.postDateTime);
  out.i32(h.originalLoggerResetDateTime);
  out.i32(h.correctedLoggerResetDateTime);
  out.i32(h.firstPairDateTime);
  out.u32(h.firstPairRSN);
  out.u32(h.lastPairDateTime);
  out.u32(h.lastPairRSN);
  out.u16(h.loggingInterval);
  out.f32(h.calibratedBore);
  out.u16(h.velocityFormat);
  out.u16(h.pressureFormat);
  out.u16(static_cast<uint16_t>(h.heightOffset));
  out.u32(h.statusFlags);
  putU32(&header, 0, static_cast<uint32_t>(header.size()));
  reply->insert(reply->end(), header.begin(), header.end());
}

void appendTotalsHeader(const TotalsLoggerHeader& h, std::vector<uint8_t>* reply) {
  std::vector<uint8_t> header;
  WireWriter out(&header);
  out.u32(0);  // byteCount, set below
  out.u16(h.formatVersion);
  out.u16(h.type);
  out.u16(h.supplier);
  out.text(h.siteId);
  out.i32(h.currentDateTime);
  out.i32(h.priorDateTime);
  out.i32(h.postDateTime);
  out.text(h.auxText);
  out.f32(h.auxValue);
  out.i32(h.firstRecordDateTime);
  out.u32(h.firstRecordRSN);
  out.u32(h.lastRecordDateTime);
  out.u32(h.lastRecordRSN);
  out.u32(h.statusFlags);
  putU32(&header, 0, static_cast<uint32_t>(header.size()));
  reply->insert(reply->end(), header.begin(), header.end());
}

// Which entries a GetData selection takes.
struct Selection {
  uint16_t mode;
  uint32_t from;
  uint32_t to;

  bool takes(uint32_t rsn, int32_t time) const {
    switch (mode) {
      case kSelectByTime:
      case kSelectByTimeAlt:
        return static_cast<int32_t>(from) <= time && time <= static_cast<int32_t>(to);
      case kSelectByRsn:
      case kSelectByRsnAndReset:
        return from <= rsn && rsn <= to;
      default:
        return true;
    }
  }
  bool resets() const { return mode == kSelectByRsnAndReset || mode == kSelectAllAndReset; }
  bool supported() const { return mode <= kSelectAllAndReset; }
};

}  // namespace

std::vector<uint8_t> buildCommand(uint8_t messageClass, uint16_t command, uint16_t parameter,
                                  const std::vector<uint8_t>& data) {
  std::vector<uint8_t> message;
  WireWriter out(&message);
  out.u8(kCommandMarker);
  out.u8(messageClass);
  out.u16(command);
  out.u32(static_cast<uint32_t>(2 + data.size()));
  out.u16(parameter);
  message.insert(message.end(), data.begin(), data.end());
  return message;
}

MeterModel::MeterModel(Profile profile, ModelSettings settings)
    : profile_(std::move(profile)),
      settings_(std::move(settings)),
      lockLevel_(settings_.initialLockLevel) {
  const int32_t hostNow = hostLocalNow();
  const int32_t clockAtStart = settings_.clockAtStart != 0 ? settings_.clockAtStart : hostNow;
  clockOffset_ = int64_t{clockAtStart} - hostNow;
  startMs_ = platform::realClock().nowMs();
  generate(clockAtStart);
}

void MeterModel::generate(int32_t clockAtStart) {
  const IdentityBlock& id = profile_.identity;
  for (uint16_t logNo = 1; logNo <= 2; ++logNo) {
    PairLogger& logger = pairLoggers_[logNo - 1];
    const int32_t interval = profile_.pairIntervals[logNo - 1];
    const uint32_t count = settings_.pairsPerLogger;
    logger.random.seed(settings_.seed * 0x9E3779B97F4A7C15ull + logNo);
    logger.pairs.clear();
    logger.pairs.reserve(settings_.pairsPerLogger);
    logger.nextRsn = profile_.firstRsn[logNo - 1];
    for (uint32_t i = 0; i < count; ++i) appendPair(logNo, entryTime(clockAtStart, interval, count, i));
    logger.nextTime = int64_t{entryTime(clockAtStart, interval, 1, 0)} + interval;
    DataLoggerHeader& h = logger.header;
    h.formatVersion = kHeaderFormatVersion;
    h.type = kDataHeaderType;
    h.supplier = id.supplier;
    h.siteId = profile_.siteIds[logNo - 1];
    h.priorDateTime = clockAtStart - kLastClockSetAge;
    h.postDateTime = clockAtStart - kLastClockSetAge;
    h.originalLoggerResetDateTime = entryTime(clockAtStart, interval, count + 1, 0);
    h.correctedLoggerResetDateTime = h.originalLoggerResetDateTime;
    h.loggingInterval = static_cast<uint16_t>(interval);
    h.calibratedBore = id.calibore;
    h.velocityFormat = kSampleFormat;
    h.pressureFormat = kSampleFormat;
    h.heightOffset = profile_.heightOffset;
    h.statusFlags = 0;
  }

  TotalsLogger& logger = totalsLogger_;
  const int64_t interval = profile_.totalsInterval;
  const uint32_t count = settings_.totalsRecords;
  logger.random.seed(settings_.seed * 0x9E3779B97F4A7C15ull + kTotalsLogger);
  logger.running = {120000, 350, 4200, 80, 15000, 0, 990, 12};
  logger.records.clear();
  logger.records.reserve(settings_.totalsRecords);
  logger.nextRsn = profile_.firstRsn[kTotalsLogger - 1];
  for (uint32_t i = 0; i < count; ++i) {
    appendTotals(entryTime(clockAtStart, interval, count, i), i, count);
  }
  logger.nextTime = int64_t{entryTime(clockAtStart, interval, 1, 0)} + interval;
  TotalsLoggerHeader& h = logger.header;
  h.formatVersion = kHeaderFormatVersion;
  h.type = kTotalsHeaderType;
  h.supplier = id.supplier;
  h.siteId = profile_.siteIds[kTotalsLogger - 1];
  h.priorDateTime = clockAtStart - kLastClockSetAge;
  h.postDateTime = clockAtStart - kLastClockSetAge;
  h.auxText = profile_.auxText;
  h.auxValue = profile_.auxValue;
  h.statusFlags = 0;
}

void MeterModel::appendPair(uint16_t logNo, int32_t time) {
  PairLogger& logger = pairLoggers_[logNo - 1];
  const double flowBase = logNo == 1 ? 1600.0 : 600.0;
  Pair pair;
  pair.rsn = logger.nextRsn++;
  pair.time = time;
  // Demand follows the day: low at night, high in the morning and evening.
  const double day = static_cast<double>(pair.time % kSecondsPerDay) / kSecondsPerDay;
  const double demand = 0.55 + 0.45 * std::sin(2.0 * kPi * (day - 0.3));
  pair.flow = clampSample(flowBase * demand + jitter(logger.random, 30));
  pair.pressure = clampSample(2820.0 - 320.0 * demand + jitter(logger.random, 20));
  logger.pairs.push_back(pair);
  if (settings_.loggerCapacity > 0 && logger.pairs.size() > settings_.loggerCapacity) {
    logger.pairs.erase(logger.pairs.begin());
  }
}

void MeterModel::appendTotals(int32_t time, uint32_t index, uint32_t count) {
  TotalsLogger& logger = totalsLogger_;
  std::array<uint32_t, 8>& totals = logger.running;
  TotalsEntry entry;
  entry.rsn = logger.nextRsn++;
  entry.time = time;
  totals[0] += 800 + static_cast<uint32_t>(logger.random() % 400);  // forward volume
  totals[1] += static_cast<uint32_t>(logger.random() % 5);          // reverse volume
  for (size_t k = 2; k < totals.size(); ++k) {
    totals[k] += static_cast<uint32_t>(logger.random() % 100);
  }
  std::vector<uint8_t> wire;
  WireWriter out(&wire);
  out.i32(entry.time);
  for (uint32_t total : totals) out.u32(total);
  const uint64_t drained = count == 0 ? 0 : std::min<uint64_t>(uint64_t{index} * 40 / count, 40);
  out.u8(static_cast<uint8_t>(100 - drained));                      // battery percent
  out.u8(static_cast<uint8_t>(logger.random() % 4));                // alarm bits
  out.u16(Crc16(wire.data(), kTotalsCrcCovered));
  std::copy(wire.begin(), wire.end(), entry.wire.begin());
  logger.records.push_back(entry);
  if (settings_.loggerCapacity > 0 && logger.records.size() > settings_.loggerCapacity) {
    logger.records.erase(logger.records.begin());
  }
}

void MeterModel::keepLogging() {
  if (settings_.timeScale == 0) return;
  const int64_t now = clockNowLocked();
  for (uint16_t logNo = 1; logNo <= 2; ++logNo) {
    PairLogger& logger = pairLoggers_[logNo - 1];
    const int64_t interval = std::max<int64_t>(logger.header.loggingInterval, 1);
    // A clock set far ahead does not make the logger write years of pairs.
    if ((now - logger.nextTime) / interval > kMaxCatchUpEntries) {
      logger.nextTime = now - kMaxCatchUpEntries * interval;
    }
    for (; logger.nextTime <= now; logger.nextTime += interval) {
      appendPair(logNo, static_cast<int32_t>(logger.nextTime));
    }
  }
  TotalsLogger& totals = totalsLogger_;
  const int64_t interval = std::max<int64_t>(profile_.totalsInterval, 1);
  if ((now - totals.nextTime) / interval > kMaxCatchUpEntries) {
    totals.nextTime = now - kMaxCatchUpEntries * interval;
  }
  for (; totals.nextTime <= now; totals.nextTime += interval) {
    appendTotals(static_cast<int32_t>(totals.nextTime), 0, settings_.totalsRecords);
  }
}

int64_t MeterModel::scaledExtraSeconds() const {
  if (settings_.timeScale <= 1) return 0;
  const uint64_t elapsedMs = platform::realClock().nowMs() - startMs_;
  return static_cast<int64_t>(elapsedMs * (settings_.timeScale - 1) / 1000);
}

int32_t MeterModel::clockNowLocked() const {
  return static_cast<int32_t>(
      std::clamp<int64_t>(hostLocalNow() + clockOffset_ + scaledExtraSeconds(), 0, INT32_MAX));
}

DataLoggerHeader MeterModel::currentDataHeader(uint16_t logNo) const {
  const PairLogger& logger = pairLoggers_[logNo - 1];
  DataLoggerHeader h = logger.header;
  h.currentDateTime = clockNowLocked();
  if (logger.pairs.empty()) {
    h.firstPairDateTime = h.correctedLoggerResetDateTime;
    h.lastPairDateTime = static_cast<uint32_t>(h.correctedLoggerResetDateTime);
    h.firstPairRSN = logger.nextRsn;
    h.lastPairRSN = logger.nextRsn - 1;
  } else {
    h.firstPairDateTime = logger.pairs.front().time;
    h.firstPairRSN = logger.pairs.front().rsn;
    h.lastPairDateTime = static_cast<uint32_t>(logger.pairs.back().time);
    h.lastPairRSN = logger.pairs.back().rsn;
  }
  return h;
}

TotalsLoggerHeader MeterModel::currentTotalsHeader() const {
  const TotalsLogger& logger = totalsLogger_;
  TotalsLoggerHeader h = logger.header;
  h.currentDateTime = clockNowLocked();
  if (logger.records.empty()) {
    h.firstRecordDateTime = h.postDateTime;
    h.lastRecordDateTime = static_cast<uint32_t>(h.postDateTime);
    h.firstRecordRSN = logger.nextRsn;
    h.lastRecordRSN = logger.nextRsn - 1;
  } else {
    h.firstRecordDateTime = logger.records.front().time;
    h.firstRecordRSN = logger.records.front().rsn;
    h.lastRecordDateTime = static_cast<uint32_t>(logger.records.back().time);
    h.lastRecordRSN = logger.records.back().rsn;
  }
  return h;
}

void MeterModel::appendHeader(uint16_t logNo, std::vector<uint8_t>* out) const {
  if (isPairLogger(logNo)) {
    appendDataHeader(currentDataHeader(logNo), out);
  } else {
    appendTotalsHeader(currentTotalsHeader(), out);
  }
}

Answer MeterModel::handle(const std::vector<uint8_t>& message, const ForcedStatus& forced) {
  std::lock_guard<std::mutex> lock(mutex_);
  keepLogging();
  Answer answer;
  if (!isCommandMessage(message)) {
    std::vector<uint8_t> reply(std::begin(kMessageReplyPrefix), std::end(kMessageReplyPrefix) - 1);
    reply.insert(reply.end(), message.begin(), message.end());
    answer.replies.push_back({std::move(reply), 0});
    return answer;
  }
  const uint8_t messageClass = message[1];
  uint16_t command = 0;
  readU16(message, 2, &command);
  const bool classMatches = forced.messageClass == 0 || forced.messageClass == messageClass;
  const bool commandMatches = forced.command == 0 || forced.command == command;
  if (forced.status >= 0 && classMatches && commandMatches) {
    const auto status = static_cast<uint16_t>(forced.status);
    std::vector<uint8_t> reply;
    if (messageClass == kClassMeter &&
        (command == kCmdRestartLogger || command == kCmdRestartLoggerWithParameters)) {
      uint16_t logNo = 0;
      readU16(message, kDataOffset, &logNo);
      reply = restartReply(command, status, logNo);
    } else {
      reply = statusReply(messageClass, command, status);
    }
    if (messageClass == kClassMeter) keepPending(reply);
    answer.replies.push_back({std::move(reply), 0});
    return answer;
  }
  if (messageClass == kClassMeter) {
    std::vector<uint8_t> reply = answerMeterCommand(message, command);
    keepPending(reply);
    answer.replies.push_back({std::move(reply), 0});
  } else if (messageClass == kClassControl) {
    Reply resumed;
    answer.replies.push_back({answerControlCommand(message, command, &resumed), 0});
    if (!resumed.bytes.empty()) answer.replies.push_back(std::move(resumed));
  } else {
    answer.replies.push_back({statusReply(messageClass, command, kStatusNotImplemented), 0});
  }
  return answer;
}

void MeterModel::keepPending(const std::vector<uint8_t>& reply) {
  if (!settings_.keepPendingReplies) return;
  pendingReply_ = reply;
  lastId_ = static_cast<uint16_t>(lastId_ + 1);
  if (lastId_ == 0) lastId_ = 1;
  pendingId_ = lastId_;
}

std::vector<uint8_t> MeterModel::answerMeterCommand(const std::vector<uint8_t>& message,
                                                    uint16_t command) {
  switch (command) {
    case kCmdGetVersions:
      return versionsReply();
    case kCmdSetTime:
      return setTime(message);
    case kCmdUnlock:
      return unlock(message);
    case kCmdLock:
      lockLevel_ = 2;
      return statusReply(kClassMeter, command, kStatusOk);
    case kCmdGetDib: {
      std::vector<uint8_t> reply = dibReply(kStatusOk);
      // Reading the identity block answers the "DIB changed" indication.
      for (PairLogger& logger : pairLoggers_) logger.header.statusFlags &= ~kStatusFlagDibChanged;
      totalsLogger_.header.statusFlags &= ~kStatusFlagDibChanged;
      return reply;
    }
    case kCmdGetHeader: {
      uint16_t logNo = 0;
      if (message.size() < kGetHeaderLength || !readU16(message, kDataOffset, &logNo)) {
        return statusReply(kClassMeter, command, kStatusParameterNotValid);
      }
      if (lockLevel_ >= 2) return statusReply(kClassMeter, command, kStatusReadLocked);
      if (!isLogger(logNo)) return statusReply(kClassMeter, command, kStatusNoSuchLogger);
      return headerReply(logNo);
    }
    case kCmdGetData:
      return getData(message);
    case kCmdRestartLogger:
    case kCmdRestartLoggerWithParameters:
      return restartLogger(message, command);
    default:
      return statusReply(kClassMeter, command, kStatusNotImplemented);
  }
}

std::vector<uint8_t> MeterModel::answerControlCommand(const std::vector<uint8_t>& message,
                                                      uint16_t command, Reply* resumed) {
  switch (command) {
    case kCtlQueryPendingReply: {
      if (pendingId_ == 0 && settings_.noPendingStatus != kStatusOk) {
        return statusReply(kClassControl, command, settings_.noPendingStatus);
      }
      std::vector<uint8_t> reply = beginReply(kClassControl, command, kStatusOk);
      WireWriter(&reply).u16(pendingId_);
      return finishReply(std::move(reply));
    }
    case kCtlRequestResume: {
      uint16_t id = 0;
      uint32_t offset = 0;
      const bool complete = message.size() >= kRequestResumeLength &&
                            readU16(message, kParameterOffset, &id) &&
                            readU32(message, kDataOffset, &offset);
      const bool known = complete && id != 0 && id == pendingId_ && offset < pendingReply_.size();
      std::vector<uint8_t> reply =
          beginReply(kClassControl, command, known ? kStatusOk : kStatusParameterNotValid);
      WireWriter out(&reply);
      out.u16(id);
      out.u32(offset);
      if (known) *resumed = Reply{pendingReply_, offset};
      return finishReply(std::move(reply));
    }
    case kCtlCancelSession:
      return statusReply(kClassControl, command, kStatusOk);
    default:
      return statusReply(kClassControl, command, kStatusNotImplemented);
  }
}

std::vector<uint8_t> MeterModel::versionsReply() const {
  std::vector<uint8_t> reply = beginReply(kClassMeter, kCmdGetVersions, kStatusOk);
  WireWriter out(&reply);
  out.u16(0);
  for (const std::string& text : profile_.versions) out.text(text);
  return finishReply(std::move(reply));
}

std::vector<uint8_t> MeterModel::dibReply(uint16_t status) const {
  const IdentityBlock& id = profile_.identity;
  std::vector<uint8_t> reply = beginReply(kClassMeter, kCmdGetDib, status);
  WireWriter out(&reply);
  out.u16(0);
  out.u32(id.strusize);
  out.u16(id.struvers);
  out.u16(0);  // where the logger header has its type
  out.u16(id.supplier);
  out.text(id.meter_id);
  out.i32(id.last_alt);
  out.u32(id.trans_id);
  out.u16(id.transpin);
  out.u32(id.flows_id);
  out.u32(id.press_id);
  out.f32(id.calibore);
  out.u16(id.aux_word);
  for (const std::string* text :
       {&id.flowcont, &id.trancont, &id.prescont, &id.transtag, &id.presstag, &id.manufact,
        &id.transtyp, &id.business, &id.location, &id.flowcali, &id.prescali, &id.usermess,
        &id.tranvers, &id.protvers, &id.loggvers}) {
    out.text(*text);
  }
  return finishReply(std::move(reply));
}

std::vector<uint8_t> MeterModel::headerReply(uint16_t logNo) const {
  std::vector<uint8_t> reply = beginReply(kClassMeter, kCmdGetHeader, kStatusOk);
  WireWriter out(&reply);
  out.u16(logNo);
  out.u16(0);
  appendHeader(logNo, &reply);
  return finishReply(std::move(reply));
}

std::vector<uint8_t> MeterModel::getData(const std::vector<uint8_t>& message) {
  uint16_t logNo = 0;
  Selection selection{};
  if (message.size() < kGetDataLength || !readU16(message, kDataOffset, &logNo) ||
      !readU16(message, kDataOffset + 2, &selection.mode) ||
      !readU32(message, kDataOffset + 4, &selection.from) ||
      !readU32(message, kDataOffset + 8, &selection.to)) {
    return statusReply(kClassMeter, kCmdGetData, kStatusParameterNotValid);
  }
  if (lockLevel_ >= 2) return statusReply(kClassMeter, kCmdGetData, kStatusReadLocked);
  if (!isLogger(logNo)) return statusReply(kClassMeter, kCmdGetData, kStatusNoSuchLogger);
  if (!selection.supported()) {
    return statusReply(kClassMeter, kCmdGetData, kStatusDatamodeNotSupported);
  }

  std::vector<uint8_t> entries;
  if (isPairLogger(logNo)) {
    WireWriter out(&entries);
    for (const Pair& pair : pairLoggers_[logNo - 1].pairs) {
      if (!selection.takes(pair.rsn, pair.time)) continue;
      out.u16(pair.flow);
      out.u16(pair.pressure);
    }
  } else {
    for (const TotalsEntry& record : totalsLogger_.records) {
      if (selection.takes(record.rsn, record.time)) {
        entries.insert(entries.end(), record.wire.begin(), record.wire.end());
      }
    }
  }

  std::vector<uint8_t> reply;
  if (entries.empty()) {
    reply = statusReply(kClassMeter, kCmdGetData, kStatusNoData);
  } else {
    reply = beginReply(kClassMeter, kCmdGetData, kStatusOk);
    WireWriter out(&reply);
    out.u16(logNo);
    out.u16(selection.mode);
    appendHeader(logNo, &reply);
    reply.insert(reply.end(), entries.begin(), entries.end());
    reply = finishReply(std::move(reply));
  }
  if (selection.resets()) resetLogger(logNo);
  return reply;
}

std::vector<uint8_t> MeterModel::restartLogger(const std::vector<uint8_t>& message,
                                               uint16_t command) {
  const size_t needed = command == kCmdRestartLogger ? kRestartLength : kRestartWithParametersLength;
  uint16_t logNo = 0;
  if (message.size() < needed || !readU16(message, kDataOffset, &logNo)) {
    return restartReply(command, kStatusParameterNotValid, logNo);
  }
  if (lockLevel_ >= 1) return restartReply(command, kStatusWriteLocked, logNo);
  if (!isLogger(logNo)) return restartReply(command, kStatusNoSuchLogger, logNo);
  if (command == kCmdRestartLoggerWithParameters) {
    std::copy_n(message.begin() + kRestartParameterOffset, restartParameters_.size(),
                restartParameters_.begin());
  }
  resetLogger(logNo);
  return restartReply(command, kStatusOk, logNo);
}

std::vector<uint8_t> MeterModel::setTime(const std::vector<uint8_t>& message) {
  uint32_t newTime = 0;
  if (message.size() < kSetTimeLength || !readU32(message, kDataOffset, &newTime)) {
    return statusReply(kClassMeter, kCmdSetTime, kStatusParameterNotValid);
  }
  if (lockLevel_ >= 1) return statusReply(kClassMeter, kCmdSetTime, kStatusWriteLocked);
  const int32_t previous = clockNowLocked();
  const auto next = static_cast<int32_t>(newTime);
  clockOffset_ = int64_t{next} - hostLocalNow() - scaledExtraSeconds();
  for (PairLogger& logger : pairLoggers_) {
    logger.header.priorDateTime = previous;
    logger.header.postDateTime = next;
  }
  totalsLogger_.header.priorDateTime = previous;
  totalsLogger_.header.postDateTime = next;
  std::vector<uint8_t> reply = beginReply(kClassMeter, kCmdSetTime, kStatusOk);
  WireWriter out(&reply);
  out.u16(0);
  out.i32(next);
  out.i32(previous);
  return finishReply(std::move(reply));
}

std::vector<uint8_t> MeterModel::unlock(const std::vector<uint8_t>& message) {
  std::string password;
  for (size_t i = kDataOffset; i < message.size() && message[i] != 0; ++i) {
    password.push_back(static_cast<char>(message[i]));
  }
  if (!settings_.password.empty() && password != settings_.password) {
    return statusReply(kClassMeter, kCmdUnlock, kStatusParameterNotValid);
  }
  lockLevel_ = 0;
  return statusReply(kClassMeter, kCmdUnlock, kStatusOk);
}

void MeterModel::resetLogger(uint16_t logNo) {
  const int32_t now = clockNowLocked();
  if (isPairLogger(logNo)) {
    PairLogger& logger = pairLoggers_[logNo - 1];
    logger.pairs.clear();
    logger.header.originalLoggerResetDateTime = now;
    logger.header.correctedLoggerResetDateTime = now;
    logger.nextTime = int64_t{now} + logger.header.loggingInterval;
  } else {
    totalsLogger_.records.clear();
    totalsLogger_.nextTime = int64_t{now} + profile_.totalsInterval;
  }
}

IdentityBlock MeterModel::identity() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return profile_.identity;
}

std::array<std::string, 8> MeterModel::versions() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return profile_.versions;
}

DataLoggerHeader MeterModel::dataHeader(uint16_t logNo) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return isPairLogger(logNo) ? currentDataHeader(logNo) : DataLoggerHeader();
}

TotalsLoggerHeader MeterModel::totalsHeader() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return currentTotalsHeader();
}

std::vector<Pair> MeterModel::pairs(uint16_t logNo) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return isPairLogger(logNo) ? pairLoggers_[logNo - 1].pairs : std::vector<Pair>();
}

std::vector<TotalsEntry> MeterModel::totals() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return totalsLogger_.records;
}

uint32_t MeterModel::statusFlags(uint16_t logNo) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (isPairLogger(logNo)) return pairLoggers_[logNo - 1].header.statusFlags;
  return logNo == kTotalsLogger ? totalsLogger_.header.statusFlags : 0;
}

void MeterModel::setStatusFlags(uint16_t logNo, uint32_t flags) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (isPairLogger(logNo)) pairLoggers_[logNo - 1].header.statusFlags = flags;
  if (logNo == kTotalsLogger) totalsLogger_.header.statusFlags = flags;
}

void MeterModel::setDibChanged(bool changed) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto apply = [changed](uint32_t* flags) {
    *flags = changed ? (*flags | kStatusFlagDibChanged) : (*flags & ~kStatusFlagDibChanged);
  };
  for (PairLogger& logger : pairLoggers_) apply(&logger.header.statusFlags);
  apply(&totalsLogger_.header.statusFlags);
}

uint8_t MeterModel::lockLevel() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lockLevel_;
}

int32_t MeterModel::clockNow() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return clockNowLocked();
}

std::array<uint8_t, 6> MeterModel::lastRestartParameters() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return restartParameters_;
}

uint16_t MeterModel::pendingReplyId() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pendingId_;
}

}  // namespace vb::metersim
