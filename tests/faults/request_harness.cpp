#include "request_harness.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "formats/cdtf.h"

namespace vb::reliability {
namespace {

// The link's own pauses: the wake-up pause, a reconnect's wait and the
// margin a busy machine needs around each connection.
constexpr uint64_t kOpenCostMs = 200 + 500;
constexpr uint64_t kReconnectWaitMs = 1000;
// A receive may ask for a missing part again and wait once more for it.
constexpr uint64_t kReceiveWaitsPerReceive = 2;
// Fixed slack for start-up and close on a loaded machine.
constexpr uint64_t kSlackMs = 5000;

// A result filled in from scratch by the library overwrites this.
constexpr int32_t kUntouchedCode = 0x5A5A5A5A;

uint64_t AtLeastOne(uint32_t value) { return value == 0 ? 1 : value; }

std::string CheckResult(int32_t returned, const ResultRecord& result) {
  if (result.code < 0 || result.code >= VB_RESULT_CODE_COUNT) {
    return "result code " + std::to_string(result.code) + " is not a result code";
  }
  if (returned == 1 && result.code != VB_OK) return "success with code " + std::to_string(result.code);
  if (returned == 0 && result.code == VB_OK) return "failure with code 0";
  if (result.source[0] == '\0') return "empty source";
  if (std::memchr(result.source, '\0', sizeof result.source) == nullptr) return "source not terminated";
  if (std::memchr(result.message, '\0', sizeof result.message) == nullptr) {
    return "message not terminated";
  }
  if (returned == 0 && result.message[0] == '\0') return "failure without a message";
  return "";
}

std::string Mismatch(const char* what, size_t index) {
  return std::string(what) + " differs at entry " + std::to_string(index);
}

std::string ComparePairs(const metersim::MeterModel& model, const DataHeaderRecord& header,
                         const std::vector<RawPair>& entries) {
  const std::vector<metersim::Pair> pairs = model.pairs(1);
  if (header.count != pairs.size()) {
    return "pairs: count " + std::to_string(header.count) + ", meter has " +
           std::to_string(pairs.size());
  }
  for (size_t i = 0; i < pairs.size(); ++i) {
    if (entries[i].flow != pairs[i].flow || entries[i].pressure != pairs[i].pressure) {
      return Mismatch("pair", i);
    }
  }
  if (header.firstPairRSN != pairs.front().rsn || header.lastPairRSN != pairs.back().rsn) {
    return "pairs: header RSN range differs";
  }
  return "";
}

std::string CompareTotals(const metersim::MeterModel& model, const TotalsHeaderRecord& header,
                          const std::vector<TotalsRecord>& entries) {
  const std::vector<metersim::TotalsEntry> records = model.totals();
  if (header.count != records.size()) {
    return "totals: count " + std::to_string(header.count) + ", meter has " +
           std::to_string(records.size());
  }
  for (size_t i = 0; i < records.size(); ++i) {
    const auto& wire = records[i].wire;
    const TotalsRecord& got = entries[i];
    if (got.dateTime != request::CdtfToHost(static_cast<uint32_t>(records[i].time))) {
      return Mismatch("totals time", i);
    }
    for (size_t k = 0; k < 8; ++k) {
      uint32_t total = 0;
      std::memcpy(&total, wire.data() + 4 + 4 * k, sizeof total);
      if (got.totals[k] != total) return Mismatch("totals value", i);
    }
    if (got.extra1 != wire[36] || got.extra2 != wire[37] || got.crcValid != 1) {
      return Mismatch("totals tail", i);
    }
  }
  return "";
}

std::string CompareDib(const metersim::MeterModel& model, const DibRecord& dib) {
  const metersim::IdentityBlock identity = model.identity();
  const auto same = [](const char* field, const std::string& text) {
    return FieldText(field, VB_TEXT_FIELD) == text.substr(0, VB_TEXT_FIELD - 1);
  };
  if (!same(dib.meter_id, identity.meter_id) || !same(dib.manufact, identity.manufact) ||
      !same(dib.location, identity.location) || !same(dib.loggvers, identity.loggvers) ||
      !same(dib.usermess, identity.usermess)) {
    return "identity block: a text differs";
  }
  if (dib.trans_id != identity.trans_id || dib.flows_id != identity.flows_id ||
      dib.press_id != identity.press_id || dib.supplier != identity.supplier ||
      dib.calibore != identity.calibore) {
    return "identity block: a number differs";
  }
  return "";
}

}  // namespace

const char* JobName(Job job) {
  switch (job) {
    case Job::kPairs: return "pairs";
    case Job::kTotals: return "totals";
    case Job::kDib: return "dib";
  }
  return "?";
}

std::string FieldText(const char* field, size_t size) {
  return std::string(field, strnlen(field, size));
}

RequestRecord MakeRequest(const LineSettings& settings, int comNumber, int32_t portHandle) {
  RequestRecord request;
  std::memset(&request, 0, sizeof request);
  request.portNumber = static_cast<int16_t>(comNumber);
  const char protocol[4] = {'C', 'O', 'M', static_cast<char>('0' + comNumber)};
  std::memcpy(request.protocol, protocol, sizeof protocol);
  request.receiveTimeout = settings.receiveTimeoutMs;
  request.frameTimeout = settings.frameTimeoutMs;
  request.linkHandle = -1;
  request.portHandle = portHandle;
  request.logNo = 1;
  request.specifier = 2;
  request.commandAttempts = settings.commandAttempts;
  request.reconnectAttempts = settings.reconnectAttempts;
  request.resumeLimit = settings.resumeLimit;
  return request;
}

uint64_t RequestBoundMs(const RequestRecord& request) {
  const uint64_t receive =
      kReceiveWaitsPerReceive * request.receiveTimeout + request.frameTimeout + kOpenCostMs;
  const uint64_t reconnect = AtLeastOne(request.reconnectAttempts) * (kReconnectWaitMs + kOpenCostMs);
  const uint64_t attempts = AtLeastOne(request.commandAttempts);
  const uint64_t command = attempts * receive + attempts / 2 * reconnect;
  // A resume cycle: reconnect, pending-reply query, resume, and the receive.
  const uint64_t resume = (request.resumeLimit + 1) * (reconnect + 3 * receive);
  const uint64_t stage = std::max(command, receive + resume);
  return 2 * stage + kSlackMs;
}

Outcome RunJob(const metersim::MeterModel& model, RequestRecord request, Job job) {
  return RunJobOnRecord(model, &request, job);
}

Outcome RunJobOnRecord(const metersim::MeterModel& model, RequestRecord* record, Job job) {
  RequestRecord& request = *record;
  Outcome outcome;
  DibRecord dib{};
  DataHeaderRecord pairHeader{};
  TotalsHeaderRecord totalsHeader{};
  // Room for everything the meter holds, and more.
  std::vector<RawPair> pairs(model.pairs(1).size() + 16);
  std::vector<TotalsRecord> totals(model.totals().size() + 16);
  DownloadRecord download{};
  switch (job) {
    case Job::kPairs:
      request.requestCode = VB_REQ_DOWNLOAD_RAW;
      request.logNo = 1;
      download = {&pairHeader, pairs.data(), static_cast<uint32_t>(pairs.size())};
      request.download = &download;
      break;
    case Job::kTotals:
      request.requestCode = VB_REQ_DOWNLOAD_RAW;
      request.logNo = 3;
      download = {&totalsHeader, totals.data(), static_cast<uint32_t>(totals.size())};
      request.download = &download;
      break;
    case Job::kDib:
      request.requestCode = VB_REQ_DIB;
      break;
  }
  std::memset(&outcome.result, 'Z', sizeof outcome.result);
  outcome.result.code = kUntouchedCode;

  const auto started = std::chrono::steady_clock::now();
  outcome.returned = VantbrookRequest(&dib, &request, &outcome.result);
  outcome.elapsedMs = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                std::chrono::steady_clock::now() - started)
                                                .count());
  request.download = nullptr;
  outcome.resultProblem = CheckResult(outcome.returned, outcome.result);
  const bool keepsHeldLink =
      request.holdConnection == 1 &&
      (outcome.result.code == VB_OK || outcome.result.code == VB_NO_DATA_IN_RANGE);
  if (request.linkHandle != -1 && !keepsHeldLink) outcome.resultProblem += " link left open";
  if (request.linkHandle == -1 && keepsHeldLink) outcome.resultProblem += " held link closed";
  if (outcome.returned == 1) {
    switch (job) {
      case Job::kPairs: outcome.dataProblem = ComparePairs(model, pairHeader, pairs); break;
      case Job::kTotals: outcome.dataProblem = CompareTotals(model, totalsHeader, totals); break;
      case Job::kDib: outcome.dataProblem = CompareDib(model, dib); break;
    }
  }
  return outcome;
}

}  // namespace vb::reliability
