// The fleet file: the serial lines of a utility and the meters behind them,
// read from TOML. Everything is checked before anything is collected; an
// error names the file, the line of the file and the key.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "schedule.h"

namespace vb::fleet {

// How a line reaches its meters.
enum class LineKind { Direct, Pnet, Dial };

inline constexpr int kFirstCom = 1;
inline constexpr int kLastCom = 8;
// Longest password the meter's unlock command carries.
inline constexpr size_t kMaxPassword = 40;
// Longest PAD address or telephone number the request record carries.
inline constexpr size_t kMaxAddress = 40;

struct LineConfig {
  std::string name;
  int com = 0;         // 1..8; 0 when the line is named by device
  std::string device;  // device path; empty when the line is named by com
  LineKind kind = LineKind::Direct;
  uint32_t baud = 0;   // bit rate the meters send at; sizes every receive time-out
  uint32_t receiveTimeoutMs = 20000;  // short replies (identity, header, versions)
  uint32_t frameTimeoutMs = 5000;
  uint32_t commandAttempts = 3;
  uint32_t reconnectAttempts = 2;
  uint32_t resumeLimit = 3;
  Schedule schedule;   // defaults for its meters
  // The collector (host) the line is attached to; empty when the file
  // names none (one collector runs the whole file).
  std::string collector;
  // Lines that reach the same meters (modems on one telephone network,
  // PADs on one packet network); empty for a line of its own.
  std::string pool;
  int sourceLine = 0;  // where the table starts in the fleet file
};

struct MeterConfig {
  std::string id;
  std::string line;     // name of its line; empty for a meter of a pool
  std::string pool;     // the pool any of whose lines may call it; empty for a meter of a line
  // Its line, or the first line of its pool (whose kind and schedule it
  // takes).
  size_t lineIndex = 0;  // into Fleet::lines
  std::string address;  // PAD address or telephone number
  std::string password;
  uint16_t supplier = 0;  // expected supplier id; 0 accepts any
  std::vector<int> loggers;  // empty: every logger the meter keeps
  bool convert = true;       // engineering units (true) or the raw logged values
  uint32_t clockDriftLimitS = 60;  // a larger drift is recorded as an event
  bool setClock = false;           // and corrected when this is set
  Schedule schedule;               // as the file gives it for the meter
  // The schedule in force: the meter's, else its line's, else the file's
  // [defaults], else the built-in ones.
  int64_t intervalS = kDefaultIntervalS;     // expected time between two collections
  std::optional<TimeWindow> window;          // when it may be called; unset: any time
  uint32_t maxCallsPerDay = kDefaultMaxCallsPerDay;
  uint32_t failedRunsAlarm = 3;    // failed runs in a row that raise an alarm
  int sourceLine = 0;
  int lineKeyLine = 0;  // where its `line` or `pool` key is
  bool onPool() const { return !pool.empty(); }
};

struct Fleet {
  std::string path;
  Schedule defaults;  // the file's [defaults]
  std::vector<LineConfig> lines;
  std::vector<MeterConfig> meters;
};

// Whether the collector of that name opens the line: its own, or every
// line of a file that names no collector.
bool lineOfCollector(const LineConfig& line, const std::string& collector);
// Whether a line may call the meter: the meter's own line, or a line of its
// pool.
bool lineReaches(const LineConfig& line, const MeterConfig& meter);

const char* lineKindName(LineKind kind);
// Bit rate a line of this kind runs at when the file gives none.
uint32_t defaultBaud(LineKind kind);

// Reads and checks a fleet file. Nothing, with *error set to
// "FILE:LINE: key 'KEY': reason", when anything is wrong.
std::optional<Fleet> loadFleet(const std::string& path, std::string* error);

}  // namespace vb::fleet
