#include "dialogue.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace vb::monitor {

namespace {

// The PAD's recall character, which brings it from data transfer to command
// state before "CLR".
constexpr char kRecall = 0x10;

struct Known {
  const char* word;
  const char* meaning;
  bool failure;
};

// Modem result codes, the failures first as the dialling driver tests them.
constexpr std::array<Known, 8> kModemReplies = {{
    {"NO CARRIER", "call failed: no carrier", true},
    {"ERROR", "modem refused the command", true},
    {"NO DIALTONE", "call failed: no dial tone", true},
    {"BUSY", "call failed: number busy", true},
    {"NO ANSWER", "call failed: no answer", true},
    {"CONNECT", "call connected", false},
    {"RING", "incoming call", false},
    {"OK", "modem ready", false},
}};

// Causes the PAD gives in its clear service signal "CLR <cause>".
constexpr std::array<Known, 13> kPadClearCauses = {{
    {"OCC", "number busy", true},
    {"NC", "network congestion", true},
    {"INV", "invalid facility request", true},
    {"NA", "access barred", true},
    {"ERR", "local procedure error", true},
    {"RPE", "remote procedure error", true},
    {"NP", "number not obtainable", true},
    {"DER", "out of order", true},
    {"PAD", "cleared by the PAD", true},
    {"DTE", "cleared by the remote station", true},
    {"RNA", "reverse charging not accepted", true},
    {"ID", "incompatible destination", true},
    {"CONF", "clear confirmed", false},
}};

std::string upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

std::string trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

bool startsWith(const std::string& text, const char* prefix) {
  return text.rfind(prefix, 0) == 0;
}

DialogueReading hostLine(const std::string& line) {
  if (!line.empty() && line[0] == kRecall) {
    const std::string command = upper(trimmed(line.substr(1)));
    if (command == "CLR") return {"PAD recall and clear request", "CLR", false};
    return {"PAD recall, then \"" + command + "\"", command, false};
  }
  const std::string command = upper(trimmed(line));
  if (command == "+++") return {"modem escape to command mode", "+++", false};
  if (startsWith(command, "ATD")) return {"modem dial " + trimmed(line).substr(3), "ATD", false};
  if (command == "ATH" || command == "ATH0") return {"modem hang up", "ATH", false};
  if (startsWith(command, "AT")) return {"modem command " + trimmed(line), "AT", false};
  if (command == "CLR") return {"PAD clear request", "CLR", false};
  return {"call request to address " + trimmed(line), "", false};
}

DialogueReading meterLine(const std::string& line) {
  const std::string reply = upper(trimmed(line));
  if (reply == "*") return {"PAD prompt: ready for a command", "*", false};
  if (startsWith(reply, "CLR")) {
    const std::string cause = trimmed(reply.substr(3));
    for (const Known& known : kPadClearCauses) {
      if (cause == known.word) {
        return {std::string("PAD cleared the call: ") + known.meaning, "CLR " + cause,
                known.failure};
      }
    }
    return {"PAD cleared the call", "CLR", true};
  }
  if (reply == "ERR") return {"PAD refused the command", "ERR", true};
  if (reply == "COM" || reply.find(" COM") != std::string::npos) {
    return {"PAD call connected", "COM", false};
  }
  if (startsWith(reply, "AT")) return {"modem echo", "", false};
  for (const Known& known : kModemReplies) {
    if (startsWith(reply, known.word)) {
      std::string meaning = known.meaning;
      const std::string rest = trimmed(reply.substr(std::char_traits<char>::length(known.word)));
      if (!rest.empty()) meaning += " (" + rest + ")";
      return {meaning, known.word, known.failure};
    }
  }
  return {"echo or reply", "", false};
}

}  // namespace

DialogueReading readDialogue(Direction direction, const std::string& line) {
  return direction == Direction::FromHost ? hostLine(line) : meterLine(line);
}

}  // namespace vb::monitor
