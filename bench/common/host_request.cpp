#include "host_request.h"

#include <chrono>
#include <cstring>
#include <vector>

namespace vb::bench {
namespace {

template <size_t N>
std::string fieldText(const char (&field)[N]) {
  return std::string(field, strnlen(field, N));
}

template <typename Entry, typename Header>
Outcome download(RequestRecord* request, int16_t logNo, int16_t code, uint32_t count) {
  Header header{};
  std::vector<Entry> entries(count);
  DownloadRecord record{&header, entries.data(), count};
  request->logNo = logNo;
  request->download = &record;
  Outcome outcome = runRequest(request, code);
  request->download = nullptr;
  outcome.entries = header.count;
  if (outcome.ok && header.count != count) {
    outcome.ok = false;
    outcome.failure =
        "decoded " + std::to_string(header.count) + " of " + std::to_string(count) + " entries";
  }
  return outcome;
}

}  // namespace

RequestRecord baseRequest(int32_t portHandle) {
  RequestRecord request;
  std::memset(&request, 0, sizeof request);
  request.portNumber = 1;
  std::memcpy(request.protocol, "COM1", 4);
  request.receiveTimeout = kReceiveTimeoutMs;
  request.frameTimeout = kFrameTimeoutMs;
  request.linkHandle = -1;
  request.portHandle = portHandle;
  request.logNo = 1;
  request.specifier = 2;
  request.commandAttempts = 3;
  request.reconnectAttempts = 2;
  request.resumeLimit = 3;
  return request;
}

Outcome runRequest(RequestRecord* request, int16_t code) {
  DibRecord dib{};
  ResultRecord result{};
  request->requestCode = code;
  const auto start = std::chrono::steady_clock::now();
  const int32_t returned = VantbrookRequest(&dib, request, &result);
  const auto end = std::chrono::steady_clock::now();
  Outcome outcome;
  outcome.seconds = std::chrono::duration<double>(end - start).count();
  outcome.ok = returned == 1;
  if (!outcome.ok) {
    outcome.failure = std::to_string(result.code) + " <" + fieldText(result.source) + "> " +
                      fieldText(result.message);
  }
  return outcome;
}

Outcome downloadPairs(RequestRecord* request, uint32_t count, bool converted) {
  if (converted) {
    return download<ConvertedPair, DataHeaderRecord>(request, 1, VB_REQ_DOWNLOAD_CONVERTED, count);
  }
  return download<RawPair, DataHeaderRecord>(request, 1, VB_REQ_DOWNLOAD_RAW, count);
}

Outcome downloadTotals(RequestRecord* request, uint32_t count) {
  return download<TotalsRecord, TotalsHeaderRecord>(request, 3, VB_REQ_DOWNLOAD_RAW, count);
}

}  // namespace vb::bench
