// The simulated meter's inner state: identity block, version texts, three
// loggers with seeded synthetic data, password and lock level, the clock,
// and the pending reply kept for resumption. It answers one command message
// with one reply message; it knows nothing about frames or lines.
//
// Times are CDTF: signed seconds since 1990-01-01 00:00:00 on the meter
// clock, which runs on the host's local standard time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace vb::metersim {

// Message classes and command numbers the meter answers.
inline constexpr uint8_t kCommandMarker = 0xFF;
inline constexpr uint8_t kClassMeter = 2;
inline constexpr uint8_t kClassControl = 3;
inline constexpr uint16_t kCmdGetVersions = 1;
inline constexpr uint16_t kCmdSetTime = 5;
inline constexpr uint16_t kCmdUnlock = 8;
inline constexpr uint16_t kCmdLock = 9;
inline constexpr uint16_t kCmdGetDib = 11;
inline constexpr uint16_t kCmdGetHeader = 12;
inline constexpr uint16_t kCmdGetData = 13;
inline constexpr uint16_t kCmdRestartLogger = 15;
inline constexpr uint16_t kCmdRestartLoggerWithParameters = 16;
inline constexpr uint16_t kCtlQueryPendingReply = 1;
inline constexpr uint16_t kCtlRequestResume = 2;
inline constexpr uint16_t kCtlCancelSession = 3;

// Reply status values the meter itself produces.
inline constexpr uint16_t kStatusOk = 0;
inline constexpr uint16_t kStatusNotImplemented = 1;
inline constexpr uint16_t kStatusWriteLocked = 3;
inline constexpr uint16_t kStatusReadLocked = 4;
inline constexpr uint16_t kStatusNoSuchLogger = 5;
inline constexpr uint16_t kStatusNoData = 7;
inline constexpr uint16_t kStatusParameterNotValid = 9;
inline constexpr uint16_t kStatusDatamodeNotSupported = 12;

// GetData selections.
inline constexpr uint16_t kSelectByTime = 0;
inline constexpr uint16_t kSelectByRsn = 1;
inline constexpr uint16_t kSelectAll = 2;
inline constexpr uint16_t kSelectByTimeAlt = 3;
inline constexpr uint16_t kSelectByRsnAndReset = 4;
inline constexpr uint16_t kSelectAllAndReset = 5;

// Status flag bit 13: the identity block changed since it was last read.
inline constexpr uint32_t kStatusFlagDibChanged = 0x2000;

// Offset of the first reply byte after the 10-byte reply header.
inline constexpr size_t kReplyHeaderSize = 10;
// The meter's answer to the host's raw text message: this prefix, then the
// text as received.
inline constexpr char kMessageReplyPrefix[] = "Meter received: ";
// Size of a totals record on the wire and of its CRC-covered part.
inline constexpr size_t kTotalsRecordSize = 40;
inline constexpr size_t kTotalsCrcCovered = 38;

// The three loggers.
inline constexpr int kLoggerCount = 3;
inline constexpr uint16_t kTotalsLogger = 3;

// A command message as the host builds it: marker, class, command, the
// data count (message length minus 8), the parameter and the data.
std::vector<uint8_t> buildCommand(uint8_t messageClass, uint16_t command, uint16_t parameter,
                                  const std::vector<uint8_t>& data);

// The identity block, fields in wire order.
struct IdentityBlock {
  uint32_t strusize = 0;
  uint16_t struvers = 0;
  uint16_t supplier = 0;
  std::string meter_id;
  int32_t last_alt = 0;  // CDTF
  uint32_t trans_id = 0;
  uint16_t transpin = 0;
  uint32_t flows_id = 0;
  uint32_t press_id = 0;
  float calibore = 0.0f;
  uint16_t aux_word = 0;
  std::string flowcont, trancont, prescont, transtag, presstag, manufact, transtyp, business,
      location, flowcali, prescali, usermess, tranvers, protvers, loggvers;
};

