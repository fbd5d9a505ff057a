// modbus_peer_bench [--baud N] [--runs N]
//
// Reads the 40,000 entry bytes of a 10,000-pair download two ways at once,
// each over its own pseudo-terminal paced at --baud (9600) in the direction
// from the device to the host:
//   - Modbus RTU with libmodbus: a client reads 20,000 holding registers
//     holding those bytes, 125 registers a request (160 requests), from a
//     libmodbus RTU server behind a relay paced by the simulated meter's
//     pacer;
//   - the download request (10,000 raw pairs) from the simulated meter,
//     whole request as the goodput benchmark times it, once with the
//     meter's short frames and once with its 2048-byte long frames (frame
//     time-out 5 s, so that a long frame fits it).
// All three start together; --runs (3) rounds, also at once (every line is
// paced on its own, so they wait on their lines, not on each other).
// Reports the wall times and their ratios, round by round and as medians.
#include <modbus.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "figures.h"
#include "host_request.h"
#include "meter_process.h"
#include "paced_relay.h"
#include "reply_size.h"

namespace {

using vb::bench::fixed;
using vb::bench::printFigure;

constexpr uint32_t kPairs = 10000;
constexpr int kRegisters = 20000;                                // 40,000 bytes
constexpr int kRegistersPerRequest = MODBUS_MAX_READ_REGISTERS;  // 125
constexpr int kServerAddress = 1;
constexpr uint32_t kIndicationWaitUs = 200000;
constexpr uint32_t kResponseTimeoutS = 2;
constexpr int kRequests = kRegisters / kRegistersPerRequest;
// A reply: address, function, byte count, the registers, CRC.
constexpr int kReplyBytes = 3 + 2 * kRegistersPerRequest + 2;
constexpr uint32_t kLongFrameSize = 2048;
constexpr uint32_t kLongFrameTimeoutMs = 5000;

struct ModbusOutcome {
  bool ok = false;
  double seconds = 0;
  std::string failure;
};

// The registers carry the entry bytes in order, two to a register.
std::vector<uint16_t> registersOf(const std::vector<uint8_t>& bytes) {
  std::vector<uint16_t> registers(bytes.size() / 2);
  for (size_t i = 0; i < registers.size(); ++i) {
    registers[i] = static_cast<uint16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
  }
  return registers;
}

modbus_t* connectRtu(const std::string& path, uint32_t baud) {
  modbus_t* context = modbus_new_rtu(path.c_str(), static_cast<int>(baud), 'N', 8, 1);
  if (context == nullptr) return nullptr;
  if (modbus_set_slave(context, kServerAddress) != 0 || modbus_connect(context) != 0) {
    modbus_free(context);
    return nullptr;
  }
  return context;
}

void serve(const std::string& path, uint32_t baud, const std::vector<uint16_t>& registers,
           const std::atomic<bool>& stopping, std::atomic<bool>& ready) {
  modbus_t* context = connectRtu(path, baud);
  modbus_mapping_t* mapping = modbus_mapping_new(0, 0, kRegisters, 0);
  if (context == nullptr || mapping == nullptr) {
    if (mapping != nullptr) modbus_mapping_free(mapping);
    if (context != nullptr) modbus_free(context);
    ready.store(true);
    return;
  }
  std::copy(registers.begin(), registers.end(), mapping->tab_registers);
  modbus_set_indication_timeout(context, 0, kIndicationWaitUs);
  ready.store(true);
  std::vector<uint8_t> query(MODBUS_RTU_MAX_ADU_LENGTH);
  while (!stopping.load()) {
    const int length = modbus_receive(context, query.data());
    if (length > 0) modbus_reply(context, query.data(), length, mapping);
  }
  modbus_mapping_free(mapping);
  modbus_close(context);
  modbus_free(context);
}

ModbusOutcome readRegisters(const std::string& path, uint32_t baud,
                            const std::vector<uint16_t>& expected) {
  ModbusOutcome outcome;
  modbus_t* context = connectRtu(path, baud);
  if (context == nullptr) {
    outcome.failure = "client cannot open " + path;
    return outcome;
  }
  modbus_set_response_timeout(context, kResponseTimeoutS, 0);
  std::vector<uint16_t> registers(kRegisters);
  const auto start = std::chrono::steady_clock::now();
  int address = 0;
  while (address < kRegisters) {
    const int count = std::min(kRegistersPerRequest, kRegisters - address);
    if (modbus_read_registers(context, address, count, registers.data() + address) != count) {
      outcome.failure = std::string("read at register ") + std::to_string(address) + ": " +
                        modbus_strerror(errno);
      break;
    }
    address += count;
  }
  outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  modbus_close(context);
  modbus_free(context);
  if (address == kRegisters && registers != expected) outcome.failure = "registers differ";
  outcome.ok = address == kRegisters && outcome.failure.empty();
  return outcome;
}

vb::bench::Outcome download(uint32_t baud, bool longFrames) {
  std::vector<std::string> options = vb::bench::meterOptions(baud, kPairs, 10);
  if (longFrames) {
    options.insert(options.end(),
                   {"--long-frames", "--long-frame-size", std::to_string(kLongFrameSize)});
  }
  vb::bench::MeterProcess meter;
  vb::bench::HostLine line;
  vb::bench::Outcome outcome;
  if (!meter.start(options) || !line.open(meter.devicePath())) {
    outcome.failure = "no meter: " + meter.error();
    return outcome;
  }
  RequestRecord request = vb::bench::baseRequest(line.handle());
  if (longFrames) request.frameTimeout = kLongFrameTimeoutMs;
  return vb::bench::downloadPairs(&request, kPairs);
}

ModbusOutcome modbusRead(uint32_t baud, const std::vector<uint16_t>& registers) {
  vb::bench::PacedRelay relay(baud);
  if (!relay.start()) {
    ModbusOutcome outcome;
    outcome.failure = "cannot set up the relay";
    return outcome;
  }
  std::atomic<bool> stopping{false};
  std::atomic<bool> ready{false};
  std::thread server(serve, relay.serverPath(), baud, std::cref(registers), std::cref(stopping),
                     std::ref(ready));
  while (!ready.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const ModbusOutcome outcome = readRegisters(relay.clientPath(), baud, registers);
  stopping.store(true);
  server.join();
  return outcome;
}

struct Round {
  vb::bench::Outcome shortFrames;
  vb::bench::Outcome longFrames;
  ModbusOutcome modbus;
};

}  // namespace

int main(int argc, char** argv) {
  uint32_t baud = 9600;
  int runs = 3;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--baud") == 0 && i + 1 < argc) {
      baud = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    } else if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
      runs = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: %s [--baud N] [--runs N]\n", argv[0]);
      return 2;
    }
  }
  if (runs < 1) runs = 1;
  const std::vector<uint8_t> reply = vb::bench::downloadReply(1, 1, kPairs, 10);
  const vb::bench::ReplySize size = vb::bench::downloadReplySize(1, 1, kPairs, 10, 0);
  const vb::bench::ReplySize longSize =
      vb::bench::downloadReplySize(1, 1, kPairs, 10, kLongFrameSize);
  const std::vector<uint8_t> entries(reply.end() - size.entryBytes, reply.end());
  const std::vector<uint16_t> registers = registersOf(entries);

  std::vector<Round> rounds(static_cast<size_t>(runs));
  std::vector<std::thread> threads;
  for (Round& round : rounds) {
    threads.emplace_back([&round, baud] { round.shortFrames = download(baud, false); });
    threads.emplace_back([&round, baud] { round.longFrames = download(baud, true); });
    threads.emplace_back(
        [&round, baud, &registers] { round.modbus = modbusRead(baud, registers); });
  }
  for (std::thread& thread : threads) thread.join();

  const std::string name = "peer: 40,000 bytes at " + std::to_string(baud);
  std::vector<double> ours, oursLong, theirs, ratios, longRatios;
  int failures = 0;
  for (size_t i = 0; i < rounds.size(); ++i) {
    const Round& round = rounds[i];
    if (!round.modbus.ok) std::fprintf(stderr, "Modbus RTU: %s\n", round.modbus.failure.c_str());
    if (!round.shortFrames.ok) {
      std::fprintf(stderr, "download: %s\n", round.shortFrames.failure.c_str());
    }
    if (!round.longFrames.ok) {
      std::fprintf(stderr, "download, long frames: %s\n", round.longFrames.failure.c_str());
    }
    if (!round.modbus.ok || !round.shortFrames.ok || !round.longFrames.ok) {
      ++failures;
      continue;
    }
    ours.push_back(round.shortFrames.seconds);
    oursLong.push_back(round.longFrames.seconds);
    theirs.push_back(round.modbus.seconds);
    ratios.push_back(round.shortFrames.seconds / round.modbus.seconds);
    longRatios.push_back(round.longFrames.seconds / round.modbus.seconds);
    printFigure(
        name, "round " + std::to_string(i + 1) + ": download, short / long frames; Modbus RTU (s)",
        fixed(round.shortFrames.seconds, 2) + ", " + fixed(round.longFrames.seconds, 2) + "; " +
            fixed(round.modbus.seconds, 2));
  }
  if (ours.empty()) return 1;
  const double byteSeconds = 10.0 / baud;
  printFigure(name, "download request, short frames (s), median",
              fixed(vb::bench::median(ours), 2));
  printFigure(name, "download request, 2048-byte frames (s), median",
              fixed(vb::bench::median(oursLong), 2));
  printFigure(name, "Modbus RTU, 160 reads of 125 registers (s), median",
              fixed(vb::bench::median(theirs), 2));
  printFigure(name, "download, short frames / Modbus RTU, median ratio",
              fixed(vb::bench::median(ratios), 3), "< 1");
  printFigure(name, "download, 2048-byte frames / Modbus RTU, median ratio",
              fixed(vb::bench::median(longRatios), 3), "< 1");
  printFigure(name, "reply line time alone: short frames / 2048-byte frames / Modbus (s)",
              fixed(size.lineBytes * byteSeconds, 2) + " / " +
                  fixed(longSize.lineBytes * byteSeconds, 2) + " / " +
                  fixed(kRequests * kReplyBytes * byteSeconds, 2));
  return failures == 0 ? 0 : 1;
}
