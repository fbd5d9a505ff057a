// A Hayes dial-up modem in front of the meter. In command mode it takes AT
// command lines (echoed, answered "OK"); "ATD<number>" dials and, after the
// call set-up time, answers with a result code: "CONNECT 9600/RLP" carries
// the meter's link, "BUSY", "NO CARRIER" or "NO DIALTONE" for numbers
// configured so. Online, "+++" framed by the guard time of silence returns it
// to command mode with the call still up; "ATH" hangs up.
#include <string>

#include "front.h"

namespace vb::metersim {
namespace {

constexpr char kCarriageReturn = '\r';
constexpr char kLineFeed = '\n';
constexpr char kEscapeCharacter = '+';
constexpr size_t kEscapeLength = 3;
constexpr char kCommandPrefix[] = "AT";
constexpr char kConnectResult[] = "CONNECT 9600/RLP";
constexpr char kBusyResult[] = "BUSY";
constexpr char kNoCarrierResult[] = "NO CARRIER";
constexpr char kNoDialtoneResult[] = "NO DIALTONE";
constexpr char kOkResult[] = "OK";
constexpr char kErrorResult[] = "ERROR";
// Commands that only change settings: answered "OK".
constexpr char kSettingCommands[] = "VSEZ&MLXQI";
constexpr size_t kMaxCommandLine = 256;

std::string resultLine(const std::string& code) { return "\r\n" + code + "\r\n"; }

class ModemFront : public FrontEnd {
 public:
  explicit ModemFront(const Options& options)
      : busy_(options.busyNumbers),
        noCarrier_(options.noCarrierNumbers),
        noDialtone_(options.noDialtoneNumbers),
        fleet_(options.fleetAddresses),
        setupMs_(options.callSetupMs),
        guardMs_(options.escapeGuardMs) {}

  void received(const uint8_t* bytes, size_t count, uint64_t nowMs,
                std::vector<uint8_t>* link) override {
    for (size_t i = 0; i < count; ++i) {
      const auto byte = static_cast<char>(bytes[i]);
      if (state_ == State::Online) {
        watchEscape(byte, nowMs);
        link->push_back(bytes[i]);
      } else {
        commandByte(byte, nowMs);
      }
      lastByteMs_ = nowMs;
    }
  }

  void tick(uint64_t nowMs) override {
    if (state_ == State::Online && escapeCount_ == kEscapeLength &&
        nowMs - lastByteMs_ >= guardMs_) {
      escapeCount_ = 0;
      state_ = State::CommandWithCall;
      send(resultLine(kOkResult));
    }
    if (state_ == State::Dialing && nowMs >= resultAtMs_) {
      send(resultLine(dialResult_));
      if (dialResult_ == kConnectResult) {
        state_ = State::Online;
        escapeCount_ = 0;
        connected(number_);
      } else {
        state_ = State::Command;
        ended();
      }
    }
  }

  bool carrying() const override { return state_ == State::Online; }

  void dropCall() override {
    state_ = State::Command;
    line_.clear();
    escapeCount_ = 0;
    ended();
  }

 private:
  enum class State { Command, Dialing, Online, CommandWithCall };

  void watchEscape(char byte, uint64_t nowMs) {
    const bool quietBefore = nowMs - lastByteMs_ >= guardMs_;
    if (byte == kEscapeCharacter && escapeCount_ < kEscapeLength &&
        (escapeCount_ > 0 || quietBefore)) {
      ++escapeCount_;
    } else {
      escapeCount_ = 0;
    }
  }

  void commandByte(char byte, uint64_t nowMs) {
    if (byte == kLineFeed) return;
    if (byte != kCarriageReturn) {
      if (line_.size() < kMaxCommandLine) line_.push_back(byte);
      return;
    }
    const std::string typed = line_;
    line_.clear();
    // Anything before "AT" (a stray escape sequence, for one) is not part
    // of the command.
    const size_t prefix = upperCase(typed).find(kCommandPrefix);
    if (prefix == std::string::npos) return;
    const std::string command = typed.substr(prefix);
    send(command + kCarriageReturn);
    runCommand(command.substr(sizeof kCommandPrefix - 1), nowMs);
  }

  void runCommand(const std::string& body, uint64_t nowMs) {
    const std::string upper = upperCase(body);
    if (upper.empty()) {
      send(resultLine(kOkResult));
    } else if (upper[0] == 'D') {
      dial(body.substr(1), nowMs);
    } else if (upper[0] == 'H') {
      // Hangs up the call, or abandons the one being dialled.
      state_ = State::Command;
      cleared();
      send(resultLine(kOkResult));
    } else if (upper[0] == 'O') {
      if (state_ == State::CommandWithCall) {
        state_ = State::Online;
        send(resultLine(kConnectResult));
      } else {
        send(resultLine(kNoCarrierResult));
      }
    } else if (std::string(kSettingCommands).find(upper[0]) != std::string::npos) {
      send(resultLine(kOkResult));
    } else {
      send(resultLine(kErrorResult));
    }
  }

  void dial(const std::string& number, uint64_t nowMs) {
    if (listed(busy_, number)) {
      dialResult_ = kBusyResult;
    } else if (listed(noCarrier_, number) || (!fleet_.empty() && !listed(fleet_, number))) {
      // Behind a fleet modem only its meters' numbers answer.
      dialResult_ = kNoCarrierResult;
    } else if (listed(noDialtone_, number)) {
      dialResult_ = kNoDialtoneResult;
    } else {
      dialResult_ = kConnectResult;
    }
    number_ = number;
    state_ = State::Dialing;
    resultAtMs_ = nowMs + setupMs_;
    placed();
  }

  std::vector<std::string> busy_, noCarrier_, noDialtone_, fleet_;
  std::string number_;
  uint32_t setupMs_;
  uint32_t guardMs_;
  State state_ = State::Command;
  std::string line_;
  std::string dialResult_;
  uint64_t resultAtMs_ = 0;
  uint64_t lastByteMs_ = 0;
  size_t escapeCount_ = 0;
};

}  // namespace

std::unique_ptr<FrontEnd> makeModemFront(const Options& options) {
  return std::make_unique<ModemFront>(options);
}

}  // namespace vb::metersim