// Header of a pair logger (loggers 1 and 2), fields in wire order.
struct DataLoggerHeader {
  uint16_t formatVersion = 0;
  uint16_t type = 0;
  uint16_t supplier = 0;
  std::string siteId;
  int32_t currentDateTime = 0;
  int32_t priorDateTime = 0;
  int32_t postDateTime = 0;
  int32_t originalLoggerResetDateTime = 0;
  int32_t correctedLoggerResetDateTime = 0;
  int32_t firstPairDateTime = 0;
  uint32_t firstPairRSN = 0;
  uint32_t lastPairDateTime = 0;
  uint32_t lastPairRSN = 0;
  uint16_t loggingInterval = 0;
  float calibratedBore = 0.0f;
  uint16_t velocityFormat = 0;
  uint16_t pressureFormat = 0;
  int16_t heightOffset = 0;
  uint32_t statusFlags = 0;
};

// Header of the totals logger (logger 3), fields in wire order.
struct TotalsLoggerHeader {
  uint16_t formatVersion = 0;
  uint16_t type = 0;
  uint16_t supplier = 0;
  std::string siteId;
  int32_t currentDateTime = 0;
  int32_t priorDateTime = 0;
  int32_t postDateTime = 0;
  std::string auxText;
  float auxValue = 0.0f;
  int32_t firstRecordDateTime = 0;
  uint32_t firstRecordRSN = 0;
  uint32_t lastRecordDateTime = 0;
  uint32_t lastRecordRSN = 0;
  uint32_t statusFlags = 0;
};

// One logged flow/pressure pair: the raw 16-bit wire values.
struct Pair {
  uint32_t rsn = 0;
  int32_t time = 0;  // CDTF
  uint16_t flow = 0;
  uint16_t pressure = 0;
};

// One totals record as it goes on the wire (time, eight totals, two single
// bytes, CRC-16 of bytes 0 to 37 low byte first).
struct TotalsEntry {
  uint32_t rsn = 0;
  int32_t time = 0;  // CDTF
  std::array<uint8_t, kTotalsRecordSize> wire{};
};

// What the meter is made of: defaults built in, overridden by key=value
// settings (from a profile file or given directly).
struct Profile {
  IdentityBlock identity;
  std::array<std::string, 8> versions;
  std::array<std::string, kLoggerCount> siteIds;
  std::array<uint16_t, 2> pairIntervals{};  // seconds, loggers 1 and 2
  uint32_t totalsInterval = 0;              // seconds, logger 3
  std::array<uint32_t, kLoggerCount> firstRsn{};
  int16_t heightOffset = 0;
  std::string auxText;
  float auxValue = 0.0f;

  // The built-in meter.
  static Profile defaults();
  // Applies one setting; false (with the reason in *error) for an unknown
  // key or a value that does not parse.
  bool apply(const std::string& key, const std::string& value, std::string* error);
  // Reads key=value lines ('#' starts a comment, blank lines are skipped).
  // False with the file name, line number and reason in *error.
  bool load(const std::string& path, std::string* error);
};

// Settings of the model that come from the simulator's options.
struct ModelSettings {
  uint64_t seed = 1;
  uint32_t pairsPerLogger = 1000;
  uint32_t totalsRecords = 100;
  // Records each logger holds at most: a logger that logs on overwrites its
  // oldest. 0: no limit.
  uint32_t loggerCapacity = 0;
  std::string password;        // empty: any password unlocks
  uint8_t initialLockLevel = 2;  // 0 unlocked, 1 writes refused, 2 reads refused too
  // The meter's clock at start, CDTF; 0 takes the host's local standard time.
  int32_t clockAtStart = 0;
  // Keep the last meter-command reply for resumption after a lost
  // connection (QueryPendingReply / RequestResume).
  bool keepPendingReplies = true;
  // Status of the answer to QueryPendingReply when no reply is pending:
  // 0 answers "none" (id 0), 9 makes the host send its whole command again.
  uint16_t noPendingStatus = kStatusOk;
  // 0: the loggers hold still and the clock keeps the host's pace. N: the
  // clock runs N times as fast and the loggers keep logging.
  uint32_t timeScale = 0;
};

// A reply and where its delivery starts (a resumed reply starts inside).
struct Reply {
  std::vector<uint8_t> bytes;
  uint32_t startOffset = 0;
};

// The meter's answer to one host message: usually one reply; a resume adds
// the pending reply after the resume confirmation.
struct Answer {
  std::vector<Reply> replies;
};

// A status that replaces the meter's own answer to matching commands.
struct ForcedStatus {
  int32_t status = -1;           // -1: none
  uint16_t command = 0;          // 0: every command of the class
  uint8_t messageClass = kClassMeter;  // 0: both classes
};

