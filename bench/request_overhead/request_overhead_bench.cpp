// request_overhead_bench [--opens N] [--held N]
//
// On an unpaced line to the simulated meter (which answers at once), times:
//   - header requests (2745) that each open and close the link (--opens, 20);
//   - header requests on one link held open by 2748 and released by 2749
//     (--held, 100);
//   - underneath, the link calls alone: OpenPort, ClosePort, and one
//     CancelSession exchange (SendData, then RecvData) on an open link;
// with the line opened by the link as COM1 and a meter that acknowledges
// each command, the same with a meter that only answers, and with the
// host's own line handed over as an open handle (the link then leaves the
// line alone when it closes: it cannot cancel the receiver's pending read,
// so ClosePort waits for that read to end).
//
// The pauses the link prescribes: after the wake-up text OpenPort pauses
// 200 ms; after the last frame of a message SendData waits up to the frame
// time-out for the meter's acknowledgement or first reply frame, so with a
// meter that answers at once that wait ends at once and costs only the
// meter's turnaround. A header request makes five exchanges (CancelSession,
// Unlock, GetHeader, CancelSession, Lock).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "figures.h"
#include "host_request.h"
#include "meter_process.h"
#include "platform/devicemap.h"
#include "vantbrook/brisel.h"

namespace {

using vb::bench::fixed;
using vb::bench::median;
using vb::bench::printFigure;

constexpr double kWakeupPauseMs = 200;
constexpr int kExchangesPerHeaderRequest = 5;
// CancelSession: class 3, command 3, four data bytes: parameter 0, value 5.
constexpr unsigned char kCancelSession[] = {0xFF, 3, 3, 0, 4, 0, 0, 0, 0, 0, 5, 0};
constexpr uint32_t kCancelReplyRoom = 12;

double msSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

LinkRecord linkRecord(int32_t portHandle) {
  LinkRecord record;
  std::memset(&record, 0, sizeof record);
  record.port_number = 1;
  std::memcpy(record.protocol, "COM1", 4);
  record.receive_timeout_ms = 10000;
  record.link = -1;
  record.port_handle = portHandle;
  record.frame_timeout_ms = vb::bench::kFrameTimeoutMs;
  return record;
}

struct LinkFigures {
  std::vector<double> open, close, send, receive;
  int failures = 0;
};

LinkFigures timeLinkCalls(int32_t portHandle, int cycles, int exchanges) {
  LinkFigures figures;
  for (int i = 0; i < cycles; ++i) {
    LinkRecord record = linkRecord(portHandle);
    auto start = std::chrono::steady_clock::now();
    if (OpenPort(&record) != 1) {
      ++figures.failures;
      continue;
    }
    figures.open.push_back(msSince(start));
    if (i == 0) {
      for (int k = 0; k < exchanges; ++k) {
        unsigned char buffer[64];
        std::memcpy(buffer, kCancelSession, sizeof kCancelSession);
        record.data = buffer;
        record.length = sizeof kCancelSession;
        start = std::chrono::steady_clock::now();
        if (SendData(&record) != 1) ++figures.failures;
        figures.send.push_back(msSince(start));
        record.length = kCancelReplyRoom;
        start = std::chrono::steady_clock::now();
        if (RecvData(&record) != 1) ++figures.failures;
        figures.receive.push_back(msSince(start));
      }
    }
    start = std::chrono::steady_clock::now();
    if (ClosePort(&record) == 0) ++figures.failures;
    figures.close.push_back(msSince(start));
  }
  return figures;
}

struct RequestFigures {
  std::vector<double> separate, held;
  int failures = 0;
};

RequestFigures timeHeaderRequests(int32_t portHandle, int opens, int held) {
  RequestFigures figures;
  DataHeaderRecord header{};
  DownloadRecord download{&header, nullptr, 0};
  RequestRecord request = vb::bench::baseRequest(portHandle);
  request.download = &download;
  for (int i = 0; i < opens; ++i) {
    const vb::bench::Outcome outcome = vb::bench::runRequest(&request, VB_REQ_HEADER);
    if (!outcome.ok) {
      std::fprintf(stderr, "header request: %s\n", outcome.failure.c_str());
      ++figures.failures;
      continue;
    }
    figures.separate.push_back(outcome.seconds * 1000);
  }
  if (!vb::bench::runRequest(&request, VB_REQ_HOLD).ok) {
    ++figures.failures;
    return figures;
  }
  for (int i = 0; i < held; ++i) {
    const vb::bench::Outcome outcome = vb::bench::runRequest(&request, VB_REQ_HEADER);
    if (!outcome.ok) {
      std::fprintf(stderr, "held header request: %s\n", outcome.failure.c_str());
      ++figures.failures;
      continue;
    }
    figures.held.push_back(outcome.seconds * 1000);
  }
  if (!vb::bench::runRequest(&request, VB_REQ_RELEASE).ok) ++figures.failures;
  return figures;
}

enum class Line { OpenedAsCom1, HostHandle };

int measure(const std::string& meterName, const std::vector<std::string>& meterOptions, Line mode,
            int opens, int held) {
  vb::bench::MeterProcess meter;
  vb::bench::HostLine line;
  if (!meter.start(meterOptions)) {
    std::fprintf(stderr, "%s: no meter: %s\n", meterName.c_str(), meter.error().c_str());
    return 1;
  }
  int32_t portHandle = -1;
  if (mode == Line::HostHandle) {
    if (!line.open(meter.devicePath())) return 1;
    portHandle = line.handle();
  } else if (!vb::platform::setComDevicePath(1, meter.devicePath())) {
    return 1;
  }
  const std::string name = "request overhead, unpaced, " + meterName;
  const LinkFigures link = timeLinkCalls(portHandle, opens, held);
  const RequestFigures requests = timeHeaderRequests(portHandle, opens, held);

  const double open = median(link.open);
  const double separate = median(requests.separate);
  const double heldMs = median(requests.held);
  printFigure(name, "OpenPort, median (ms; 200 ms of it the pause after the wake-up)",
              fixed(open, 1));
  printFigure(name, "ClosePort, median (ms)", fixed(median(link.close), 1));
  printFigure(name, "one exchange on an open link: SendData / RecvData, median (ms)",
              fixed(median(link.send), 2) + " / " + fixed(median(link.receive), 2));
  printFigure(name, "header request opening and closing the link, median (ms)", fixed(separate, 1));
  printFigure(name, "  of which fixed pauses (ms)", fixed(kWakeupPauseMs, 0));
  printFigure(name, "  everything else (ms); per exchange",
              fixed(separate - kWakeupPauseMs, 1) + "; " +
                  fixed((separate - kWakeupPauseMs) / kExchangesPerHeaderRequest, 2));
  printFigure(name, "  latency / fixed pauses", fixed(separate / kWakeupPauseMs, 3), "<= 1.10");
  printFigure(name, "header request on a held link, median (ms; no fixed pause)", fixed(heldMs, 2));
  printFigure(name, "  per exchange (ms)", fixed(heldMs / kExchangesPerHeaderRequest, 2));
  const int failures = link.failures + requests.failures;
  if (failures != 0) printFigure(name, "failed calls", std::to_string(failures));
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  int opens = 20;
  int held = 100;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--opens") == 0 && i + 1 < argc) {
      opens = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--held") == 0 && i + 1 < argc) {
      held = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: %s [--opens N] [--held N]\n", argv[0]);
      return 2;
    }
  }
  std::vector<std::string> acking = vb::bench::meterOptions(0, 100, 10);
  std::vector<std::string> answering = acking;
  answering.push_back("--no-ack");
  int failed = measure("COM1, meter acknowledges", acking, Line::OpenedAsCom1, opens, held);
  failed |= measure("COM1, meter only answers", answering, Line::OpenedAsCom1, opens, held);
  failed |=
      measure("host's own line handle, meter acknowledges", acking, Line::HostHandle, opens, held);
  return failed;
}
