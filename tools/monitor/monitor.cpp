#include "monitor.h"

#include <utility>

#include "message_frame.h"

namespace vb::monitor {


Monitor::Side::Side(Monitor& monitor, Direction direction)
    : messages(direction, monitor.sink_,
               [&monitor, direction](uint64_t timeMs, const std::vector<uint8_t>& message) {
                 monitor.deliver(direction, timeMs, message);
               }),
      line(direction, monitor.sink_, messages) {}

Monitor::Monitor(EventSink sink)
    : sink_(std::move(sink)), host_(*this, Direction::FromHost), meter_(*this, Direction::FromMeter) {}

void Monitor::deliver(Direction direction, uint64_t timeMs, const std::vector<uint8_t>& message) {
  MessageReading reading;
  if (direction == Direction::FromHost) {
    reading = readCommand(message, &lastCommand_);
    if (lastCommand_.known && lastCommand_.messageClass == request::kClassMeterCommand) {
      lastMeterCommand_ = lastCommand_;
    }
  } else {
    // A reply resumed after a lost call answers the meter command from before
    // the control exchanges of the resume.
    const bool answersLast = message.size() > request::kReplyCommandOffset + 1 && lastCommand_.known &&
                             (message[request::kReplyCommandOffset] | message[request::kReplyCommandOffset + 1] << 8) ==
                                 lastCommand_.command;
    reading = readReply(message, answersLast ? lastCommand_ : lastMeterCommand_);
  }
  Event event;
  event.timeMs = timeMs;
  event.direction = direction;
  event.kind = direction == Direction::FromHost ? "message" : "reply";
  event.text = reading.text;
  event.fields = reading.fields;
  sink_(event);
}

void Monitor::observe(Direction direction, uint64_t timeMs, const uint8_t* bytes, size_t count) {
  tick(timeMs);
  Side& sender = side(direction);
  sender.line.feed(timeMs, bytes, count);
  sender.lastMs = timeMs;
}

void Monitor::tick(uint64_t timeMs) {
  for (Side* quiet : {&host_, &meter_}) {
    if (timeMs >= quiet->lastMs + kQuietMs) quiet->line.idle();
  }
}

void Monitor::finish(uint64_t timeMs) {
  for (Side* ending : {&host_, &meter_}) {
    ending->line.finish(timeMs);
    const LineCounts& counts = ending->line.counts();
    Event event;
    event.timeMs = timeMs;
    event.direction = ending == &host_ ? Direction::FromHost : Direction::FromMeter;
    event.kind = "summary";
    event.text = "sent " + std::to_string(counts.bytes) + " bytes: " +
                 std::to_string(counts.goodFrames) + " good frames, " +
                 std::to_string(counts.badFrames) + " bad, " +
                 std::to_string(counts.unframedBytes) + " bytes outside any frame";
    event.fields = {{"bytes", counts.bytes},
                    {"good_frames", counts.goodFrames},
                    {"bad_frames", counts.badFrames},
                    {"unframed_bytes", counts.unframedBytes}};
    sink_(event);
  }
}

}  // namespace vb::monitor
