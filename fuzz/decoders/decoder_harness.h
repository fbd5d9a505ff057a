// Shared set-up of the reply decoder targets: an arbitrary reply in a work
// buffer of exactly its room, an arbitrary received count, request code and
// expected supplier, and the host's records allocated at exactly their sizes
// (entries array of exactly its capacity), so that AddressSanitizer sees any
// read past the reply or write past a host record.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_input.h"
#include "vantbrook/vantbrook.h"

namespace vb::fuzz {

inline void Require(bool condition) {
  if (!condition) __builtin_trap();
}

// Arbitrary entries are capped so that one run stays fast.
inline constexpr uint32_t kMaxFuzzCapacity = 4096;

struct DecoderRun {
  DibRecord dib{};
  RequestRecord request{};
  ResultRecord result{};
  std::vector<uint8_t> work;  // exactly request.dataLength bytes
  uint32_t received = 0;

  // Settings from the input's front, the reply from its rest.
  DecoderRun(FuzzInput& input, int16_t requestCode) {
    request.requestCode = requestCode;
    request.linkHandle = -1;
    request.portHandle = -1;
    dib.supplier = input.flag() ? input.u16() : 0;
    const uint8_t receivedMode = input.u8();
    const uint8_t roomMode = input.u8();
    const uint32_t arbitrary = input.u32();
    const std::vector<uint8_t> reply = input.rest();
    // The room is normally the reply's own size, sometimes smaller or larger.
    uint32_t room = static_cast<uint32_t>(reply.size());
    if (roomMode % 4 == 1) room = arbitrary % (room + 1);
    if (roomMode % 4 == 2) room += arbitrary % 64;
    work.assign(room, 0);
    std::copy_n(reply.begin(), reply.size() < room ? reply.size() : room, work.begin());
    request.data = work.empty() ? nullptr : work.data();
    request.dataLength = room;
    // The count the link reported: the reply's size, or anything at all.
    received = receivedMode % 2 == 0 ? static_cast<uint32_t>(reply.size()) : arbitrary;
    std::memset(&result, 0x55, sizeof result);
  }

  // The outcome is always a known code with texts of the field sizes.
  void CheckResult(bool ok) const {
    if (!ok) Require(result.code > 0 && result.code < VB_RESULT_CODE_COUNT);
  }
};

// The host's header record and entries, each on the heap at exactly its size.
template <typename Header, typename Entry>
struct HostDownload {
  std::unique_ptr<Header> header = std::make_unique<Header>();
  std::vector<Entry> entries;
  DownloadRecord record{};

  HostDownload(uint32_t capacity, bool withEntries) : entries(capacity) {
    record.header = header.get();
    record.entries = withEntries && !entries.empty() ? entries.data() : nullptr;
    record.capacity = capacity;
  }
};

}  // namespace vb::fuzz
