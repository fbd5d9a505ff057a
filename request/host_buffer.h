// The host's data pointer and length as they were passed to VantbrookRequest,
// kept per thread for the duration of the call. The message request sends
// from and answers into this buffer; the logger restart takes its parameter
// bytes from it.
#pragma once

#include <cstdint>

#include "vantbrook/records.h"

namespace vb::request {

struct HostBuffer {
  unsigned char* data = nullptr;
  uint32_t dataLength = 0;
};

// This thread's saved values (null and 0 outside a call).
const HostBuffer& SavedHostBuffer();

// Saves request->data and dataLength for this thread and puts them back into
// the record when it goes out of scope, on every return path.
class HostBufferScope {
 public:
  explicit HostBufferScope(RequestRecord* request);
  ~HostBufferScope();
  HostBufferScope(const HostBufferScope&) = delete;
  HostBufferScope& operator=(const HostBufferScope&) = delete;

 private:
  RequestRecord* request_;
  HostBuffer saved_;
  HostBuffer outer_;
};

}  // namespace vb::request
