#include "flows.h"

#include <cstring>
#include <string>

#include "connection.h"
#include "control_commands.h"
#include "formats/dib.h"
#include "host_buffer.h"
#include "meter_commands.h"
#include "step_trace.h"
#include "trace.h"
#include "transaction.h"
#include "vantbrook/vantbrook.h"

namespace vb::request {
namespace {

constexpr char kSetTimeBefore = 'B';
constexpr char kSetTimeAfter = 'A';

struct Flow {
  DibRecord* dib;
  RequestRecord* request;
  ResultRecord* result;
  // Bytes of the identity-block reply that came in, between GetDIB and its
  // decoding.
  uint32_t dibReceived = 0;
};

using StageStep = int (*)(Flow& flow);

struct Stage {
  StageStep run;
  const char* failureTrace;  // nullptr: none
  bool traceResult;          // failureTrace takes code, source and message
};

struct FlowTable {
  const char* name;
  const Stage* stages;
  size_t stageCount;
  const char* closingTrace;
  const char* closeFailureTrace;
};

void TraceFailure(const Stage& stage, const ResultRecord& result) {
  if (stage.failureTrace == nullptr) return;
  if (!stage.traceResult) {
    Trace("%s", stage.failureTrace);
    return;
  }
  const std::string source(result.source, strnlen(result.source, sizeof result.source));
  const std::string message(result.message, strnlen(result.message, sizeof result.message));
  Trace(stage.failureTrace, result.code, source.c_str(), message.c_str());
}

int RunFlow(const FlowTable& table, DibRecord* dib, RequestRecord* request,
            ResultRecord* result) {
  StepTrace trace(table.name);
  Flow flow{dib, request, result};
  int succeeded = 1;
  for (size_t i = 0; i < table.stageCount; ++i) {
    const Stage& stage = table.stages[i];
    if (stage.run(flow) == 0) {
      TraceFailure(stage, *result);
      succeeded = 0;
      break;
    }
  }
  Trace("%s", table.closingTrace);
  if (TidyUpAndClosePort(request, result) == 0) {
    Trace("%s", table.closeFailureTrace);
    succeeded = 0;
  }
  return succeeded;
}

int OpenStage(Flow& flow) {
  if (OpenLink(flow.request, flow.result) == 0) return 0;
  ++flow.request->connectCount;
  return 1;
}

int CancelStage(Flow& flow) { return CancelSession(flow.request, flow.result); }
int UnlockStage(Flow& flow) { return Unlock(flow.request, flow.result); }
int LockStage(Flow& flow) { return Lock(flow.request, flow.result); }

int GetDibStage(Flow& flow) { return GetDIB(flow.request, flow.result, &flow.dibReceived); }

int ProcessDibStage(Flow& flow) {
  return ProcessDIBData(flow.dib, flow.request, flow.result, flow.dibReceived) ? 1 : 0;
}

int VersionsStage(Flow& flow) { return GetVersions(flow.dib, flow.request, flow.result); }
int HeaderStage(Flow& flow) { return GetHeader(flow.dib, flow.request, flow.result); }
int DataStage(Flow& flow) { return GetData(flow.dib, flow.request, flow.result); }

int CheckDibStage(Flow& flow) { return CheckDibChanged(flow.dib, flow.request, flow.result); }

int SetTimeBeforeStage(Flow& flow) {
  return flow.request->setTimeMode == kSetTimeBefore ? SetTime(flow.request, flow.result) : 1;
}

int SetTimeAfterStage(Flow& flow) {
  return flow.request->setTimeMode == kSetTimeAfter ? SetTime(flow.request, flow.result) : 1;
}

int RestartStage(Flow& flow) {
  return flow.request->specifier >= kRestartAfterDownload
             ? RestartLogger(flow.request, flow.result)
             : 1;
}

// The host's text goes out unchanged, without a command frame, and whatever
// the meter answers is left in the host's buffer, never beyond its length.
int MessageExchangeStage(Flow& flow) {
  RequestRecord* request = flow.request;
  const HostBuffer& host = SavedHostBuffer();
  unsigned char* const workBuffer = request->data;
  request->data = host.data;
  request->dataLength = static_cast<uint32_t>(
      strnlen(reinterpret_cast<const char*>(host.data), host.dataLength));
  uint32_t received = 0;
  const int ok = CommandTransaction(request, flow.result, host.dataLength, &received);
  request->data = workBuffer;
  return ok;
}

constexpr Stage kDibStages[] = {
    {OpenStage, "Failed to open port\n", false},
    {CancelStage, nullptr, false},
    {GetDibStage, "Failed to get DIB\n", false},
    {ProcessDibStage, "Failed to process DIB Data\n", false},
    {CancelStage, nullptr, false},
};

constexpr Stage kVersionStages[] = {
    {OpenStage, "Failed to open port\n", false},
    {CancelStage, nullptr, false},
    {VersionsStage, "Failed to get versions (%d <%s> <%s>)\n", true},
    {CancelStage, nullptr, false},
};

constexpr Stage kMessageStages[] = {
    {OpenStage, "Failed to open port", false},
    {CancelStage, nullptr, false},
    {UnlockStage, "Failed to unlock\n", false},
    {MessageExchangeStage, nullptr, false},
    {LockStage, "Failed to lock\n", false},
};

constexpr Stage kHeaderStages[] = {
    {OpenStage, "Failed to open port\n", false},
    {CancelStage, nullptr, false},
    {UnlockStage, "Failed to unlock\n", false},
    {HeaderStage, "Failed to get header (%d <%s> <%s>)\n", true},
    {CancelStage, nullptr, false},
    {CheckDibStage, "Failed to check for changed DIB\n", false},
    {LockStage, "Failed to lock\n", false},
};

constexpr Stage kDownloadStages[] = {
    {OpenStage, "Failed to open port\n", false},
    {CancelStage, nullptr, false},
    {UnlockStage, "Failed to unlock\n", false},
    {SetTimeBeforeStage, "Failed to set time\n", false},
    {DataStage, "Failed to get data (%d <%s> <%s>)\n", true},
    {CancelStage, nullptr, false},
    {RestartStage, nullptr, false},
    {SetTimeAfterStage, "Failed to set time\n", false},
    {CheckDibStage, "Failed to check for changed DIB\n", false},
    {CancelStage, nullptr, false},
    {LockStage, "Failed to lock\n", false},
};

template <size_t N>
constexpr FlowTable MakeFlow(const char* name, const Stage (&stages)[N], const char* closingTrace,
                             const char* closeFailureTrace) {
  return FlowTable{name, stages, N, closingTrace, closeFailureTrace};
}

constexpr FlowTable kDibFlow =
    MakeFlow("DIBRequest", kDibStages, "Closing port\n", "Failed to close port\n");
constexpr FlowTable kVersionFlow =
    MakeFlow("VersionRequest", kVersionStages, "Closing port.\n", "Failed to close port\n");
constexpr FlowTable kMessageFlow =
    MakeFlow("MessageRequest", kMessageStages, "Closing port\n", "Failed to close port");
constexpr FlowTable kHeaderFlow =
    MakeFlow("HeaderRequest", kHeaderStages, "Closing port\n", "Failed to close port");
constexpr FlowTable kDownloadFlow =
    MakeFlow("DownloadRequest", kDownloadStages, "Closing port\n", "Failed to close port\n");

uint32_t HeaderStatusFlags(const RequestRecord& request) {
  const auto* download = static_cast<const DownloadRecord*>(request.download);
  if (download == nullptr || download->header == nullptr) return 0;
  if (request.logNo == 1 || request.logNo == 2) {
    return static_cast<const DataHeaderRecord*>(download->header)->statusFlags;
  }
  if (request.logNo == 3) {
    return static_cast<const TotalsHeaderRecord*>(download->header)->statusFlags;
  }
  return 0;
}

}  // namespace

int DIBRequest(DibRecord* dib, RequestRecord* request, ResultRecord* result) {
  return RunFlow(kDibFlow, dib, request, result);
}

int VersionRequest(DibRecord* dib, RequestRecord* request, ResultRecord* result) {
  return RunFlow(kVersionFlow, dib, request, result);
}

int MessageRequest(DibRecord* dib, RequestRecord* request, ResultRecord* result) {
  return RunFlow(kMessageFlow, dib, request, result);
}

int HeaderRequest(DibRecord* dib, RequestRecord* request, ResultRecord* result) {
  return RunFlow(kHeaderFlow, dib, request, result);
}

int DownloadRequest(DibRecord* dib, RequestRecord* request, ResultRecord* result) {
  return RunFlow(kDownloadFlow, dib, request, result);
}

int CheckDibChanged(DibRecord* dib, RequestRecord* request, ResultRecord* result) {
  StepTrace trace("CheckDibChanged");
  if ((HeaderStatusFlags(*request) & VB_STATUS_DIB_CHANGED) == 0) return 1;
  Trace("The DIB has changed\n");
  uint32_t received = 0;
  if (GetDIB(request, result, &received) == 0) {
    Trace("DIBR: Failed to get DIB\n");
    return 0;
  }
  if (!ProcessDIBData(dib, request, result, received)) {
    Trace("DIBR: Failed to process DIB Data\n");
    return 0;
  }
  if (CancelSession(request, result) == 0) return 0;
  DumpDib(*dib);
  return 1;
}

}  // namespace vb::request
