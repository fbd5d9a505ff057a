// What one request brought back, kept for the report: its result and the
// records it filled.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "options.h"
#include "vantbrook/records.h"

namespace vb::cli {

struct LoggerData {
  int logNo = 1;
  bool raw = false;
  DataHeaderRecord dataHeader{};      // loggers 1 and 2
  TotalsHeaderRecord totalsHeader{};  // logger 3
  std::vector<RawPair> rawPairs;
  std::vector<ConvertedPair> convertedPairs;
  std::vector<TotalsRecord> totals;
  // Record number of the first entry; none when the header and the
  // selection do not fix it.
  std::optional<uint32_t> firstEntryRsn;
  // Entries the meter holds in the selection beyond the room given.
  bool mayBeCut = false;

  bool totalsLogger() const { return logNo == 3; }
  size_t entryCount() const;
  // What the header says about the logger's first and last entries,
  // whichever kind of logger it is.
  uint32_t firstRsn() const {
    return totalsLogger() ? totalsHeader.firstRecordRSN : dataHeader.firstPairRSN;
  }
  uint32_t lastRsn() const {
    return totalsLogger() ? totalsHeader.lastRecordRSN : dataHeader.lastPairRSN;
  }
  uint32_t firstTime() const {
    return totalsLogger() ? totalsHeader.firstRecordDateTime : dataHeader.firstPairDateTime;
  }
  uint32_t lastTime() const {
    return totalsLogger() ? totalsHeader.lastRecordDateTime : dataHeader.lastPairDateTime;
  }
  // Entries the header says the logger holds.
  uint64_t entriesHeld() const {
    return lastRsn() < firstRsn() ? 0 : uint64_t{lastRsn()} - firstRsn() + 1;
  }
  // Record number and time of entry `index`, where they are known: a totals
  // record carries its own time, a pair's is counted from the header.
  std::optional<uint32_t> entryRsn(size_t index) const;
  std::optional<uint32_t> entryTime(size_t index) const;
};

struct Outcome {
  Command request = Command::None;
  bool succeeded = false;
  ResultRecord result{};
  DibRecord dib{};
  VersionRecord versions{};
  LoggerData logger;
  // A download that set the clock or emptied the logger: the header read
  // after it, which shows the clock setting and what the logger holds now.
  std::optional<LoggerData> afterwards;
  bool clockSet = false;
  bool loggerEmptied = false;
  std::vector<unsigned char> answer;  // message request: the meter's answer
};

}  // namespace vb::cli
