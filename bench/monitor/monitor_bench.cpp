// monitor_bench [--links N] [--seconds S] [--baud N]
//
// Runs --links (32) monitor relays at once, each between a pseudo-terminal
// that stands for the meter's line and one for the host, every relay
// decoding what it passes as 'vantbrook monitor' does. Both ends send the
// framed traffic of downloads, each direction paced at --baud (9600) bit/s
// (10 bits a byte) for --seconds (20). Reports whether every byte arrived
// unchanged, the delay a block of bytes took through its relay, and this
// process's processor time (relays and decoding, plus the small cost of the
// paced senders and the readers at both ends) as a share of one core. Then
// the decoding alone: how fast one core decodes the same traffic, and how
// many links at that rate, both directions busy, it could follow.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "figures.h"
#include "frame.h"
#include "monitor.h"
#include "platform/pty.h"
#include "platform/serial.h"
#include "platform/thread.h"
#include "relay.h"

namespace {

using vb::bench::fixed;
using vb::bench::printFigure;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr double kBitsPerByte = 10;
constexpr auto kPacingStep = std::chrono::milliseconds(100);
constexpr uint32_t kDrainWaitMs = 5000;
constexpr size_t kDownloadBytes = 40000;

// Download traffic as it crosses the line: a long reply in data frames, with
// the wake-up text and a command in front of it.
Bytes Traffic(uint8_t command) {
  Bytes message(kDownloadBytes);
  for (size_t i = 0; i < message.size(); ++i) message[i] = static_cast<uint8_t>(i * 7 + command);
  message[0] = 0xFF;
  message[1] = 2;
  message[2] = command;
  message[3] = 0;
  const std::string wakeup = "Vey Automation: Merrowtide wakeup\r";
  Bytes line(wakeup.begin(), wakeup.end());
  uint32_t position = 0;
  while (position < message.size()) {
    uint8_t frame[vb::link::kMaxBuiltFrame + 1];
    const uint32_t offered = std::min<uint32_t>(vb::link::kFrameDataSize,
                                                static_cast<uint32_t>(message.size()) - position);
    const size_t size = vb::link::BuildFrame(message.data() + position, offered, &position,
                                             vb::link::FrameKind::kData, frame, sizeof frame);
    line.insert(line.end(), frame, frame + size);
  }
  return line;
}

// Counts events instead of printing them.
class CountingWatch : public vb::monitor::RelayObserver {
 public:
  CountingWatch() : monitor_([this](const vb::monitor::Event&) { ++events; }) {}
  void relayed(vb::monitor::Direction from, uint64_t timeMs, const uint8_t* bytes,
               size_t count) override {
    monitor_.observe(from, timeMs, bytes, count);
  }
  void undelivered(vb::monitor::Direction, uint64_t, size_t count) override { lost += count; }
  void quiet(uint64_t timeMs) override { monitor_.tick(timeMs); }
  uint64_t events = 0;
  uint64_t lost = 0;

