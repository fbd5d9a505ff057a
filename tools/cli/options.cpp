#include "options.h"

#include <CLI/CLI.hpp>
#include <cstring>
#include <map>

#include "meter_time.h"
#include "platform/serial.h"
#include "vantbrook/records.h"

namespace vb::cli {

namespace {

struct CommandName {
  Command command;
  const char* name;
};

const CommandName kCommandNames[] = {
    {Command::Dib, "dib"},         {Command::Versions, "versions"}, {Command::Header, "header"},
    {Command::Download, "download"}, {Command::Message, "message"},   {Command::Session, "session"},
    {Command::Flags, "flags"},     {Command::Demo, "demo"},
};

// Download selections as the meter numbers them.
constexpr int16_t kSelectByTime = 0;
constexpr int16_t kSelectByRsn = 1;
constexpr int16_t kSelectAll = 2;
constexpr int16_t kSelectByTimeWithReset = 3;
constexpr int16_t kSelectByRsnWithReset = 4;
constexpr int16_t kResetOnly = 5;
constexpr int16_t kRestartAfterDownload = 1000;

// What an option is about, and so which commands accept it.
enum OptionGroup : unsigned {
  kGeneralGroup = 1u << 0,     // --help
  kJsonGroup = 1u << 1,        // --json
  kProgressGroup = 1u << 2,    // progress display
  kConnectionGroup = 1u << 3,  // route and link settings
  kLoggerGroup = 1u << 4,      // --log
  kDownloadGroup = 1u << 5,    // selection, values, clock, restart, CSV
  kMessageGroup = 1u << 6,     // --room
};

// Every option of the meter commands: how it is typed, which commands take
// it and where its help stands. The parser, the help and the shell
// completion are all made from this table. Help lines are pre-wrapped; a
// label (with the name) that leaves less than two spaces before the text
// column stands on a line of its own. An option without help text is
// explained in another's entry.
const OptionEntry kOptionTable[] = {
    {"--help", nullptr, kGeneralGroup, HelpSection::None, nullptr, nullptr},
    {"-h", nullptr, kGeneralGroup, HelpSection::None, nullptr, nullptr},
    {"--version", nullptr, kGeneralGroup, HelpSection::None, nullptr, nullptr},
    {"-V", nullptr, kGeneralGroup, HelpSection::None, nullptr, nullptr},
    {"--com", "N", kConnectionGroup, HelpSection::Connection, nullptr,
     "serial port COMN, N = 1..8 (default 1). COMN is the\n"
     "device in VANTBROOK_COMN, else /dev/ttyS(N-1)"},
    {"--device", "PATH", kConnectionGroup, HelpSection::Connection, nullptr,
     "open PATH as the line (4800 8N1 unless --baud) and\n"
     "hand it to the link; reopened on a reconnect"},
    {"--baud", "RATE", kConnectionGroup, HelpSection::Connection, nullptr,
     "line speed for --device (default 4800), a rate the\n"
     "serial device supports"},
    {"--pnet", "ADDRESS", kConnectionGroup, HelpSection::Connection, nullptr,
     "call ADDRESS through a packet-radio PAD on --com N"},
    {"--dial", "NUMBER", kConnectionGroup, HelpSection::Connection, nullptr,
     "dial NUMBER with the modem on --com N"},
    {"--password", "TEXT", kConnectionGroup, HelpSection::Connection, nullptr,
     "logger password (at most 40 characters)"},
    {"--supplier", "N", kConnectionGroup, HelpSection::Connection, nullptr,
     "refuse replies of any other supplier id (default 0:\n"
     "accept any)"},
    {"--timeout", "MS", kConnectionGroup, HelpSection::Connection, nullptr,
     "how long a whole reply may take to arrive (default\n"
     "20000; a download takes the time its largest reply\n"
     "needs at the line's speed, with a margin). It does\n"
     "not bound the wait for a meter that stays silent:"},
    {"--frame-timeout", "MS", kConnectionGroup, HelpSection::Connection, nullptr,
     "does (default 5000). After it the link gives a silent\n"
     "line up; each attempt of a command waits that long\n"
     "again, with a reconnect after every second attempt"},
    {"--attempts", "N", kConnectionGroup, HelpSection::Connection, nullptr,
     "sends of a short command before giving up (default\n"
     "3; 0 counts as 1)"},
    {"--reconnects", "N", kConnectionGroup, HelpSection::Connection, nullptr,
     "attempts of each reconnect (default 2; 0 counts as 1)"},
    {"--resume-limit", "N", kConnectionGroup, HelpSection::Connection, nullptr,
     "slow resume cycles before a long reply is given up;\n"
     "0 = never resume (default 3)"},
    {"--json", nullptr, kJsonGroup, HelpSection::Output, nullptr,
     "print one JSON document instead of tables; a failure\n"
     "is its member \"error\" with the request, code, source\n"
     "and message"},
    {"--no-progress", nullptr, kProgressGroup, HelpSection::Output, nullptr,
     "no progress bar (it is shown only when standard\n"
     "error is a terminal)"},
    {"--progress-lines", nullptr, kProgressGroup, HelpSection::Output, nullptr,
     "progress as lines 'progress REQUEST N%' on standard\n"
     "error, for logs"},
    {"--log", "1|2|3", kLoggerGroup, HelpSection::Logger, nullptr,
     "logger 1 or 2 (flow and pressure pairs) or 3 (totals);\n"
     "default 1"},
    {"--all", nullptr, kDownloadGroup, HelpSection::Selection, nullptr,
     "everything the logger holds"},
    {"--from", "TIME", kDownloadGroup, HelpSection::Selection, "--from TIME --to TIME",
     "entries logged from TIME to TIME. A TIME is\n"
     "YYYY-MM-DD[THH:MM[:SS]] on the meter's clock: it is\n"
     "used exactly as written, with no time-zone\n"
     "conversion (the meter keeps local standard time).\n"
     "Either end may be left out."},
    {"--to", "TIME", kDownloadGroup, HelpSection::Selection, nullptr, nullptr},
    {"--rsn", "FIRST..LAST", kDownloadGroup, HelpSection::Selection, nullptr,
     "entries with record numbers FIRST to LAST"},
    {"--reset", nullptr, kDownloadGroup, HelpSection::Selection, nullptr,
     "have the meter empty the logger once it has sent the\n"
     "selection (needs --yes, see --restart)"},
    {"--raw", nullptr, kDownloadGroup, HelpSection::Download, nullptr,
     "pairs as the meter logged them (16-bit values)\n"
     "instead of the engineering units that the meter's\n"
     "calibration defines"},
    {"--capacity", "N", kDownloadGroup, HelpSection::Download, nullptr,
     "room for N entries (default: the --rsn span, the span\n"
     "of a header read before in the session, else 100000);\n"
     "entries beyond it are dropped, and a reply far larger\n"
     "than the room fails with \"Message truncated\""},
    {"--set-time", "before|after", kDownloadGroup, HelpSection::Download, nullptr,
     "set the meter clock to this host's local standard\n"
     "time before or after the download"},
    {"--restart", nullptr, kDownloadGroup, HelpSection::Download, nullptr,
     "restart the logger after the download: it is emptied"},
    {"--yes", nullptr, kDownloadGroup, HelpSection::Download, nullptr,
     "go ahead with --restart or --reset; without it they\n"
     "ask for 'yes' on a terminal and are refused elsewhere.\n"
     "After --set-time, --restart or --reset the header is\n"
     "read again and the clock setting and the entries the\n"
     "logger holds now are shown"},
    {"--csv", "FILE", kDownloadGroup, HelpSection::Download, nullptr,
     "also write the entries to FILE, which is opened before\n"
     "the line: time, rsn and flow_raw,pressure_raw (--raw)\n"
     "or flow_eng,pressure_eng (engineering units); totals:\n"
     "the eight totals, extra bytes and crcValid"},
    {"--room", "N", kMessageGroup, HelpSection::Message, nullptr,
     "bytes of room for the answer, 64 or more (default 1024)"},
};

const OptionEntry* findOption(const std::string& name) {
  for (const OptionEntry& entry : kOptionTable) {
    if (name == entry.name) return &entry;
  }
  return nullptr;
}

unsigned commandGroups(Command command, bool withDownload) {
  const unsigned meter = kGeneralGroup | kJsonGroup | kProgressGroup | kConnectionGroup;
  switch (command) {
    case Command::Dib:
    case Command::Versions:
      return meter;
    case Command::Header:
      return meter | kLoggerGroup;
    case Command::Download:
      return meter | kLoggerGroup | kDownloadGroup;
    case Command::Message:
      return meter | kMessageGroup;
    case Command::Session:
      return meter | kLoggerGroup | (withDownload ? kDownloadGroup : 0u);
    case Command::Flags:
      return kGeneralGroup | kJsonGroup;
    case Command::Demo:
      return kGeneralGroup | kJsonGroup | kProgressGroup;
    case Command::None:
      break;
  }
  return kGeneralGroup;
}

// The option groups a command accepts.
unsigned acceptedGroups(const Options& options) {
  return commandGroups(options.command, runsDownload(options));
}

bool parseUnsigned(const std::string& text, uint64_t max, uint64_t* value) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t result = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    result = result * 10 + static_cast<uint64_t>(c - '0');
    if (result > max) return false;
  }
  *value = result;
  return true;
}

