#include "options.h"

#include "meter_time.h"
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
    auto flag = [&](bool* target) {
      if (hasInline) return fail("option " + name + " takes no value");
      *target = true;
      return true;
    };
    if (name == "--help" || name == "-h") return flag(&options_.help);
    if (name == "--json") return flag(&options_.json);
    if (name == "--raw") return flag(&options_.download.raw);
    if (name == "--restart") return flag(&options_.download.restart);
    if (name == "--reset") return flag(&options_.download.reset);
    if (name == "--all") {
      if (!flag(&allGiven_)) return false;
      return selectionGiven("--all");
    }
    if (name == "--no-progress" || name == "--progress-lines") {
      bool given = false;
      if (!flag(&given)) return false;
      options_.progress = name == "--no-progress" ? ProgressStyle::Off : ProgressStyle::Lines;
      return true;
    }

    static const char* const kValueOptions[] = {
        "--com",     "--device",  "--pnet",          "--dial",     "--baud",
        "--password", "--supplier", "--timeout",     "--frame-timeout", "--attempts",
        "--reconnects", "--resume-limit", "--log",   "--from",     "--to",
        "--rsn",     "--set-time", "--capacity",     "--csv",      "--room"};
    bool known = false;
    for (const char* option : kValueOptions) known = known || name == option;
    if (!known) return fail("unknown option " + name);

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
    if (name == "--baud") return number(name, value, 50, 4000000, &c.baud);
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
    if (name == "--timeout") return number(name, value, 1, 3600000, &c.receiveTimeoutMs);
    if (name == "--frame-timeout") return number(name, value, 10, 3600000, &c.frameTimeoutMs);
    if (name == "--attempts") return number(name, value, 1, 100, &c.commandAttempts);
    if (name == "--reconnects") return number(name, value, 1, 100, &c.reconnectAttempts);
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
  bool allGiven_ = false;
  bool fromGiven_ = false;
  bool toGiven_ = false;
};

}  // namespace

std::optional<Options> parseOptions(const std::vector<std::string>& arguments,
                                    std::string* error) {
  return Parser(arguments, error).run();
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
