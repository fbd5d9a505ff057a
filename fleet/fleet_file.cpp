#include "fleet_file.h"

#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include <toml++/toml.h>

#include "schedule.h"

namespace vb::fleet {

namespace {

constexpr uint32_t kMaxBaud = 115200;
constexpr uint32_t kMinBaud = 300;
constexpr int64_t kMaxTimeoutMs = 600000;
constexpr int64_t kMaxAttempts = 100;
constexpr int64_t kMaxDriftLimitS = 366 * 86400;

// Collects the first error with its place in the file.
class Checker {
 public:
  explicit Checker(std::string path) : path_(std::move(path)) {}

  bool failed() const { return !error_.empty(); }
  const std::string& error() const { return error_; }

  void fail(int line, const std::string& key, const std::string& reason) {
    if (failed()) return;
    std::ostringstream text;
    text << path_ << ':' << line << ": ";
    if (!key.empty()) text << "key '" << key << "': ";
    text << reason;
    error_ = text.str();
  }

  static int lineOf(const toml::node& node) { return static_cast<int>(node.source().begin.line); }

  bool text(const toml::node& node, const std::string& key, size_t maxLength, std::string* out) {
    const auto* value = node.as_string();
    if (value == nullptr) {
      fail(lineOf(node), key, "must be a text");
      return false;
    }
    if (value->get().size() > maxLength) {
      fail(lineOf(node), key, "longer than " + std::to_string(maxLength) + " characters");
      return false;
    }
    *out = value->get();
    return true;
  }

  bool integer(const toml::node& node, const std::string& key, int64_t min, int64_t max,
               int64_t* out) {
    const auto* value = node.as_integer();
    if (value == nullptr) {
      fail(lineOf(node), key, "must be a whole number");
      return false;
    }
    if (value->get() < min || value->get() > max) {
      fail(lineOf(node), key,
           "must be " + std::to_string(min) + " to " + std::to_string(max));
      return false;
    }
    *out = value->get();
    return true;
  }

  template <typename T>
  bool number(const toml::node& node, const std::string& key, int64_t min, int64_t max, T* out) {
    int64_t value = 0;
    if (!integer(node, key, min, max, &value)) return false;
    *out = static_cast<T>(value);
    return true;
  }

  bool flag(const toml::node& node, const std::string& key, bool* out) {
    const auto* value = node.as_boolean();
    if (value == nullptr) {
      fail(lineOf(node), key, "must be true or false");
      return false;
    }
    *out = value->get();
    return true;
  }

