#include "host_buffer.h"

namespace vb::request {
namespace {
thread_local HostBuffer t_hostBuffer;
}

const HostBuffer& SavedHostBuffer() { return t_hostBuffer; }

HostBufferScope::HostBufferScope(RequestRecord* request)
    : request_(request), saved_{request->data, request->dataLength}, outer_(t_hostBuffer) {
  t_hostBuffer = saved_;
}

HostBufferScope::~HostBufferScope() {
  request_->data = saved_.data;
  request_->dataLength = saved_.dataLength;
  t_hostBuffer = outer_;
}

}  // namespace vb::request
