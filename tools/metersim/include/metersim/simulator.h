// metersim: the far end of a serial line. Plays a meter (the link protocol
// from the meter's side and every meter command), optionally behind a
// packet-radio PAD or a dial-up modem, over a pseudo-terminal it creates or a
// device it is given, with line pacing and fault injection. Test fixtures
// link the static library; the metersim program wraps the same class.
//
// Thread safety: start() and stop() from one thread; setFaults(), faults(),
// received(), clearReceived(), model() and the counters may be called from
// any thread while the simulator serves on its own thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "metersim/meter_model.h"

namespace vb::metersim {

// What sits in front of the meter on the line.
enum class Front { Meter, Pad, Modem };

// Faults, applied to what the meter sends. One-shot faults clear themselves
// when used (faults() shows what is still armed).
struct Faults {
  uint32_t dropFrame = 0;        // drop the k-th data frame of the next reply (1-based); once
  double corruptRate = 0.0;      // per-byte probability of corrupting a sent link byte (seeded)
  uint32_t cutAfterBytes = 0;    // cut the line after n bytes of the next reply longer than
                                 // that (once): the reply stays pending, the call is dropped
                                 // and the meter is silent until the next wake-up text
  uint32_t nakMessages = 0;      // answer the next k host messages with CTRL_NAK
  int32_t forceStatus = -1;      // -1 none; answer matching commands with this status
  uint16_t forceStatusCommand = 0;  // 0 = every command of forceStatusClass
  uint8_t forceStatusClass = kClassMeter;  // 2 meter commands, 3 control commands, 0 both
  bool silent = false;           // receive and record, never answer
  char unsupportedControl = 0;   // 0 none; send this control character instead of the next reply
  bool vanish = false;           // finish what is being sent, then answer nothing, for good
  uint32_t lateAnswer = 0;       // acknowledge the k-th host message from now (1-based) at
                                 // once but answer it only when the next host message has
                                 // come in, ahead of that one's answer; once
};

struct Options {
  Front front = Front::Meter;
  std::string devicePath;        // serve this device instead of creating a pseudo-terminal
  uint32_t baud = 0;             // pace what is sent at this many bit/s, 10 bits a byte; 0 unpaced
  uint64_t seed = 1;             // logger data and corruption
  // The meter clock at start, CDTF (parseMeterClock reads it from text); it
  // runs on from there. 0 follows the host's local standard time, so the
  // logger data, which ends at the clock, changes with the hour of the start.
  int32_t clockAtStart = 0;
  bool longFrames = false;       // long frames for long replies, short for the rest
  uint32_t longFrameSize = 1024;  // 256, 512, 1024 or 2048
  bool ackMessages = true;       // send CTRL_ACK after each complete host message
  std::string profilePath;       // key=value file over the built-in profile
  std::vector<std::pair<std::string, std::string>> profileSettings;  // applied after the file
  std::string password;          // empty = any password accepted
  uint32_t pairsPerLogger = 1000;
  uint32_t totalsRecords = 100;
  uint32_t loggerCapacity = 0;   // records a logger holds at most; 0: no limit
  uint8_t initialLockLevel = 2;
  bool keepPendingReplies = true;  // false: QueryPendingReply never finds a reply
  uint16_t noPendingStatus = 0;    // status answering QueryPendingReply with nothing pending
  uint32_t resumeDelayMs = 100;    // pause between the resume confirmation and the resumed data
  // PAD: addresses refused with ERR. Modem: numbers answered with these codes.
  std::vector<std::string> padRefusedAddresses;
  std::vector<std::string> busyNumbers, noCarrierNumbers, noDialtoneNumbers;
  // PAD or modem: the meters behind it, one per address or telephone
  // number, each with logger data of its own (seeded from seed and its place
  // in the list) and its meter_id ending in its address. A call to any other
  // address gets the PAD's or modem's refusal. Empty: one meter answers
  // every call.
  std::vector<std::string> fleetAddresses;
  // Members of the fleet that take the call but never answer.
  std::vector<std::string> silentAddresses;
  // 0: the loggers hold still. N: the meter clocks run N times as fast as
  // the host's and the loggers keep logging at their intervals.
  uint32_t timeScale = 0;
  uint32_t callSetupMs = 500;    // PAD and modem: delay before the call's result
  uint32_t escapeGuardMs = 1000;  // modem: silence needed before and after "+++"
  Faults faults;
};

// A message or control frame the meter received, in order of arrival.
struct ReceivedMessage {
  bool control = false;
  char controlChar = 0;
  std::vector<uint8_t> bytes;  // the message (empty for a control frame)
  uint32_t position = 0;       // a control frame's argument (resend offset)
};

class Simulator {
 public:
  explicit Simulator(Options options);
  ~Simulator();  // stops serving
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Loads the profile, opens the line (a new pseudo-terminal unless a
  // device path was given) and serves on a background thread. False with
  // error() set when any of that fails.
  bool start();
  // The device a host opens: the pseudo-terminal's slave path (point
  // VANTBROOK_COMn at it with vb::platform::setComDevicePath), or the
  // device path given.
  const std::string& devicePath() const;
  const std::string& error() const;
  // Stops serving and closes the line. Safe to call twice.
  void stop();

  void setFaults(const Faults& faults);
  Faults faults() const;

  std::vector<ReceivedMessage> received() const;
  void clearReceived();
  // Wake-up texts seen, and calls connected by the PAD or modem front.
  uint32_t wakeups() const;
  uint32_t connections() const;
  // Calls the PAD or modem front began to set up (an accepted address, a
  // dial), and calls the host cleared (CLR, ATH) while they were being set
  // up or up.
  uint32_t callsPlaced() const;
  uint32_t callsCleared() const;

  const MeterModel& model() const;
  MeterModel& model();
  // The meter behind `address` in a fleet; nullptr for an address that is
  // not one of fleetAddresses.
  MeterModel* fleetModel(const std::string& address);
  // Bytes written to the line so far (the meter's link bytes and the
  // PAD's or modem's texts).
  uint64_t bytesSent() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vb::metersim