// A flags value: decimal or 0x-prefixed hexadecimal, 32 bits.
bool parseFlagsValue(const std::string& text, uint32_t* value) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    if (text.size() > 10) return false;
    uint32_t result = 0;
    for (size_t i = 2; i < text.size(); ++i) {
      char c = text[i];
      int digit = c >= '0' && c <= '9'   ? c - '0'
                  : c >= 'a' && c <= 'f' ? c - 'a' + 10
                  : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                         : -1;
      if (digit < 0) return false;
      result = result * 16 + static_cast<uint32_t>(digit);
    }
    *value = result;
    return true;
  }
  uint64_t result = 0;
  if (!parseUnsigned(text, 0xFFFFFFFFu, &result)) return false;
  *value = static_cast<uint32_t>(result);
  return true;
}

class Parser {
 public:
  Parser(const std::vector<std::string>& arguments, std::string* error)
      : arguments_(arguments), error_(error) {}

  std::optional<Options> run() {
    CLI::App app;
    app.set_help_flag();
    app.allow_extras();
    for (const OptionEntry& entry : kOptionTable) {
      if (entry.valueName == nullptr) {
        app.add_flag(entry.name);
      } else {
        app.add_option(entry.name)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
      }
    }
    std::vector<std::string> words;
    app.add_option("words", words);
    // CLI11 takes the arguments last first.
    std::vector<std::string> reversed(arguments_.rbegin(), arguments_.rend());
    try {
      app.parse(reversed);
    } catch (const CLI::ArgumentMismatch& mismatch) {
      return refusedValue(mismatch.what()), std::nullopt;
    } catch (const CLI::ParseError& error) {
      return fail(error.what()), std::nullopt;
    }
    for (const std::string& extra : app.remaining()) {
      // The end of the options is no option of its own.
      if (extra == "--") continue;
      return fail("unknown option " + extra.substr(0, extra.find('='))), std::nullopt;
    }
    // Each option's values in the order they were given.
    std::map<const CLI::Option*, size_t> taken;
    for (const CLI::Option* given : app.parse_order()) {
      if (given->get_positional()) continue;
      const std::string& value = given->results()[taken[given]++];
      if (!option(*findOption(given->get_name()), value)) return std::nullopt;
    }
    if (!interpretWords(words) || !checkCombinations()) return std::nullopt;
    return options_;
  }

