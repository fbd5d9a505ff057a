// What the fault-injection tests and the soak share: a host that runs one
// request against a simulated meter with its own records, checks that the
// ResultRecord came back filled, compares every successful download with
// what the meter generated, and knows how long a request may take at most
// given its time-outs and attempts.
#pragma once

#include <cstdint>
#include <string>

#include "metersim/simulator.h"
#include "vantbrook/vantbrook.h"

namespace vb::reliability {

// What a request asks for.
enum class Job {
  kPairs,   // download of logger 1, raw pairs, everything
  kTotals,  // download of logger 3, everything
  kDib,     // the identity block
};
const char* JobName(Job job);

// Settings a faulty line is run with: short enough for a test, long enough
// for a loaded machine.
struct LineSettings {
  uint32_t receiveTimeoutMs = 1500;
  uint32_t frameTimeoutMs = 1000;
  uint32_t commandAttempts = 3;
  uint32_t reconnectAttempts = 2;
  uint32_t resumeLimit = 3;
};

// A request record for a built-in serial port: COMn (1..8), or a line the
// host opened itself when portHandle is not -1.
RequestRecord MakeRequest(const LineSettings& settings, int comNumber, int32_t portHandle = -1);

// The longest a request may run with these settings: every attempt of one
// stage timing out, with resend waits, reconnects and resume cycles, and as
// much again for the rest of the flow, plus the link's fixed pauses. Well
// above what a request needs; a request that takes longer has hung.
uint64_t RequestBoundMs(const RequestRecord& request);

struct Outcome {
  int32_t returned = 0;
  ResultRecord result{};
  uint64_t elapsedMs = 0;
  // Empty when the ResultRecord is well formed and, after a success, every
  // decoded value equals what the meter generated; otherwise what is wrong.
  std::string resultProblem;
  std::string dataProblem;
};

// Runs one request for job on the meter behind `request` (whose model gives
// the expected data) and checks its outcome.
Outcome RunJob(const metersim::MeterModel& model, RequestRecord request, Job job);

// The same on the caller's record, which keeps its link between requests
// when the host holds it (2748): a held link must stay open after a request
// that ended with code 0 or 7 and be closed after any other; without the
// hold no link may stay open.
Outcome RunJobOnRecord(const metersim::MeterModel& model, RequestRecord* request, Job job);

// The field as a string, without reading past it.
std::string FieldText(const char* field, size_t size);

}  // namespace vb::reliability
