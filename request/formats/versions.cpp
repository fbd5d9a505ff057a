#include "formats/versions.h"

#include "formats/reply.h"
#include "result.h"
#include "trace.h"
#include "vantbrook/vantbrook.h"

namespace vb::request {

bool ProcessVersionInfo(DibRecord* /*dib*/, RequestRecord* request, ResultRecord* result,
                        uint32_t received) {
  auto* versions = static_cast<VersionRecord*>(request->download);
  if (versions == nullptr) {
    SetResultF(result, VB_COMMAND_NOT_SUCCESSFUL, "%s", "No version record to decode into");
    return false;
  }
  ReplyFields reply(*request, received, kReplyByteCountOffset);
  Trace("Full byteCount: %d\n", static_cast<int>(reply.u32()));
  reply.seek(kReplyFieldsOffset);
  for (char* text : versions->text) reply.text(text);
  return true;
}

}  // namespace vb::request
