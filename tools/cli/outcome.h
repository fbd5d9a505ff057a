// What one request brought back, kept for the report: its result and the
// records it filled.
#pragma once

#include <cstdint>
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
  // Record number of the first entry, and whether it is known.
  uint32_t firstEntryRsn = 0;
  // Entries the meter holds in the selection beyond the room given.
  bool mayBeCut = false;

  bool totalsLogger() const { return logNo == 3; }
  size_t entryCount() const;
};

struct Outcome {
  Command request = Command::None;
  bool succeeded = false;
  ResultRecord result{};
  DibRecord dib{};
  VersionRecord versions{};
  LoggerData logger;
  std::vector<unsigned char> answer;  // message request: the meter's answer
};

}  // namespace vb::cli
