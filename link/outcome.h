// Filling the outcome fields of a LinkRecord: error code, source and message
// as bounded copies with the rest of each field cleared.
#pragma once

#include <cstdint>

#include "platform/text.h"
#include "vantbrook/brisel.h"

namespace vb::link {

inline void setOutcome(LinkRecord& record, int32_t code, const char* source, const char* message) {
  record.error_code = code;
  platform::copyTerminated(record.source, sizeof(record.source), source);
  platform::copyTerminated(record.message, sizeof(record.message), message);
}

// Keeps the source, changes code and message.
inline void setFailure(LinkRecord& record, int32_t code, const char* message) {
  record.error_code = code;
  platform::copyTerminated(record.message, sizeof(record.message), message);
}

}  // namespace vb::link