 private:
  vb::monitor::Monitor monitor_;
};

// One end of a watched line: what it sent (with the time of each paced
// block) and what it received.
struct End {
  vb::platform::SerialDevice device;
  Bytes traffic;
  size_t sent = 0;
  std::vector<std::pair<size_t, Clock::time_point>> blockEnds;  // cumulative size, time
  Bytes received;
  std::vector<double> delaysMs;
};

struct Link {
  vb::platform::PseudoTerminal meterTerminal;
  vb::platform::PseudoTerminal hostTerminal;
  vb::platform::SerialDevice relayMeterLine;
  vb::platform::SerialDevice relayHostLine;
  End meter;
  End host;
  CountingWatch watch;
  std::unique_ptr<vb::monitor::Relay> relay;
  vb::platform::Thread relayThread;
  std::mutex mutex;
};

bool Open(Link& link) {
  if (!link.meterTerminal.open() || !link.hostTerminal.open()) return false;
  link.meterTerminal.closeSlave();
  link.hostTerminal.closeSlave();
  vb::platform::SerialTimeouts readable;
  readable.readIntervalMs = 1;
  readable.readTotalConstantMs = 100;
  readable.writeTotalConstantMs = 1000;
  return link.meter.device.adopt(link.meterTerminal.master()) &&
         link.relayMeterLine.open(link.meterTerminal.slavePath()) &&
         link.relayHostLine.adopt(link.hostTerminal.master()) &&
         link.host.device.open(link.hostTerminal.slavePath()) &&
         link.meter.device.setTimeouts(readable) && link.host.device.setTimeouts(readable);
}

// Reads what arrives at `to` from the far end `from` until told to stop,
// noting the delay of each paced block.
void Receive(Link& link, End& to, End& from, const std::atomic<bool>& stop) {
  Bytes chunk(4096);
  size_t nextBlock = 0;
  while (!stop.load()) {
    size_t got = 0;
    to.device.read(chunk.data(), chunk.size(), &got);
    if (got == 0) continue;
    const Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> lock(link.mutex);
    to.received.insert(to.received.end(), chunk.begin(), chunk.begin() + got);
    while (nextBlock < from.blockEnds.size() &&
           from.blockEnds[nextBlock].first <= to.received.size()) {
      to.delaysMs.push_back(
          std::chrono::duration<double, std::milli>(now - from.blockEnds[nextBlock].second)
              .count());
      ++nextBlock;
    }
  }
}

void Send(Link& link, End& end, size_t bytes) {
  Bytes block;
  for (size_t i = 0; i < bytes; ++i) block.push_back(end.traffic[(end.sent + i) % end.traffic.size()]);
  {
    std::lock_guard<std::mutex> lock(link.mutex);
    end.sent += bytes;
    end.blockEnds.emplace_back(end.sent, Clock::now());
  }
  size_t written = 0;
  end.device.write(block.data(), block.size(), &written);
}

Bytes Expected(const End& end) {
  Bytes all;
  for (size_t i = 0; i < end.sent; ++i) all.push_back(end.traffic[i % end.traffic.size()]);
  return all;
}

double DecodeBytesPerSecond(const Bytes& meterTraffic, const Bytes& hostTraffic) {
  constexpr int kRounds = 20;
  uint64_t events = 0;
  vb::monitor::Monitor monitor([&events](const vb::monitor::Event&) { ++events; });
  constexpr size_t kChunk = 64;
  const auto start = Clock::now();
  uint64_t timeMs = 0;
  for (int round = 0; round < kRounds; ++round) {
    for (size_t at = 0; at < meterTraffic.size(); at += kChunk) {
      monitor.observe(vb::monitor::Direction::FromMeter, ++timeMs, meterTraffic.data() + at,
                      std::min(kChunk, meterTraffic.size() - at));
      if (at < hostTraffic.size()) {
        monitor.observe(vb::monitor::Direction::FromHost, ++timeMs, hostTraffic.data() + at,
                        std::min(kChunk, hostTraffic.size() - at));
      }
    }
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return kRounds * static_cast<double>(meterTraffic.size() + hostTraffic.size()) / seconds;
}

}  // namespace

int main(int argc, char** argv) {
  int links = 32;
  int seconds = 20;
  uint32_t baud = 9600;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--links") == 0 && i + 1 < argc) {
      links = std::max(1, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
      seconds = std::max(1, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--baud") == 0 && i + 1 < argc) {
      baud = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    } else {
      std::fprintf(stderr, "usage: %s [--links N] [--seconds S] [--baud N]\n", argv[0]);
      return 2;
    }
  }
  const Bytes meterTraffic = Traffic(13);
  const Bytes hostTraffic = Traffic(11);
  const size_t blockBytes =
      static_cast<size_t>(baud / kBitsPerByte * std::chrono::duration<double>(kPacingStep).count());

  std::vector<std::unique_ptr<Link>> all;
  for (int i = 0; i < links; ++i) {
    auto link = std::make_unique<Link>();
    if (!Open(*link)) {
      std::fprintf(stderr, "link %d: cannot open its pseudo-terminals\n", i);
      return 1;
    }
    link->meter.traffic = meterTraffic;
    link->host.traffic = hostTraffic;
    link->relay = std::make_unique<vb::monitor::Relay>(link->relayMeterLine, link->relayHostLine,
                                                       link->watch);
    Link* raw = link.get();
    link->relayThread.start([raw] { raw->relay->run(); });
    all.push_back(std::move(link));
  }

  std::atomic<bool> stopReading{false};
  std::vector<std::thread> readers;
  for (auto& link : all) {
    Link* raw = link.get();
    readers.emplace_back([raw, &stopReading] { Receive(*raw, raw->host, raw->meter, stopReading); });
    readers.emplace_back([raw, &stopReading] { Receive(*raw, raw->meter, raw->host, stopReading); });
  }

  const double cpuBefore = vb::platform::processCpuSeconds();
  const Clock::time_point start = Clock::now();
  Clock::time_point next = start;
  const Clock::time_point end = start + std::chrono::seconds(seconds);
  while (next < end) {
    for (auto& link : all) {
      Send(*link, link->meter, blockBytes);
      Send(*link, link->host, blockBytes);
    }
    next += kPacingStep;
    std::this_thread::sleep_until(next);
  }
  const auto drainDeadline = Clock::now() + std::chrono::milliseconds(kDrainWaitMs);
  auto drained = [&all] {
    for (auto& link : all) {
      std::lock_guard<std::mutex> lock(link->mutex);
      if (link->host.received.size() < link->meter.sent ||
          link->meter.received.size() < link->host.sent) {
        return false;
      }
    }
    return true;
  };
  while (!drained() && Clock::now() < drainDeadline) std::this_thread::sleep_for(kPacingStep);
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  const double cpu = vb::platform::processCpuSeconds() - cpuBefore;
  stopReading = true;
  for (std::thread& reader : readers) reader.join();
  for (auto& link : all) {
    link->relay->stop();
    link->relayThread.joinFor(kDrainWaitMs);
  }

  int unchanged = 0;
  uint64_t events = 0;
  std::vector<double> delays;
  for (auto& link : all) {
    if (link->host.received == Expected(link->meter) &&
        link->meter.received == Expected(link->host) && link->watch.lost == 0) {
      ++unchanged;
    }
    events += link->watch.events;
    delays.insert(delays.end(), link->host.delaysMs.begin(), link->host.delaysMs.end());
    delays.insert(delays.end(), link->meter.delaysMs.begin(), link->meter.delaysMs.end());
  }
  const std::string name = "monitor: " + std::to_string(links) + " links at " +
                           std::to_string(baud) + ", both ways";
  printFigure(name, "links whose bytes all arrived unchanged",
              std::to_string(unchanged) + " of " + std::to_string(links), "all");
  printFigure(name, "events decoded per second", fixed(events / wall, 0));
  const double slowest = delays.empty() ? 0 : *std::max_element(delays.begin(), delays.end());
  printFigure(name, "delay of a block through the relay, median / slowest (ms)",
              fixed(vb::bench::median(delays), 2) + " / " + fixed(slowest, 2));
  printFigure(name, "process CPU (% of one core), relays + decoding + senders",
              fixed(100 * cpu / wall, 2), "< 100%");

  const double decodeRate = DecodeBytesPerSecond(meterTraffic, hostTraffic);
  printFigure("monitor: decoding alone", "bytes decoded per second on one core (MB/s)",
              fixed(decodeRate / 1e6, 2));
  printFigure("monitor: decoding alone",
              "links one core could decode, both ways at " + std::to_string(baud),
              fixed(decodeRate / (2 * baud / kBitsPerByte), 0), ">= 32");
  return unchanged == links ? 0 : 1;
}
