#include "standard_meter.h"

#include <atomic>

namespace vb::request::testing {

Command CommandIn(const std::vector<uint8_t>& message) {
  return Command{ClassOf(message), CommandOf(message)};
}

std::vector<uint8_t> StatusReply(uint16_t echo, uint16_t status) {
  return MakeReply(echo, status, {0, 0});
}

StandardMeter::StandardMeter()
    : override_(std::make_shared<Override>()),
      meter_([this](const std::vector<uint8_t>& message) { return answer(message); }) {}

void StandardMeter::setOverride(Override override) {
  std::atomic_store(&override_, std::make_shared<Override>(std::move(override)));
}

std::vector<Command> StandardMeter::commands() const {
  std::vector<Command> commands;
  for (const auto& message : meter_.received()) commands.push_back(CommandIn(message));
  return commands;
}

std::vector<ScriptedReply> StandardMeter::answer(const std::vector<uint8_t>& message) {
  const std::shared_ptr<Override> override = std::atomic_load(&override_);
  if (*override) {
    if (auto replies = (*override)(message)) return *replies;
  }
  const Command command = CommandIn(message);
  if (command == kCancel || command == kUnlockCommand || command == kLockCommand) {
    return {{StatusReply(command.number, 0)}};
  }
  if (command == kSetTimeCommand) {
    WireWriter body;
    body.u16(0).u32(500).u32(400);
    return {{MakeReply(command.number, 0, body.data())}};
  }
  if (command == kRestart || command == kRestartWithParameters) {
    WireWriter body;
    body.u16(0).u16(message.size() >= 12 ? static_cast<uint16_t>(message[10] | message[11] << 8)
                                         : 0);
    return {{MakeReply(command.number, 0, body.data())}};
  }
  if (command == kVersions) {
    WireWriter body;
    body.u16(0);
    for (const std::string& text : versions) body.text(text);
    return {{MakeReply(command.number, 0, body.data())}};
  }
  if (command == kDib) return {{EncodeDibReply(dib)}};
  if (command == kHeader) return {{EncodePairReply(command.number, header, {})}};
  if (command == kData) return {{EncodePairReply(command.number, header, pairs)}};
  if (command == kQuery) return {{StatusReply(command.number, 0)}};
  return {};
}

}  // namespace vb::request::testing
