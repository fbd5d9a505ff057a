#include "metersim/command_line.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <limits>
#include <map>

#include <CLI/CLI.hpp>

#include "metersim/meter_clock.h"

namespace vb::metersim {
namespace {

bool toUnsigned(const std::string& text, uint64_t max, uint64_t* out) {
  if (text.empty() || text[0] == '-') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || value > max) return false;
  *out = value;
  return true;
}

template <typename T>
std::function<bool(CommandLine&, const std::string&)> number(T Options::*field) {
  return [field](CommandLine& line, const std::string& text) {
    uint64_t value = 0;
    if (!toUnsigned(text, std::numeric_limits<T>::max(), &value)) return false;
    line.options.*field = static_cast<T>(value);
    return true;
  };
}

template <typename T>
std::function<bool(CommandLine&, const std::string&)> faultNumber(T Faults::*field) {
  return [field](CommandLine& line, const std::string& text) {
    uint64_t value = 0;
    if (!toUnsigned(text, std::numeric_limits<T>::max(), &value)) return false;
    line.options.faults.*field = static_cast<T>(value);
    return true;
  };
}

std::function<bool(CommandLine&, const std::string&)> appendTo(
    std::vector<std::string> Options::*list) {
  return [list](CommandLine& line, const std::string& text) {
    (line.options.*list).push_back(text);
    return true;
  };
}

// A switch: sets what `set` sets, takes no value.
std::function<bool(CommandLine&, const std::string&)> flag(void (*set)(CommandLine&)) {
  return [set](CommandLine& line, const std::string&) {
    set(line);
    return true;
  };
}

struct OptionRow {
  const char* name;
  const char* argument;  // nullptr for a switch; "a|b" for a fixed choice
  const char* help;
  std::function<bool(CommandLine&, const std::string&)> apply;
};

const std::vector<OptionRow>& optionRows() {
  static const std::vector<OptionRow> rows = {
      {"--help", nullptr, "Print this text and exit.",
       flag([](CommandLine& l) { l.help = true; })},
      {"--device", "PATH",
       "Serve this serial device instead of creating a pseudo-terminal.",
       [](CommandLine& l, const std::string& v) {
         l.options.devicePath = v;
         return !v.empty();
       }},
      {"--baud", "N", "Pace what is sent at N bit/s, 10 bits a byte (default: unpaced).",
       number(&Options::baud)},
      {"--pad", nullptr, "Play an X.28 packet-radio PAD in front of the meter.",
       flag([](CommandLine& l) { l.options.front = Front::Pad; })},
      {"--modem", nullptr, "Play a Hayes dial-up modem in front of the meter.",
       flag([](CommandLine& l) { l.options.front = Front::Modem; })},
      {"--long-frames", nullptr, "Send long replies in long frames (short ones for the rest).",
       flag([](CommandLine& l) { l.options.longFrames = true; })},
      {"--long-frame-size", "256|512|1024|2048", "Size of the long frames (default 1024).",
       [](CommandLine& l, const std::string& v) {
         uint64_t size = 0;
         if (!toUnsigned(v, 2048, &size) || (size != 256 && size != 512 && size != 1024 &&
                                             size != 2048)) {
           return false;
         }
         l.options.longFrameSize = static_cast<uint32_t>(size);
         return true;
       }},
      {"--no-ack", nullptr, "Do not acknowledge complete host messages with CTRL_ACK.",
       flag([](CommandLine& l) { l.options.ackMessages = false; })},
      {"--seed", "N", "Seed of the logger data and of the corruption (default 1).",
       number(&Options::seed)},
      {"--clock", "TIME",
       "Start the meter clock at this meter time, YYYY-MM-DD[THH:MM[:SS]] with no time "
       "zone, instead of the host's local standard time: the logger data, which ends at the "
       "clock, is then the same at every start.",
       [](CommandLine& l, const std::string& v) {
         return parseMeterClock(v, &l.options.clockAtStart);
       }},
      {"--profile", "FILE", "Read meter settings (key=value lines) over the built-in meter.",
       [](CommandLine& l, const std::string& v) {
         l.options.profilePath = v;
         return !v.empty();
       }},
      {"--set", "KEY=VALUE", "One meter setting, applied after the profile (repeatable).",
       [](CommandLine& l, const std::string& v) {
         const size_t equals = v.find('=');
         if (equals == std::string::npos || equals == 0) return false;
         l.options.profileSettings.emplace_back(v.substr(0, equals), v.substr(equals + 1));
         return true;
       }},
      {"--password", "TEXT", "The meter's password (default: any password unlocks).",
       [](CommandLine& l, const std::string& v) {
         l.options.password = v;
         return true;
       }},
      {"--pairs", "N", "Flow/pressure pairs in loggers 1 and 2 (default 1000).",
       number(&Options::pairsPerLogger)},
      {"--totals", "N", "Totals records in logger 3 (default 100).",
       number(&Options::totalsRecords)},
      {"--capacity", "N",
       "Each logger holds at most N records: while it logs on (--time-scale), the oldest "
       "are overwritten (default 0: no limit).",
       number(&Options::loggerCapacity)},
      {"--lock-level", "0|1|2",
       "Lock level at start: 0 open, 1 writes refused, 2 reads refused too (default 2).",
       [](CommandLine& l, const std::string& v) {
         uint64_t level = 0;
         if (!toUnsigned(v, 2, &level)) return false;
         l.options.initialLockLevel = static_cast<uint8_t>(level);
         return true;
       }},
      {"--dib-changed", nullptr, "Set the \"DIB changed\" status flag at start.",
       flag([](CommandLine& l) { l.dibChanged = true; })},
      {"--status-flags", "N",
       "Status flags of every logger at start, decimal or 0x hexadecimal (0x0020: battery 1 "
       "discharged, 0x1000: tamper switch).",
       [](CommandLine& l, const std::string& v) {
         uint64_t flags = 0;
         if (!toUnsigned(v, 0xFFFFFFFFu, &flags)) return false;
         l.statusFlags = static_cast<uint32_t>(flags);
         return true;
       }},
      {"--no-resume", nullptr, "Keep no reply for resumption after a lost connection.",
       flag([](CommandLine& l) { l.options.keepPendingReplies = false; })},
      {"--no-pending-status", "S",
       "Status answering QueryPendingReply when nothing is pending (default 0; 9 makes the "
       "host send its whole command again).",
       number(&Options::noPendingStatus)},
      {"--resume-delay", "MS",
       "Pause between the resume confirmation and the resumed data (default 100).",
       number(&Options::resumeDelayMs)},
      {"--refuse-address", "ADDRESS", "PAD: refuse calls to this address with ERR (repeatable).",
       appendTo(&Options::padRefusedAddresses)},
      {"--busy", "NUMBER", "Modem: answer dialling this number with BUSY (repeatable).",
       appendTo(&Options::busyNumbers)},
      {"--no-carrier", "NUMBER", "Modem: answer dialling this number with NO CARRIER.",
       appendTo(&Options::noCarrierNumbers)},
      {"--no-dialtone", "NUMBER", "Modem: answer dialling this number with NO DIALTONE.",
       appendTo(&Options::noDialtoneNumbers)},
      {"--fleet-address", "ADDRESS",
       "PAD or modem: a meter of its own behind this address or number (repeatable); calls "
       "to any other are refused.",
       appendTo(&Options::fleetAddresses)},
      {"--silent-address", "ADDRESS", "Fault: the fleet meter at ADDRESS never answers.",
       appendTo(&Options::silentAddresses)},
      {"--time-scale", "N",
       "Run the meter clock N times as fast and keep the loggers logging (default 0: they "
       "hold still).",
       number(&Options::timeScale)},
      {"--call-setup", "MS", "PAD and modem: time before a call's result (default 500).",
       number(&Options::callSetupMs)},
      {"--escape-guard", "MS", "Modem: silence around \"+++\" (default 1000).",
       number(&Options::escapeGuardMs)},
      {"--drop-frame", "K", "Fault: drop the K-th data frame of the next reply.",
       faultNumber(&Faults::dropFrame)},
      {"--corrupt-rate", "R", "Fault: corrupt each sent link byte with probability R (0..1).",
       [](CommandLine& l, const std::string& v) {
         errno = 0;
         char* end = nullptr;
         const double rate = std::strtod(v.c_str(), &end);
         if (v.empty() || errno != 0 || *end != '\0' || !(rate >= 0.0 && rate <= 1.0)) {
           return false;
         }
         l.options.faults.corruptRate = rate;
         return true;
       }},
      {"--cut-after", "N",
       "Fault: cut the line after N bytes of the next longer reply; the reply stays pending "
       "for resumption and the meter is silent until the next wake-up.",
       faultNumber(&Faults::cutAfterBytes)},
      {"--nak", "N", "Fault: answer the next N host messages with CTRL_NAK.",
       faultNumber(&Faults::nakMessages)},
      {"--status", "S", "Fault: answer commands with status S.",
       [](CommandLine& l, const std::string& v) {
         uint64_t status = 0;
         if (!toUnsigned(v, 0xFFFF, &status)) return false;
         l.options.faults.forceStatus = static_cast<int32_t>(status);
         return true;
       }},
      {"--status-command", "C", "With --status: only command number C (default: every one).",
       faultNumber(&Faults::forceStatusCommand)},
      {"--status-class", "0|2|3",
       "With --status: commands of this class, 2 meter (default), 3 control, 0 both.",
       [](CommandLine& l, const std::string& v) {
         uint64_t cls = 0;
         if (!toUnsigned(v, 3, &cls) || cls == 1) return false;
         l.options.faults.forceStatusClass = static_cast<uint8_t>(cls);
         return true;
       }},
      {"--silent", nullptr, "Fault: receive and record, never answer.",
       flag([](CommandLine& l) { l.options.faults.silent = true; })},
      {"--unsupported-control", "C",
       "Fault: send control character C (one character) instead of the next reply.",
       [](CommandLine& l, const std::string& v) {
         if (v.size() != 1) return false;
         l.options.faults.unsupportedControl = v[0];
         return true;
       }},
      {"--late-answer", "K",
       "Fault: acknowledge the K-th host message from now but answer it only after the next "
       "host message has come in (once), as a meter that answers later than the host waits.",
       faultNumber(&Faults::lateAnswer)},
      {"--vanish", nullptr, "Fault: answer nothing at all, for good.",
       flag([](CommandLine& l) { l.options.faults.vanish = true; })},
  };
  return rows;
}

// Where option texts start, and the width they are wrapped to.
constexpr size_t kHelpColumn = 28;
constexpr size_t kHelpWidth = 79;

// An option's text broken into lines that end before kHelpWidth, each after
// the first indented to kHelpColumn.
std::string wrapped(const std::string& help) {
  std::string out;
  size_t lineLength = 0;
  size_t at = 0;
  while (at < help.size()) {
    size_t end = help.find(' ', at);
    if (end == std::string::npos) end = help.size();
    const std::string word = help.substr(at, end - at);
    if (lineLength > 0 && kHelpColumn + lineLength + 1 + word.size() > kHelpWidth) {
      out += "\n" + std::string(kHelpColumn, ' ');
      lineLength = 0;
    } else if (lineLength > 0) {
      out += ' ';
      ++lineLength;
    }
    out += word;
    lineLength += word.size();
    at = end + 1;
  }
  return out;
}

}  // namespace