 private:
  bool fail(const std::string& reason) {
    *error_ = reason;
    return false;
  }

  // A value missing after an option, or one given to a switch. CLI11 names
  // the option first in its message, with or without its dashes.
  void refusedValue(const std::string& message) {
    for (const OptionEntry& entry : kOptionTable) {
      const std::string name = entry.name;
      const std::string bare = name.substr(name.find_first_not_of('-'));
      for (const std::string& spelling : {name + ":", bare + " "}) {
        if (message.compare(0, spelling.size(), spelling) != 0) continue;
        fail("option " + name + (entry.valueName ? " needs a value" : " takes no value"));
        return;
      }
    }
    fail(message);
  }

  bool number(const std::string& name, const std::string& text, uint64_t min, uint64_t max,
              uint32_t* value) {
    uint64_t parsed = 0;
    if (!parseUnsigned(text, max, &parsed) || parsed < min) {
      return fail("option " + name + " takes a whole number from " + std::to_string(min) +
                  " to " + std::to_string(max) + ", not '" + text + "'");
    }
    *value = static_cast<uint32_t>(parsed);
    return true;
  }

  bool option(const OptionEntry& entry, const std::string& value) {
    const std::string name = entry.name;
    given_.push_back(&entry);
    if (entry.valueName == nullptr) {
      if (value != "true") return fail("option " + name + " takes no value");
      return setSwitch(name);
    }
    ConnectionOptions& c = options_.connection;
    DownloadOptions& d = options_.download;
    uint32_t n = 0;
    if (name == "--com") {
      if (!number(name, value, 1, 8, &n)) return false;
      c.com = static_cast<int>(n);
      c.comGiven = true;
      return true;
    }
    if (name == "--device") {
      if (value.empty()) return fail("option --device needs a path");
      c.device = value;
      return routeGiven(Route::Device, name);
    }
    if (name == "--pnet" || name == "--dial") {
      if (value.empty() || value.size() >= VB_ADDRESS_FIELD) {
        return fail("option " + name + " takes 1 to " + std::to_string(VB_ADDRESS_FIELD - 1) +
                    " characters");
      }
      c.address = value;
      return routeGiven(name == "--pnet" ? Route::Pnet : Route::Dial, name);
    }
    if (name == "--baud") {
      uint64_t baud = 0;
      if (!parseUnsigned(value, UINT32_MAX, &baud) ||
          !platform::isSupportedBaud(static_cast<uint32_t>(baud))) {
        return fail("option --baud takes a line speed the serial device supports (such as "
                    "2400, 4800, 9600, 19200 or 38400), not '" + value + "'");
      }
      c.baud = static_cast<uint32_t>(baud);
      baudGiven_ = true;
      return true;
    }
    if (name == "--password") {
      if (value.size() >= VB_PASSWORD_FIELD) {
        return fail("a password has at most " + std::to_string(VB_PASSWORD_FIELD - 1) +
                    " characters");
      }
      c.password = value;
      return true;
    }
    if (name == "--supplier") {
      if (!number(name, value, 0, 0xFFFF, &n)) return false;
      c.supplier = static_cast<uint16_t>(n);
      return true;
    }
    if (name == "--timeout") {
      c.receiveTimeoutGiven = true;
      return number(name, value, 1, 3600000, &c.receiveTimeoutMs);
    }
    if (name == "--frame-timeout") return number(name, value, 10, 3600000, &c.frameTimeoutMs);
    // 0 counts as 1 in the request record.
    if (name == "--attempts") return number(name, value, 0, 100, &c.commandAttempts);
    if (name == "--reconnects") return number(name, value, 0, 100, &c.reconnectAttempts);
    if (name == "--resume-limit") return number(name, value, 0, 1000, &c.resumeLimit);
    if (name == "--log") {
      if (!number(name, value, 1, 3, &n)) return false;
      d.logNo = static_cast<int>(n);
      return true;
    }
    if (name == "--from" || name == "--to") {
      std::optional<uint32_t> time = parseMeterTime(value);
      if (!time) {
        return fail("option " + name + " takes a meter time YYYY-MM-DD[THH:MM[:SS]] from " +
                    formatMeterTime(kEarliestMeterTime) + " to " +
                    formatMeterTime(kLatestMeterTime) + ", not '" + value + "'");
      }
      if (name == "--from") {
        fromGiven_ = true;
        d.from = *time;
      } else {
        toGiven_ = true;
        d.to = *time;
      }
      return true;
    }
    if (name == "--rsn") return rsnRange(value);
    if (name == "--set-time") {
      if (value == "before") {
        d.setTimeMode = 'B';
      } else if (value == "after") {
        d.setTimeMode = 'A';
      } else {
        return fail("option --set-time takes 'before' or 'after'");
      }
      return true;
    }
    if (name == "--capacity") return number(name, value, 1, kMaxCapacity, &d.capacity);
    if (name == "--csv") {
      if (value.empty()) return fail("option --csv needs a file name");
      d.csvPath = value;
      return true;
    }
    return number(name, value, kMinMessageRoom, kMaxMessageRoom, &options_.messageRoom);  // --room
  }

