// Meter messages as the monitor shows them: the command's name from the
// meter's command table and, for replies, the status and a one-line summary
// decoded with the request library's own reply decoders.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace vb::monitor {

// What a host command leaves for reading its reply.
struct CommandContext {
  bool known = false;
  uint8_t messageClass = 0;
  uint16_t command = 0;
  uint16_t logNo = 0;  // header, download and restart commands
};

struct MessageReading {
  std::string text;
  nlohmann::ordered_json fields = nlohmann::ordered_json::object();
};

// A message the host sent. Updates *context for the reply that follows.
MessageReading readCommand(const std::vector<uint8_t>& message, CommandContext* context);

// A message the meter sent, read against the last command the host sent.
MessageReading readReply(const std::vector<uint8_t>& message, const CommandContext& context);

}  // namespace vb::monitor
