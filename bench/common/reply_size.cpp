#include "reply_size.h"

#include <algorithm>

#include "frame.h"
#include "metersim/meter_model.h"
#include "reply_framer.h"

namespace vb::bench {
namespace {

// The reply's full byte count (the bytes after offset 10: four bytes, the
// logger header, the entries) and the logger header's own byte count, its
// first field.
constexpr size_t kReplyByteCountOffset = 6;
constexpr size_t kHeaderCountOffset = 14;

uint32_t readU32(const std::vector<uint8_t>& bytes, size_t offset) {
  if (bytes.size() < offset + 4) return 0;
  return static_cast<uint32_t>(bytes[offset]) | static_cast<uint32_t>(bytes[offset + 1]) << 8 |
         static_cast<uint32_t>(bytes[offset + 2]) << 16 |
         static_cast<uint32_t>(bytes[offset + 3]) << 24;
}

}  // namespace

std::vector<uint8_t> downloadReply(uint16_t logNo, uint64_t seed, uint32_t pairs, uint32_t totals) {
  metersim::ModelSettings settings;
  settings.seed = seed;
  settings.pairsPerLogger = pairs;
  settings.totalsRecords = totals;
  settings.initialLockLevel = 0;
  metersim::MeterModel model(metersim::Profile::defaults(), settings);
  // GetData: class 2, command 13, 14 data bytes: logger, "everything", 0, 0.
  const std::vector<uint8_t> command = {metersim::kCommandMarker,
                                        metersim::kClassMeter,
                                        metersim::kCmdGetData,
                                        0,
                                        14,
                                        0,
                                        0,
                                        0,
                                        0,
                                        0,
                                        static_cast<uint8_t>(logNo),
                                        0,
                                        metersim::kSelectAll,
                                        0,
                                        0,
                                        0,
                                        0,
                                        0,
                                        0,
                                        0,
                                        0,
                                        0};
  const metersim::Answer answer = model.handle(command);
  return answer.replies.empty() ? std::vector<uint8_t>() : answer.replies.front().bytes;
}

ReplySize downloadReplySize(uint16_t logNo, uint64_t seed, uint32_t pairs, uint32_t totals,
                            uint32_t longFrameSize) {
  const std::vector<uint8_t> reply = downloadReply(logNo, seed, pairs, totals);
  ReplySize size;
  size.messageBytes = static_cast<uint32_t>(reply.size());
  const uint32_t headerBytes = readU32(reply, kHeaderCountOffset);
  const uint32_t fullCount = readU32(reply, kReplyByteCountOffset);
  size.entryBytes = fullCount >= headerBytes + 4 ? fullCount - headerBytes - 4 : 0;
  for (const uint8_t byte : reply) {
    if (std::find(link::kStuffedBytes.begin(), link::kStuffedBytes.end(), byte) !=
        link::kStuffedBytes.end()) {
      ++size.escapes;
    }
  }
  for (const metersim::ReplyFrame& frame : metersim::frameReply(reply, 0, longFrameSize)) {
    size.lineBytes += static_cast<uint32_t>(frame.bytes.size());
    ++size.frames;
  }
  return size;
}

}  // namespace vb::bench
