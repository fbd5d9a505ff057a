#include "frame_stream.h"

#include <algorithm>

namespace vb::link::test {

StreamReading ReadFrames(const std::vector<uint8_t>& stream) {
  StreamReading reading;
  uint8_t header[kHeaderSize];
  size_t valid = 0;
  size_t next = 0;
  while (next < stream.size()) {
    const size_t take = std::min(kHeaderSize - valid, stream.size() - next);
    std::copy_n(stream.begin() + static_cast<long>(next), take, header + valid);
    next += take;
    valid = SyncHeader(header, valid + take);
    if (valid < kHeaderSize) continue;
    valid = 0;
    const FrameHeader decoded = DecodeHeader(header);
    if (!CheckHeader(header) || decoded.length == 0) {
      ++reading.badHeaders;
      continue;
    }
    const size_t restSize = decoded.length - kHeaderSize;
    if (stream.size() - next < restSize) break;
    const uint8_t* rest = stream.data() + next;
    next += restSize;
    ReceivedFrame frame{decoded, CheckPayload(rest, decoded.length), {}};
    frame.message.resize(decoded.length - kFrameOverhead);
    const UnstuffResult unstuffed =
        Unstuff(rest, frame.message.size(), frame.message.data(), frame.message.size());
    frame.message.resize(unstuffed.written);
    reading.frames.push_back(std::move(frame));
  }
  return reading;
}

}  // namespace vb::link::test
