// The identity-block decoder on arbitrary replies.
#include "decoder_harness.h"
#include "formats/dib.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vb::fuzz::FuzzInput input(data, size);
  vb::fuzz::DecoderRun run(input, VB_REQ_DIB);
  auto dib = std::make_unique<DibRecord>(run.dib);
  const bool ok = vb::request::ProcessDIBData(dib.get(), &run.request, &run.result, run.received);
  run.CheckResult(ok);
  if (ok) vb::request::DumpDib(*dib);
  return 0;
}
