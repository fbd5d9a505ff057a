#include "formats/pairs.h"

#include <algorithm>
#include <cstring>

#include "formats/logger_header.h"
#include "formats/reply.h"
#include "trace.h"
#include "vantbrook/vantbrook.h"

namespace vb::request {
namespace {

constexpr uint32_t kPairWireSize = 4;
constexpr const char* kPairsMisfit = "Remaining bytes is not a multiple of 4";

// The conversion constants are single-precision values, given by their bit
// patterns so that every build computes the same pairs to the last bit.
float SingleFromBits(uint32_t bits) {
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}
const double kFlowFactor = SingleFromBits(0x3057E37C);     // pi/4 x 1e-9
const double kHeightFactor = SingleFromBits(0x3DC8E8A7);   // 0.0981
const double kPressureScale = SingleFromBits(0x3A83126F);  // 0.001
const double kPressureOffset = SingleFromBits(0x3F81CAC1); // 1.014

// A wire pair in engineering units with the header's calibrated bore and
// height offset, computed in double and rounded to single precision.
ConvertedPair ConvertPair(int16_t flow, int16_t pressure, float calibratedBore,
                          int16_t heightOffset) {
  double bore = calibratedBore;
  ConvertedPair pair;
  pair.flow = static_cast<float>(((flow * bore) * bore) * kFlowFactor);
  pair.pressure = static_cast<float>(
      ((heightOffset * kHeightFactor) + pressure) * kPressureScale - kPressureOffset);
  return pair;
}

void StoreRawPairs(ReplyFields& reply, uint32_t take, RawPair* pairs, DataHeaderRecord* record) {
  for (uint32_t i = 0; i < take; ++i) {
    pairs[i].flow = reply.u16();
    pairs[i].pressure = reply.u16();
    record->count = i + 1;
  }
}

void StoreConvertedPairs(ReplyFields& reply, uint32_t take, const DataHeader& header,
                         ConvertedPair* pairs, DataHeaderRecord* record) {
  for (uint32_t i = 0; i < take; ++i) {
    uint16_t flow = reply.u16();
    uint16_t pressure = reply.u16();
    pairs[i] = ConvertPair(static_cast<int16_t>(flow), static_cast<int16_t>(pressure),
                           header.calibratedBore, header.heightOffset);
    record->count = i + 1;
    Trace("%d. Flow, Pressure: %d, %u\n", static_cast<int>(i + 1),
          static_cast<int>(static_cast<int16_t>(flow)), static_cast<unsigned>(pressure));
    Trace("%d. Flow, Pressure (converted): %f, %f\n", static_cast<int>(i + 1),
          static_cast<double>(pairs[i].flow), static_cast<double>(pairs[i].pressure));
  }
}

}  // namespace

bool ProcessSentData(DibRecord* dib, RequestRecord* request, ResultRecord* result,
                     uint32_t received) {
  DownloadRecord* download = nullptr;
  if (!FindDownloadRecord(*request, result, &download)) return false;

  ReplyFields reply(*request, received, kReplyByteCountOffset);
  uint32_t fullByteCount = 0;
  if (!ReadFullByteCount(reply, result, &fullByteCount)) return false;
  reply.seek(kLoggerHeaderOffset);
  DataHeader header = ReadDataHeader(reply);
  DumpHeader(header);
  if (!CheckHeaderSupplier(*dib, header.supplier, result)) return false;
  EntrySpan span{};
  if (!LocateEntries(fullByteCount, header.byteCount, kPairWireSize, kPairsMisfit, result,
                     &span)) {
    return false;
  }
  Trace("numDataPairs: %d\n", static_cast<int>(span.count));

  bool raw = request->requestCode == VB_REQ_DOWNLOAD_RAW;
  bool converted = request->requestCode == VB_REQ_DOWNLOAD_CONVERTED;
  uint32_t take = raw || converted ? std::min(span.count, download->capacity) : 0;
  if (!CheckEntriesArray(*download, take, result)) return false;

  auto* record = static_cast<DataHeaderRecord*>(download->header);
  StoreDataHeader(header, record);
  reply.seek(span.offset);
  if (raw) StoreRawPairs(reply, take, static_cast<RawPair*>(download->entries), record);
  if (converted) {
    StoreConvertedPairs(reply, take, header, static_cast<ConvertedPair*>(download->entries),
                        record);
  }
  return true;
}

}  // namespace vb::request