 private:
  std::string path_;
  std::string error_;
};

// One of the schedule's keys (interval, window, max_calls_per_day); false
// for any other key.
bool readScheduleKey(Checker& check, const std::string& key, const toml::node& node,
                     Schedule* schedule) {
  if (key == "interval") {
    std::string text;
    if (!check.text(node, key, 16, &text)) return true;
    const std::optional<int64_t> interval = parseDuration(text);
    if (!interval || *interval > kMaxIntervalS) {
      check.fail(Checker::lineOf(node), key,
                 "must be a duration up to a year such as \"15m\", \"6h\" or \"1d\"");
      return true;
    }
    schedule->intervalS = *interval;
  } else if (key == "window") {
    std::string text;
    if (!check.text(node, key, 16, &text)) return true;
    schedule->window = parseWindow(text);
    if (!schedule->window) {
      check.fail(Checker::lineOf(node), key,
                 "must be a part of the day such as \"01:00-05:00\" (host local time)");
    }
  } else if (key == "max_calls_per_day") {
    uint32_t calls = 0;
    if (check.number(node, key, 1, kMaxCallsPerDayLimit, &calls)) schedule->maxCallsPerDay = calls;
  } else {
    return false;
  }
  return true;
}

void readDefaults(Checker& check, const toml::node& node, Schedule* defaults) {
  const toml::table* table = node.as_table();
  if (table == nullptr) {
    check.fail(Checker::lineOf(node), "defaults", "must be written [defaults]");
    return;
  }
  for (const auto& [name, value] : *table) {
    const std::string key(name.str());
    if (!readScheduleKey(check, key, value, defaults)) {
      check.fail(Checker::lineOf(value), key, "unknown key in [defaults]");
    }
  }
}

void readLine(Checker& check, const toml::table& table, LineConfig* line) {
  line->sourceLine = Checker::lineOf(table);
  for (const auto& [name, node] : table) {
    const std::string key(name.str());
    if (key == "name") {
      check.text(node, key, 64, &line->name);
    } else if (key == "com") {
      check.number(node, key, kFirstCom, kLastCom, &line->com);
    } else if (key == "device") {
      check.text(node, key, 4096, &line->device);
    } else if (key == "kind") {
      std::string kind;
      if (!check.text(node, key, 16, &kind)) continue;
      if (kind == "direct") {
        line->kind = LineKind::Direct;
      } else if (kind == "pnet") {
        line->kind = LineKind::Pnet;
      } else if (kind == "dial") {
        line->kind = LineKind::Dial;
      } else {
        check.fail(Checker::lineOf(node), key, "must be \"direct\", \"pnet\" or \"dial\"");
      }
    } else if (key == "baud") {
      check.number(node, key, kMinBaud, kMaxBaud, &line->baud);
    } else if (key == "receive_timeout_ms") {
      check.number(node, key, 1, kMaxTimeoutMs, &line->receiveTimeoutMs);
    } else if (key == "frame_timeout_ms") {
      check.number(node, key, 1, kMaxTimeoutMs, &line->frameTimeoutMs);
    } else if (key == "command_attempts") {
      check.number(node, key, 1, kMaxAttempts, &line->commandAttempts);
    } else if (key == "reconnect_attempts") {
      check.number(node, key, 1, kMaxAttempts, &line->reconnectAttempts);
    } else if (key == "resume_limit") {
      check.number(node, key, 0, kMaxAttempts, &line->resumeLimit);
    } else if (key == "collector") {
      check.text(node, key, 64, &line->collector);
    } else if (key == "pool") {
      check.text(node, key, 64, &line->pool);
    } else if (!readScheduleKey(check, key, node, &line->schedule)) {
      check.fail(Checker::lineOf(node), key, "unknown key in [[line]]");
    }
  }
  if (check.failed()) return;
  if (line->name.empty()) check.fail(line->sourceLine, "name", "missing in [[line]]");
  if (line->com == 0 && line->device.empty()) {
    check.fail(line->sourceLine, "com", "[[line]] '" + line->name + "' needs com or device");
  }
  if (line->com != 0 && !line->device.empty()) {
    check.fail(line->sourceLine, "device", "[[line]] '" + line->name + "' has both com and device");
  }
  if (line->baud == 0) line->baud = defaultBaud(line->kind);
}

void readMeter(Checker& check, const toml::table& table, MeterConfig* meter) {
  meter->sourceLine = Checker::lineOf(table);
  for (const auto& [name, node] : table) {
    const std::string key(name.str());
    if (key == "id") {
      check.text(node, key, 64, &meter->id);
    } else if (key == "line" || key == "pool") {
      check.text(node, key, 64, key == "line" ? &meter->line : &meter->pool);
      meter->lineKeyLine = Checker::lineOf(node);
    } else if (key == "address") {
      check.text(node, key, kMaxAddress, &meter->address);
    } else if (key == "password") {
      check.text(node, key, kMaxPassword, &meter->password);
    } else if (key == "supplier") {
      check.number(node, key, 0, 65535, &meter->supplier);
    } else if (key == "loggers") {
      const auto* list = node.as_array();
      if (list == nullptr || list->empty()) {
        check.fail(Checker::lineOf(node), key, "must be a list of logger numbers 1 to 3");
        continue;
      }
      std::set<int> seen;
      for (const toml::node& entry : *list) {
        int logNo = 0;
        if (!check.number(entry, key, 1, 3, &logNo)) break;
        if (!seen.insert(logNo).second) {
          check.fail(Checker::lineOf(entry), key, "logger " + std::to_string(logNo) + " twice");
          break;
        }
        meter->loggers.push_back(logNo);
      }
    } else if (key == "convert") {
      check.flag(node, key, &meter->convert);
    } else if (key == "clock_drift_limit") {
      check.number(node, key, 1, kMaxDriftLimitS, &meter->clockDriftLimitS);
    } else if (key == "set_clock") {
      check.flag(node, key, &meter->setClock);
    } else if (key == "alarm_after_failed_runs") {
      check.number(node, key, 1, kMaxAttempts, &meter->failedRunsAlarm);
    } else if (!readScheduleKey(check, key, node, &meter->schedule)) {
      check.fail(Checker::lineOf(node), key, "unknown key in [[meter]]");
    }
  }
  if (check.failed()) return;
  if (meter->id.empty()) check.fail(meter->sourceLine, "id", "missing in [[meter]]");
  if (meter->line.empty() && meter->pool.empty()) {
    check.fail(meter->sourceLine, "line",
               "missing in [[meter]] '" + meter->id + "' (give its line, or its pool)");
  }
  if (!meter->line.empty() && !meter->pool.empty()) {
    check.fail(meter->lineKeyLine, "pool",
               "[[meter]] '" + meter->id + "' names a line and a pool: give one");
  }
}

// Reads the array of tables `key`; calls read for each.
template <typename Config, typename Reader>
void readTables(Checker& check, const toml::table& root, const char* key,
                std::vector<Config>* out, Reader read) {
  const toml::node* node = root.get(key);
  if (node == nullptr) return;
  const auto* tables = node->as_array();
  if (tables == nullptr || !tables->is_array_of_tables()) {
    check.fail(Checker::lineOf(*node), key, std::string("must be written [[") + key + "]]");
    return;
  }
  for (const toml::node& entry : *tables) {
    Config config;
    read(check, *entry.as_table(), &config);
    if (check.failed()) return;
    out->push_back(std::move(config));
  }
}

void crossCheck(Checker& check, Fleet* fleet) {
  if (fleet->meters.empty()) check.fail(1, "meter", "the fleet has no [[meter]]");
  // Ports and devices are each host's own: two collectors may both have a
  // COM1.
  std::set<std::string> lineNames;
  std::set<std::pair<std::string, int>> coms;
  std::map<std::pair<std::string, std::string>, std::string> devices;  // by collector and device
  for (const LineConfig& line : fleet->lines) {
    if (!lineNames.insert(line.name).second) {
      check.fail(line.sourceLine, "name", "line '" + line.name + "' defined twice");
    }
    if (line.com != 0 && !coms.insert({line.collector, line.com}).second) {
      check.fail(line.sourceLine, "com",
                 "COM" + std::to_string(line.com) + " used by two lines");
    }
    if (line.device.empty()) continue;
    // Two names of one device (a link, a relative path) are one line.
    std::error_code unresolved;
    std::filesystem::path device = std::filesystem::weakly_canonical(line.device, unresolved);
    if (unresolved) device = line.device;
    const auto [other, added] = devices.emplace(std::make_pair(line.collector, device.string()),
                                                line.name);
    if (!added) {
      check.fail(line.sourceLine, "device",
                 "device " + line.device + " is also line '" + other->second + "'");
    }
  }
  // Lines named by device borrow an unused COM number of the device map:
  // a collector has eight lines at most.
  std::map<std::string, size_t> linesOf;
  for (const LineConfig& line : fleet->lines) {
    if (++linesOf[line.collector] == static_cast<size_t>(kLastCom) + 1) {
      check.fail(line.sourceLine, "device",
                 "more than " + std::to_string(kLastCom) + " lines" +
                     (line.collector.empty() ? std::string() : " for collector " + line.collector));
    }
  }
  // A file shared by several collectors says for every line which one
  // opens it.
  const LineConfig* named = nullptr;
  const LineConfig* unnamed = nullptr;
  std::map<std::string, const LineConfig*> pools;
  for (const LineConfig& line : fleet->lines) {
    (line.collector.empty() ? unnamed : named) = &line;
    if (line.pool.empty()) continue;
    const auto [first, added] = pools.emplace(line.pool, &line);
    if (!added && first->second->kind != line.kind) {
      check.fail(line.sourceLine, "kind",
                 "line '" + line.name + "' is in pool '" + line.pool + "' with line '" +
                     first->second->name + "' of another kind");
    }
  }
  if (named != nullptr && unnamed != nullptr) {
    check.fail(unnamed->sourceLine, "collector",
               "line '" + unnamed->name + "' names no collector, but line '" + named->name +
                   "' does: when several collectors share the file, every line names its own");
  }
  std::set<std::string> meterIds;
  for (MeterConfig& meter : fleet->meters) {
    if (!meterIds.insert(meter.id).second) {
      check.fail(meter.sourceLine, "id", "meter '" + meter.id + "' defined twice");
    }
    size_t index = 0;
    auto reaches = [&meter](const LineConfig& line) {
      return meter.onPool() ? line.pool == meter.pool : line.name == meter.line;
    };
    while (index < fleet->lines.size() && !reaches(fleet->lines[index])) ++index;
    if (index == fleet->lines.size()) {
      check.fail(meter.lineKeyLine, meter.onPool() ? "pool" : "line",
                 "meter '" + meter.id + "' names " +
                     (meter.onPool() ? "pool '" + meter.pool + "', which no line is in"
                                     : "line '" + meter.line + "', which is not defined"));
      continue;
    }
    meter.lineIndex = index;
    const Schedule& line = fleet->lines[index].schedule;
    meter.intervalS = meter.schedule.intervalS.value_or(
        line.intervalS.value_or(fleet->defaults.intervalS.value_or(kDefaultIntervalS)));
    meter.window = meter.schedule.window   ? meter.schedule.window
                   : line.window           ? line.window
                                           : fleet->defaults.window;
    meter.maxCallsPerDay = meter.schedule.maxCallsPerDay.value_or(line.maxCallsPerDay.value_or(
        fleet->defaults.maxCallsPerDay.value_or(kDefaultMaxCallsPerDay)));
    const LineKind kind = fleet->lines[index].kind;
    if (kind != LineKind::Direct && meter.address.empty()) {
      check.fail(meter.sourceLine, "address",
                 std::string("meter '") + meter.id + "' is on a " + lineKindName(kind) +
                     " line and needs an address");
    }
  }
}

}  // namespace

bool lineOfCollector(const LineConfig& line, const std::string& collector) {
  return line.collector.empty() || line.collector == collector;
}

bool lineReaches(const LineConfig& line, const MeterConfig& meter) {
  return meter.onPool() ? line.pool == meter.pool : line.name == meter.line;
}

const char* lineKindName(LineKind kind) {
  switch (kind) {
    case LineKind::Pnet:
      return "pnet";
    case LineKind::Dial:
      return "dial";
    case LineKind::Direct:
      break;
  }
  return "direct";
}

uint32_t defaultBaud(LineKind kind) { return kind == LineKind::Dial ? 9600 : 4800; }

std::optional<Fleet> loadFleet(const std::string& path, std::string* error) {
  Checker check(path);
  toml::table root;
  try {
    root = toml::parse_file(path);
  } catch (const toml::parse_error& failure) {
    const int line = static_cast<int>(failure.source().begin.line);
    check.fail(line == 0 ? 1 : line, "", std::string(failure.description()));
    *error = check.error();
    return std::nullopt;
  }
  Fleet fleet;
  fleet.path = path;
  for (const auto& [name, node] : root) {
    const std::string key(name.str());
    if (key == "defaults") {
      readDefaults(check, node, &fleet.defaults);
    } else if (key != "line" && key != "meter") {
      check.fail(Checker::lineOf(node), key, "unknown key");
    }
  }
  readTables(check, root, "line", &fleet.lines, readLine);
  readTables(check, root, "meter", &fleet.meters, readMeter);
  if (!check.failed()) crossCheck(check, &fleet);
  if (check.failed()) {
    *error = check.error();
    return std::nullopt;
  }
  return fleet;
}

}  // namespace vb::fleet
