#include "monitor_command.h"

#include <cstdio>
#include <string>
#include <vector>

#include "capture.h"
#include "command_arguments.h"
#include "exit_status.h"
#include "host_terminal.h"
#include "monitor.h"
#include "options.h"
#include "platform/error.h"
#include "platform/serial.h"
#include "relay.h"

namespace vb::cli {

namespace {

void printError(const std::string& text) {
  std::fprintf(stderr, "vantbrook: monitor: %s\n", text.c_str());
}

class Printer {
 public:
  explicit Printer(bool json) : json_(json) {}

  void operator()(const monitor::Event& event) const {
    const std::string line = json_ ? monitor::renderJson(event) : monitor::renderText(event);
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  }

 private:
  bool json_;
};

// What the relay shows goes to the capture file and the decoder.
class Watch : public monitor::RelayObserver {
 public:
  Watch(const Printer& printer, monitor::CaptureWriter* capture)
      : printer_(printer), capture_(capture), monitor_(printer) {}

  void relayed(monitor::Direction from, uint64_t timeMs, const uint8_t* bytes,
               size_t count) override {
    if (capture_ != nullptr && !captureFailed_ &&
        !capture_->write(monitor::Chunk{timeMs, from, {bytes, bytes + count}})) {
      captureFailed_ = true;
      printError("cannot write the capture file; relaying goes on");
    }
    monitor_.observe(from, timeMs, bytes, count);
  }

  void undelivered(monitor::Direction from, uint64_t timeMs, size_t count) override {
    monitor::Event event;
    event.timeMs = timeMs;
    event.direction = from;
    event.kind = "undelivered";
    event.text = std::to_string(count) + " bytes could not be passed on: the " +
                 (from == monitor::Direction::FromMeter ? "host's" : "meter's") +
                 " side is closed";
    event.fields = {{"size", count}};
    printer_(event);
  }

  void quiet(uint64_t timeMs) override {
    lastMs_ = timeMs;
    monitor_.tick(timeMs);
  }

  void finish() { monitor_.finish(lastMs_); }

 private:
  const Printer& printer_;
  monitor::CaptureWriter* capture_;
  monitor::Monitor monitor_;
  bool captureFailed_ = false;
  uint64_t lastMs_ = 0;
};

bool openLine(platform::SerialDevice& line, const std::string& path, uint32_t baud) {
  if (!line.open(path)) {
    printError("cannot open " + path + ": " + platform::lastErrorText());
    return false;
  }
  platform::SerialSettings settings;
  settings.baud = baud;
  if (!line.setSettings(settings)) {
    printError("cannot set up " + path + ": " + platform::lastErrorText());
    return false;
  }
  return true;
}

int replay(const MonitorArguments& options, const Printer& printer) {
  std::vector<monitor::Chunk> chunks;
  std::string error;
  if (!monitor::readCapture(options.replay, &chunks, &error)) {
    printError(error);
    return kExitUsage;
  }
  monitor::Monitor decoder(printer);
  uint64_t lastMs = 0;
  for (const monitor::Chunk& chunk : chunks) {
    decoder.observe(chunk.direction, chunk.timeMs, chunk.bytes.data(), chunk.bytes.size());
    lastMs = chunk.timeMs;
  }
  decoder.finish(lastMs);
  return kExitOk;
}

int relay(const MonitorArguments& options, const Printer& printer) {
  monitor::CaptureWriter capture;
  if (!options.capture.empty() && !capture.open(options.capture)) {
    printError("cannot write " + options.capture);
    return kExitUsage;
  }
  platform::SerialDevice meterLine;
  if (!openLine(meterLine, options.meter, options.baud)) return kExitLink;

  // Declared first, so the host line lets go of the terminal before it closes.
  HostTerminal hostTerminal;
  platform::SerialDevice hostLine;
  std::string hostPath = options.host;
  if (hostPath.empty()) {
    if (!hostTerminal.open(hostLine)) {
      printError(hostTerminal.failure());
      return kExitLink;
    }
    hostPath = hostTerminal.path();
  } else if (!openLine(hostLine, hostPath, options.baud)) {
    return kExitLink;
  }

  monitor::Event ready;
  ready.kind = "host_line";
  ready.text = "host line " + hostPath + " relayed to " + options.meter;
  ready.fields = {{"host_line", hostPath}, {"meter_line", options.meter}};
  printer(ready);

  Watch watch(printer, options.capture.empty() ? nullptr : &capture);
  monitor::Relay relayLoop(meterLine, hostLine, watch);
  const bool held = relayLoop.run();
  const std::string failure = held ? "" : platform::lastErrorText();
  watch.finish();
  if (!held) {
    printError("the meter's line failed: " + failure);
    return kExitLink;
  }
  return kExitOk;
}

}  // namespace

int runMonitor(int argc, char** argv) {
  MonitorArguments options;
  options.baud = kDefaultDeviceBaud;
  CLI::App app;
  defineMonitor(app, options);
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  if (std::optional<int> status = parseCommand(app, kMonitorText, arguments, kExitUsage)) {
    return *status;
  }
  if (options.meter.empty() && options.replay.empty()) {
    printError("give --meter DEVICE or --replay FILE (see 'vantbrook monitor --help')");
    return kExitUsage;
  }
  const Printer printer(options.json);
  return options.replay.empty() ? relay(options, printer) : replay(options, printer);
}

}  // namespace vb::cli