// Thread-safe: every public member takes the model's lock, and accessors
// return copies, so a test may read the model while the simulator serves.
class MeterModel {
 public:
  MeterModel(Profile profile, ModelSettings settings);

  // Answers one complete host message (a command message, or the host's
  // raw text message).
  Answer handle(const std::vector<uint8_t>& message, const ForcedStatus& forced = ForcedStatus());

  // Identity block and versions.
  IdentityBlock identity() const;
  std::array<std::string, 8> versions() const;

  // Logger headers as they would be sent now (current time filled in).
  DataLoggerHeader dataHeader(uint16_t logNo) const;  // logNo 1 or 2
  TotalsLoggerHeader totalsHeader() const;
  std::vector<Pair> pairs(uint16_t logNo) const;  // logNo 1 or 2; empty otherwise
  std::vector<TotalsEntry> totals() const;

  // Status flags of a logger (1..3), and the "DIB changed" bit on all three.
  uint32_t statusFlags(uint16_t logNo) const;
  void setStatusFlags(uint16_t logNo, uint32_t flags);
  void setDibChanged(bool changed);

  uint8_t lockLevel() const;
  int32_t clockNow() const;  // meter clock, CDTF
  // The six parameter bytes of the last RestartLogger with parameters.
  std::array<uint8_t, 6> lastRestartParameters() const;
  // Id of the reply kept for resumption, 0 for none.
  uint16_t pendingReplyId() const;

 private:
  struct PairLogger {
    DataLoggerHeader header;  // fields that do not follow from the entries
    std::vector<Pair> pairs;
    uint32_t nextRsn = 0;
    int64_t nextTime = 0;  // when the next pair is logged (CDTF)
    std::mt19937_64 random;
  };
  struct TotalsLogger {
    TotalsLoggerHeader header;
    std::vector<TotalsEntry> records;
    uint32_t nextRsn = 0;
    int64_t nextTime = 0;
    std::mt19937_64 random;
    std::array<uint32_t, 8> running{};
  };

  // Everything below runs with mutex_ held.
  std::vector<uint8_t> answerMeterCommand(const std::vector<uint8_t>& message, uint16_t command);
  std::vector<uint8_t> answerControlCommand(const std::vector<uint8_t>& message, uint16_t command,
                                            Reply* resumed);
  std::vector<uint8_t> getData(const std::vector<uint8_t>& message);
  std::vector<uint8_t> restartLogger(const std::vector<uint8_t>& message, uint16_t command);
  std::vector<uint8_t> setTime(const std::vector<uint8_t>& message);
  std::vector<uint8_t> unlock(const std::vector<uint8_t>& message);
  std::vector<uint8_t> dibReply(uint16_t status) const;
  std::vector<uint8_t> versionsReply() const;
  std::vector<uint8_t> headerReply(uint16_t logNo) const;
  void appendHeader(uint16_t logNo, std::vector<uint8_t>* out) const;
  DataLoggerHeader currentDataHeader(uint16_t logNo) const;
  TotalsLoggerHeader currentTotalsHeader() const;
  void resetLogger(uint16_t logNo);
  void keepPending(const std::vector<uint8_t>& reply);
  void generate(int32_t clockAtStart);
  void appendPair(uint16_t logNo, int32_t time);
  void appendTotals(int32_t time, uint32_t index, uint32_t count);
  // Logs what fell due since the last command (time scale only).
  void keepLogging();
  // Meter seconds beyond the host's that the time scale has added.
  int64_t scaledExtraSeconds() const;
  int32_t clockNowLocked() const;

  mutable std::mutex mutex_;
  Profile profile_;
  ModelSettings settings_;
  std::array<PairLogger, 2> pairLoggers_;
  TotalsLogger totalsLogger_;
  uint8_t lockLevel_;
  int64_t clockOffset_ = 0;  // meter clock minus host local standard time
  uint64_t startMs_ = 0;     // monotonic time of the model's start
  std::array<uint8_t, 6> restartParameters_{};
  std::vector<uint8_t> pendingReply_;
  uint16_t pendingId_ = 0;
  uint16_t lastId_ = 0;
};

}  // namespace vb::metersim