CommandLine parseCommandLine(const std::vector<std::string>& arguments) {
  CommandLine line;
  CLI::App app;
  app.set_help_flag();
  app.allow_extras();
  std::map<const CLI::Option*, const OptionRow*> rowOf;
  for (const OptionRow& row : optionRows()) {
    CLI::Option* option = row.argument == nullptr
                              ? app.add_flag(row.name)
                              : app.add_option(row.name)->multi_option_policy(
                                    CLI::MultiOptionPolicy::TakeAll);
    rowOf[option] = &row;
  }
  // CLI11 takes the arguments last first.
  std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& error) {
    // A value is missing: CLI11 names the option first.
    line.error = error.what();
    for (const OptionRow& row : optionRows()) {
      const std::string name = row.name;
      if (row.argument != nullptr && line.error.compare(0, name.size() + 1, name + ":") == 0) {
        line.error = "option " + name + " needs " + row.argument;
      }
    }
    return line;
  }
  for (const std::string& extra : app.remaining()) {
    if (extra == "--") continue;
    line.error = "unknown option '" + extra + "'";
    return line;
  }
  // Each option's values in the order they were given.
  std::map<const CLI::Option*, size_t> taken;
  for (const CLI::Option* given : app.parse_order()) {
    const OptionRow& row = *rowOf.at(given);
    const std::string& value = given->results()[taken[given]++];
    // A switch given a value ("--pad=x") is refused with that value.
    const bool applied = row.argument == nullptr ? value == "true" && row.apply(line, "")
                                                  : row.apply(line, value);
    if (!applied) {
      line.error = "bad value '" + value + "' for " + row.name;
      return line;
    }
  }
  return line;
}

