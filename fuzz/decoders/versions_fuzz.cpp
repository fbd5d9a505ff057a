// The version-text decoder on arbitrary replies: every text it stores is
// terminated inside its field.
#include <cstring>

#include "decoder_harness.h"
#include "formats/versions.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vb::fuzz::FuzzInput input(data, size);
  const bool withRecord = input.u8() % 8 != 0;
  vb::fuzz::DecoderRun run(input, VB_REQ_VERSIONS);
  auto versions = std::make_unique<VersionRecord>();
  std::memset(versions.get(), 0x55, sizeof *versions);
  run.request.download = withRecord ? versions.get() : nullptr;
  const bool ok =
      vb::request::ProcessVersionInfo(&run.dib, &run.request, &run.result, run.received);
  run.CheckResult(ok);
  vb::fuzz::Require(ok == withRecord);
  if (ok) {
    for (const auto& text : versions->text) {
      vb::fuzz::Require(std::memchr(text, '\0', sizeof text) != nullptr);
    }
  }
  return 0;
}
