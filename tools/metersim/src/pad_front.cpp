// A packet-radio PAD in front of the meter, speaking X.28: the recall
// character DLE brings it from data transfer to command state, "CLR" clears
// the call and is answered with the prompt, an address places a call that is
// echoed and then confirmed with the "COM" service signal (or refused with
// "ERR" at once).
#include <string>

#include "front.h"

namespace vb::metersim {
namespace {

constexpr char kRecall = 0x10;
constexpr char kCarriageReturn = '\r';
constexpr char kLineFeed = '\n';
constexpr char kClearCommand[] = "CLR";
constexpr char kPromptReply[] = "\r\n*";
constexpr char kEchoEnd[] = "\r\n";
constexpr char kRefusedReply[] = "\r\nERR\r\n";
constexpr char kConnectedSignal[] = " COM\r\n";
// A command line longer than this is not a command; it is dropped.
constexpr size_t kMaxCommandLine = 256;

bool printable(const std::string& text) {
  for (const char c : text) {
    if (c < ' ' || c > '~') return false;
  }
  return true;
}

class PadFront : public FrontEnd {
 public:
  explicit PadFront(const Options& options)
      : refused_(options.padRefusedAddresses),
        fleet_(options.fleetAddresses),
        setupMs_(options.callSetupMs) {}

  void received(const uint8_t* bytes, size_t count, uint64_t nowMs,
                std::vector<uint8_t>* link) override {
    for (size_t i = 0; i < count; ++i) {
      const auto byte = static_cast<char>(bytes[i]);
      if (state_ == State::DataTransfer) {
        if (byte == kRecall) {
          state_ = State::Command;
          line_.clear();
        } else {
          link->push_back(bytes[i]);
        }
        continue;
      }
      commandByte(byte, nowMs);
    }
  }

  void tick(uint64_t nowMs) override {
    if (state_ == State::Calling && nowMs >= connectAtMs_) {
      send("\r\n" + address_ + kConnectedSignal);
      state_ = State::DataTransfer;
      connected(address_);
    }
  }

  bool carrying() const override { return state_ == State::DataTransfer; }

  void dropCall() override {
    state_ = State::Command;
    line_.clear();
    ended();
  }

 private:
  enum class State { Command, Calling, DataTransfer };

  void commandByte(char byte, uint64_t nowMs) {
    if (byte == kRecall || byte == kLineFeed) return;
    if (byte != kCarriageReturn) {
      if (line_.size() < kMaxCommandLine) line_.push_back(byte);
      return;
    }
    const std::string command = line_;
    line_.clear();
    if (command.empty()) return;
    if (upperCase(command) == kClearCommand) {
      state_ = State::Command;
      cleared();
      send(kPromptReply);
      return;
    }
    if (!printable(command)) {
      // Not an address at all: refused without an echo.
      send(kRefusedReply);
      state_ = State::Command;
      return;
    }
    // Behind a fleet PAD only its meters' addresses answer.
    if (listed(refused_, command) || (!fleet_.empty() && !listed(fleet_, command))) {
      // The error signal comes with the echo, as the first reply.
      send(command + kRefusedReply);
      state_ = State::Command;
      return;
    }
    send(command + kEchoEnd);
    address_ = command;
    state_ = State::Calling;
    connectAtMs_ = nowMs + setupMs_;
    placed();
  }

  std::vector<std::string> refused_;
  std::vector<std::string> fleet_;
  uint32_t setupMs_;
  State state_ = State::Command;
  std::string line_;
  std::string address_;
  uint64_t connectAtMs_ = 0;
};

}  // namespace

std::unique_ptr<FrontEnd> makePadFront(const Options& options) {
  return std::make_unique<PadFront>(options);
}

}  // namespace vb::metersim
