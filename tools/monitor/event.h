// What the monitor reports: one event per thing seen on the line, with its
// time, the side that sent it, a line of text for people and the same facts
// as named fields for JSON.
#pragma once

#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>

namespace vb::monitor {

// The side that sent the bytes.
enum class Direction { FromHost, FromMeter };

const char* directionName(Direction direction);

struct Event {
  uint64_t timeMs = 0;  // since the start of the watch or capture
  Direction direction = Direction::FromHost;
  std::string kind;   // wakeup, dialogue, frame, message, reply, gap, resend, unframed, ...
  std::string text;   // what a person reads after the time and the side
  nlohmann::ordered_json fields = nlohmann::ordered_json::object();
};

// "   12.345 meter frame data ...": the time in seconds, the sender, the text.
std::string renderText(const Event& event);
// One JSON object on one line: time (seconds), from, event and the fields.
std::string renderJson(const Event& event);

using EventSink = std::function<void(const Event&)>;

}  // namespace vb::monitor
