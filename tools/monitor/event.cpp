#include "event.h"

#include <cstdio>

namespace vb::monitor {

const char* directionName(Direction direction) {
  return direction == Direction::FromHost ? "host" : "meter";
}

namespace {

std::string seconds(uint64_t timeMs) {
  char text[32];
  std::snprintf(text, sizeof text, "%llu.%03u",
                static_cast<unsigned long long>(timeMs / 1000),
                static_cast<unsigned>(timeMs % 1000));
  return text;
}

}  // namespace

std::string renderText(const Event& event) {
  char prefix[48];
  std::snprintf(prefix, sizeof prefix, "%10s %-5s ", seconds(event.timeMs).c_str(),
                directionName(event.direction));
  return prefix + event.text;
}

std::string renderJson(const Event& event) {
  nlohmann::ordered_json line = nlohmann::ordered_json::object();
  line["time"] = static_cast<double>(event.timeMs) / 1000.0;
  line["from"] = directionName(event.direction);
  line["event"] = event.kind;
  for (const auto& [key, value] : event.fields.items()) line[key] = value;
  // Bytes from the line are not always UTF-8: replace what is not.
  return line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace vb::monitor