  bool setSwitch(const std::string& name) {
    DownloadOptions& d = options_.download;
    if (name == "--help" || name == "-h") options_.help = true;
    if (name == "--version" || name == "-V") options_.version = true;
    if (name == "--json") options_.json = true;
    if (name == "--raw") d.raw = true;
    if (name == "--restart") d.restart = true;
    if (name == "--reset") d.reset = true;
    if (name == "--yes") d.confirmed = true;
    if (name == "--no-progress") options_.progress = ProgressStyle::Off;
    if (name == "--progress-lines") options_.progress = ProgressStyle::Lines;
    if (name == "--all") return selectionGiven("--all");
    return true;
  }

  bool routeGiven(Route route, const std::string& name) {
    if (routeOption_.empty() || routeOption_ == name) {
      routeOption_ = name;
      options_.connection.route = route;
      return true;
    }
    return fail("options " + routeOption_ + " and " + name + " exclude each other");
  }

  bool selectionGiven(const std::string& name) {
    if (!selectionOption_.empty() && selectionOption_ != name) {
      return fail("options " + selectionOption_ + " and " + name + " exclude each other");
    }
    selectionOption_ = name;
    return true;
  }

  bool rsnRange(const std::string& value) {
    size_t dots = value.find("..");
    uint64_t first = 0, last = 0;
    if (dots == std::string::npos || !parseUnsigned(value.substr(0, dots), 0xFFFFFFFFu, &first) ||
        !parseUnsigned(value.substr(dots + 2), 0xFFFFFFFFu, &last) || first > last) {
      return fail("option --rsn takes a range FIRST..LAST of record numbers, not '" + value +
                  "'");
    }
    options_.download.from = static_cast<uint32_t>(first);
    options_.download.to = static_cast<uint32_t>(last);
    return selectionGiven("--rsn");
  }

