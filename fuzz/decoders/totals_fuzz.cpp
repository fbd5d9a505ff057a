// The totals decoder on arbitrary download replies with arbitrary
// capacities: never more records than the capacity, every CRC verdict 0 or 1.
#include "decoder_harness.h"
#include "formats/totals.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vb::fuzz::FuzzInput input(data, size);
  const bool withEntries = input.u8() % 16 != 0;
  const uint32_t capacity = input.u16() % vb::fuzz::kMaxFuzzCapacity;
  const int16_t code = input.flag() ? VB_REQ_DOWNLOAD_CONVERTED : VB_REQ_DOWNLOAD_RAW;
  vb::fuzz::DecoderRun run(input, code);
  run.request.logNo = 3;
  vb::fuzz::HostDownload<TotalsHeaderRecord, TotalsRecord> host(capacity, withEntries);
  run.request.download = &host.record;
  const bool ok =
      vb::request::ProcessSentTotals(&run.dib, &run.request, &run.result, run.received);
  run.CheckResult(ok);
  if (ok) {
    vb::fuzz::Require(host.header->count <= capacity);
    for (uint32_t i = 0; i < host.header->count; ++i) {
      vb::fuzz::Require(host.entries[i].crcValid <= 1);
    }
  }
  return 0;
}
