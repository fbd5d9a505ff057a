// The pairs decoder on arbitrary download replies, raw (2744) and converted
// (2738), with arbitrary capacities: never more entries than the capacity.
#include "decoder_harness.h"
#include "formats/pairs.h"

using vb::fuzz::HostDownload;

namespace {

template <typename Entry>
void Decode(vb::fuzz::FuzzInput& input, int16_t code, uint32_t capacity, bool withEntries) {
  vb::fuzz::DecoderRun run(input, code);
  run.request.logNo = 1;
  HostDownload<DataHeaderRecord, Entry> host(capacity, withEntries);
  run.request.download = &host.record;
  const bool ok = vb::request::ProcessSentData(&run.dib, &run.request, &run.result, run.received);
  run.CheckResult(ok);
  if (ok) vb::fuzz::Require(host.header->count <= capacity);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vb::fuzz::FuzzInput input(data, size);
  const bool converted = input.flag();
  const bool withEntries = input.u8() % 16 != 0;
  const uint32_t capacity = input.u16() % vb::fuzz::kMaxFuzzCapacity;
  if (converted) {
    Decode<ConvertedPair>(input, VB_REQ_DOWNLOAD_CONVERTED, capacity, withEntries);
  } else {
    Decode<RawPair>(input, VB_REQ_DOWNLOAD_RAW, capacity, withEntries);
  }
  return 0;
}