  bool interpretWords(const std::vector<std::string>& words) {
    if (words.empty()) {
      if (options_.help || options_.version) return true;
      return fail("no command given (try --help)");
    }
    options_.command = commandFromName(words[0]);
    std::vector<std::string> rest(words.begin() + 1, words.end());
    switch (options_.command) {
      case Command::None:
        return fail("unknown command '" + words[0] + "' (try --help)");
      case Command::Session:
        for (const std::string& word : rest) {
          Command request = commandFromName(word);
          if (request != Command::Dib && request != Command::Versions &&
              request != Command::Header && request != Command::Download) {
            return fail("a session runs dib, versions, header and download, not '" + word + "'");
          }
          options_.sessionRequests.push_back(request);
        }
        if (options_.sessionRequests.empty() && !options_.help) {
          return fail("session needs at least one request, e.g. 'session header download'");
        }
        return true;
      case Command::Message:
        if (rest.size() != 1) {
          return options_.help || fail("message takes one text (quote it if it has spaces)");
        }
        options_.messageText = rest[0];
        if (options_.messageText.size() + 1 > options_.messageRoom) {
          return fail("the message text does not fit in --room " +
                      std::to_string(options_.messageRoom) + " bytes");
        }
        return true;
      case Command::Flags:
        if (rest.size() != 1) return options_.help || fail("flags takes one value");
        if (!parseFlagsValue(rest[0], &options_.flagsValue)) {
          return fail("flags takes a 32-bit value, decimal or 0x-hexadecimal, not '" + rest[0] +
                      "'");
        }
        return true;
      default:
        if (!rest.empty()) return fail("unexpected argument '" + rest[0] + "'");
        return true;
    }
  }

  bool checkCombinations() {
    ConnectionOptions& c = options_.connection;
    DownloadOptions& d = options_.download;
    if (!options_.help) {
      const unsigned accepted = acceptedGroups(options_);
      for (const OptionEntry* entry : given_) {
        if ((entry->groups & accepted) == 0) {
          return fail(std::string("option ") + entry->name + " has no meaning for '" +
                      commandName(options_.command) + "'");
        }
      }
    }
    if (baudGiven_ && c.route != Route::Device) {
      return fail("option --baud sets the speed of the line --device opens; COM ports, the PAD "
                  "and the modem run at the speed the link sets");
    }
    if ((c.route == Route::Pnet || c.route == Route::Dial) && !c.comGiven) {
      return fail("option " + routeOption_ + " needs --com N for the port of the " +
                  (c.route == Route::Pnet ? "PAD" : "modem"));
    }
    if (fromGiven_ || toGiven_) {
      if (!selectionGiven("--from/--to")) return false;
      d.selection = Selection::Time;
      if (!fromGiven_) d.from = kEarliestMeterTime;
      if (!toGiven_) d.to = kLatestMeterTime;
      if (d.from > d.to) return fail("--from lies after --to");
    } else if (selectionOption_ == "--rsn") {
      d.selection = Selection::Rsn;
    }
    return true;
  }