std::string helpText() {
  std::string text =
      "Usage: metersim [OPTION]...\n"
      "Simulates a water meter with data loggers on a serial line, optionally behind a\n"
      "packet-radio PAD or a dial-up modem. Prints the device path a host opens on its\n"
      "first line (a new pseudo-terminal unless --device is given), then serves until\n"
      "interrupted (Ctrl-C or SIGTERM).\n\nOptions:\n";
  for (const OptionRow& option : optionRows()) {
    std::string head = std::string("  ") + option.name;
    if (option.argument != nullptr) head += std::string(" ") + option.argument;
    if (head.size() < kHelpColumn) {
      head.resize(kHelpColumn, ' ');
    } else {
      head += "\n" + std::string(kHelpColumn, ' ');
    }
    text += head + wrapped(option.help) + "\n";
  }
  text +=
      "\nProfile keys: the identity-block tags (meter_id, supplier, calibore ...\n"
      "loggvers), version1..version8, site1..site3, interval1..interval3, rsn1..rsn3,\n"
      "height_offset, aux_text, aux_value.\n";
  return text;
}

std::string bashCompletion() {
  std::string options;
  std::string choices;
  std::string files;
  std::string free;
  for (const OptionRow& row : optionRows()) {
    const std::string name = row.name;
    options += (options.empty() ? "" : " ") + name;
    if (row.argument == nullptr) continue;
    std::string argument = row.argument;
    if (argument.find('|') != std::string::npos) {
      std::replace(argument.begin(), argument.end(), '|', ' ');
      choices += "    " + name + ") COMPREPLY=($(compgen -W \"" + argument +
                 "\" -- \"$cur\")); return ;;\n";
    } else if (argument == "PATH" || argument == "FILE") {
      files += (files.empty() ? "" : "|") + name;
    } else {
      free += (free.empty() ? "" : "|") + name;
    }
  }
  return "# bash completion for metersim\n"
         "_metersim() {\n"
         "  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
         "  case $prev in\n" +
         choices + "    " + files + ") COMPREPLY=($(compgen -f -- \"$cur\")); return ;;\n" +
         "    " + free + ") return ;;\n" +
         "  esac\n"
         "  COMPREPLY=($(compgen -W \"" + options + "\" -- \"$cur\"))\n"
         "}\n"
         "complete -F _metersim metersim\n";
}

}  // namespace vb::metersim
