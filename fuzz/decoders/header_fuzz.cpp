// The header request's decoders (loggers 1-2 and logger 3) on arbitrary
// replies: the header record is written, no entry ever is.
#include "decoder_harness.h"
#include "formats/pairs.h"
#include "formats/totals.h"

using vb::fuzz::HostDownload;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vb::fuzz::FuzzInput input(data, size);
  const bool totalsLogger = input.flag();
  const uint32_t capacity = input.u16() % 8;
  vb::fuzz::DecoderRun run(input, VB_REQ_HEADER);
  run.request.logNo = totalsLogger ? 3 : 1;
  if (totalsLogger) {
    HostDownload<TotalsHeaderRecord, TotalsRecord> host(capacity, true);
    run.request.download = &host.record;
    const bool ok =
        vb::request::ProcessSentTotals(&run.dib, &run.request, &run.result, run.received);
    run.CheckResult(ok);
    if (ok) vb::fuzz::Require(host.header->count == 0);
  } else {
    HostDownload<DataHeaderRecord, RawPair> host(capacity, true);
    run.request.download = &host.record;
    const bool ok =
        vb::request::ProcessSentData(&run.dib, &run.request, &run.result, run.received);
    run.CheckResult(ok);
    if (ok) vb::fuzz::Require(host.header->count == 0);
  }
  return 0;
}
