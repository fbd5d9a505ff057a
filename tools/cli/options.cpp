#include "options.h"

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

struct OptionSpec {
  const char* name;
  bool takesValue;
  unsigned group;
};

const OptionSpec kOptionSpecs[] = {
    {"--help", false, kGeneralGroup},
    {"-h", false, kGeneralGroup},
    {"--json", false, kJsonGroup},
    {"--no-progress", false, kProgressGroup},
    {"--progress-lines", false, kProgressGroup},
    {"--com", true, kConnectionGroup},
    {"--device", true, kConnectionGroup},
    {"--pnet", true, kConnectionGroup},
    {"--dial", true, kConnectionGroup},
    {"--baud", true, kConnectionGroup},
    {"--password", true, kConnectionGroup},
    {"--supplier", true, kConnectionGroup},
    {"--timeout", true, kConnectionGroup},
    {"--frame-timeout", true, kConnectionGroup},
    {"--attempts", true, kConnectionGroup},
    {"--reconnects", true, kConnectionGroup},
    {"--resume-limit", true, kConnectionGroup},
    {"--log", true, kLoggerGroup},
    {"--all", false, kDownloadGroup},
    {"--from", true, kDownloadGroup},
    {"--to", true, kDownloadGroup},
    {"--rsn", true, kDownloadGroup},
    {"--reset", false, kDownloadGroup},
    {"--raw", false, kDownloadGroup},
    {"--capacity", true, kDownloadGroup},
    {"--set-time", true, kDownloadGroup},
    {"--restart", false, kDownloadGroup},
    {"--yes", false, kDownloadGroup},
    {"--csv", true, kDownloadGroup},
    {"--room", true, kMessageGroup},
};

const OptionSpec* findOption(const std::string& name) {
  for (const OptionSpec& spec : kOptionSpecs) {
    if (name == spec.name) return &spec;
  }
  return nullptr;
}

// The option groups a command accepts.
unsigned acceptedGroups(const Options& options) {
  const unsigned meter = kGeneralGroup | kJsonGroup | kProgressGroup | kConnectionGroup;
  switch (options.command) {
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
      return meter | kLoggerGroup | (runsDownload(options) ? kDownloadGroup : 0u);
    case Command::Flags:
      return kGeneralGroup | kJsonGroup;
    case Command::Demo:
      return kGeneralGroup | kJsonGroup | kProgressGroup;
    case Command::None:
      break;
  }
  return kGeneralGroup;
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
    std::vector<std::string> words;
    for (index_ = 0; index_ < arguments_.size(); ++index_) {
      const std::string& argument = arguments_[index_];
      if (argument == "--") {
        words.insert(words.end(), arguments_.begin() + static_cast<long>(index_) + 1,
                     arguments_.end());
        break;
      }
      if (argument.size() > 1 && argument[0] == '-') {
        if (!option(argument)) return std::nullopt;
      } else {
        words.push_back(argument);
      }
    }
    if (!interpretWords(words) || !checkCombinations()) return std::nullopt;
    return options_;
  }

 private:
  bool fail(const std::string& reason) {
    *error_ = reason;
    return false;
  }

  // The value of an option: "--name=value" or the next argument.
  bool takeValue(const std::string& name, const std::string& inlineValue, bool hasInline,
                 std::string* value) {
    if (hasInline) {
      *value = inlineValue;
      return true;
    }
    if (index_ + 1 >= arguments_.size()) return fail("option " + name + " needs a value");
    *value = arguments_[++index_];
    return true;
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

  bool option(const std::string& argument) {
    std::string name = argument;
    std::string inlineValue;
    size_t equals = argument.find('=');
    bool hasInline = equals != std::string::npos;
    if (hasInline) {
      name = argument.substr(0, equals);
      inlineValue = argument.substr(equals + 1);
    }
    const OptionSpec* spec = findOption(name);
    if (spec == nullptr) return fail("unknown option " + name);
    given_.push_back(spec);
    if (!spec->takesValue) {
      if (hasInline) return fail("option " + name + " takes no value");
      return setSwitch(name);
    }

    std::string value;
    if (!takeValue(name, inlineValue, hasInline, &value)) return false;
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
      if (options_.help) return true;
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
      for (const OptionSpec* spec : given_) {
        if ((spec->group & accepted) == 0) {
          return fail(std::string("option ") + spec->name + " has no meaning for '" +
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
  size_t index_ = 0;
  Options options_;
  std::string routeOption_;
  std::string selectionOption_;
  std::vector<const OptionSpec*> given_;
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