  const std::vector<std::string>& arguments_;
  std::string* error_;
  Options options_;
  std::string routeOption_;
  std::string selectionOption_;
  std::vector<const OptionEntry*> given_;
  bool baudGiven_ = false;
  bool fromGiven_ = false;
  bool toGiven_ = false;
};

}  // namespace

std::optional<Options> parseOptions(const std::vector<std::string>& arguments,
                                    std::string* error) {
  return Parser(arguments, error).run();
}

uint32_t lineBaud(const ConnectionOptions& connection) {
  switch (connection.route) {
    case Route::Device:
      return connection.baud;
    case Route::Pnet:
      return kPadLineBaud;
    case Route::Dial:
      return kModemLineBaud;
    case Route::Com:
      break;
  }
  return kComLineBaud;
}

bool emptiesLogger(const DownloadOptions& download) { return download.restart || download.reset; }

bool runsDownload(const Options& options) {
  if (options.command == Command::Download) return true;
  for (Command request : options.sessionRequests) {
    if (request == Command::Download) return true;
  }
  return false;
}

int16_t downloadSpecifier(const DownloadOptions& download) {
  int16_t selection = kSelectAll;
  switch (download.selection) {
    case Selection::Time:
      selection = download.reset ? kSelectByTimeWithReset : kSelectByTime;
      break;
    case Selection::Rsn:
      selection = download.reset ? kSelectByRsnWithReset : kSelectByRsn;
      break;
    case Selection::All:
      selection = download.reset ? kResetOnly : kSelectAll;
      break;
  }
  return static_cast<int16_t>(selection + (download.restart ? kRestartAfterDownload : 0));
}

std::string optionHelp(HelpSection section) {
  // Labels stand in a column this wide, after two spaces.
  constexpr size_t kLabelWidth = 22;
  const std::string indent(2 + kLabelWidth, ' ');
  std::string text;
  for (const OptionEntry& entry : kOptionTable) {
    if (entry.section != section || entry.help == nullptr) continue;
    std::string label = entry.label != nullptr ? entry.label : entry.name;
    if (entry.label == nullptr && entry.valueName != nullptr) label += std::string(" ") + entry.valueName;
    text += "  " + label;
    // At least two spaces between a label and its text, else a line of its own.
    if (label.size() + 2 <= kLabelWidth) {
      text += std::string(kLabelWidth - label.size(), ' ');
    } else {
      text += "\n" + indent;
    }
    for (const char* line = entry.help; *line != '\0';) {
      const char* end = std::strchr(line, '\n');
      if (end == nullptr) end = line + std::strlen(line);
      if (line != entry.help) text += indent;
      text.append(line, end) += "\n";
      line = *end == '\0' ? end : end + 1;
    }
  }
  return text;
}

std::vector<const OptionEntry*> commandOptions(Command command) {
  const unsigned accepted = commandGroups(command, true);
  std::vector<const OptionEntry*> options;
  for (const OptionEntry& entry : kOptionTable) {
    if ((entry.groups & accepted) != 0) options.push_back(&entry);
  }
  return options;
}

std::vector<std::string> commandNames() {
  std::vector<std::string> names;
  for (const CommandName& entry : kCommandNames) names.push_back(entry.name);
  return names;
}

const char* commandName(Command command) {
  for (const CommandName& entry : kCommandNames) {
    if (entry.command == command) return entry.name;
  }
  return "";
}

Command commandFromName(const std::string& name) {
  for (const CommandName& entry : kCommandNames) {
    if (name == entry.name) return entry.command;
  }
  return Command::None;
}

}  // namespace vb::cli
