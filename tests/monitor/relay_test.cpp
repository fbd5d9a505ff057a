// Relays end to end: the real library asks the real metersim through two
// monitor relays in a row. What the first relay passes on is what the
// second one reads, so comparing the bytes the two relays saw, direction by
// direction, shows that the first changed nothing, under the simulator's
// line faults too. The first relay's decoding is checked against the
// request's outcome and against a replay of its capture.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "capture.h"
#include "metersim/simulator.h"
#include "monitor.h"
#include "platform/devicemap.h"
#include "platform/pty.h"
#include "platform/serial.h"
#include "platform/thread.h"
#include "relay.h"
#include "vantbrook/vantbrook.h"

namespace vb::monitor {
namespace {

constexpr uint32_t kGenerousWaitMs = 20000;

// A relay between a meter line and a new pseudo-terminal for the host, on a
// thread of its own, keeping what it relayed and what it decoded.
class RelayUnderTest : public RelayObserver {
 public:
  RelayUnderTest() : monitor_([this](const Event& event) { events.push_back(event); }) {}
  ~RelayUnderTest() override { stop(); }

  bool start(const std::string& meterPath) {
    if (!meterLine_.open(meterPath) || !terminal_.open()) return false;
    terminal_.closeSlave();
    hostPath = terminal_.slavePath();
    if (!hostLine_.adopt(terminal_.master())) return false;
    relay_ = std::make_unique<Relay>(meterLine_, hostLine_, *this);
    return thread_.start([this] { relay_->run(); });
  }

  void stop() {
    if (!relay_) return;
    relay_->stop();
    thread_.joinFor(kGenerousWaitMs);
    relay_.reset();
  }

  void relayed(Direction from, uint64_t timeMs, const uint8_t* bytes, size_t count) override {
    std::lock_guard<std::mutex> lock(mutex_);
    chunks.push_back(Chunk{timeMs, from, {bytes, bytes + count}});
    Bytes& stream = from == Direction::FromHost ? fromHost : fromMeter;
    stream.insert(stream.end(), bytes, bytes + count);
    monitor_.observe(from, timeMs, bytes, count);
    changed_.notify_all();
  }
  void undelivered(Direction, uint64_t, size_t count) override { lost += count; }
  void quiet(uint64_t timeMs) override { monitor_.tick(timeMs); }

  // Waits until this relay has seen as many bytes as `other` in each direction.
  bool catchUpWith(RelayUnderTest& other) {
    const size_t host = other.sizes().first;
    const size_t meter = other.sizes().second;
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(kGenerousWaitMs), [&] {
      return fromHost.size() >= host && fromMeter.size() >= meter;
    });
  }
  std::pair<size_t, size_t> sizes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return {fromHost.size(), fromMeter.size()};
  }

  using Bytes = std::vector<uint8_t>;
  std::string hostPath;
  Bytes fromHost, fromMeter;
  std::vector<Chunk> chunks;
  std::vector<Event> events;
  size_t lost = 0;

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  Monitor monitor_;
  platform::SerialDevice meterLine_;
  platform::SerialDevice hostLine_;
  platform::PseudoTerminal terminal_;
  std::unique_ptr<Relay> relay_;
  platform::Thread thread_;
};

struct RelayCase {
  const char* name;
  metersim::Faults faults;
  bool mustSucceed;
};

void PrintTo(const RelayCase& c, std::ostream* out) { *out << c.name; }

metersim::Faults With(void (*arm)(metersim::Faults&)) {
  metersim::Faults faults;
  arm(faults);
  return faults;
}

class RelayedDownload : public ::testing::TestWithParam<RelayCase> {};

TEST_P(RelayedDownload, PassesEveryByteUnchangedAndDecodesTheReply) {
  metersim::Options options;
  options.baud = 38400;
  options.pairsPerLogger = 400;
  metersim::Simulator sim(options);
  ASSERT_TRUE(sim.start()) << sim.error();
  RelayUnderTest first, second;
  ASSERT_TRUE(first.start(sim.devicePath()));
  ASSERT_TRUE(second.start(first.hostPath));
  ASSERT_TRUE(platform::setComDevicePath(1, second.hostPath));
  sim.setFaults(GetParam().faults);

  std::vector<RawPair> pairs(1000);
  DataHeaderRecord header{};
  DownloadRecord download{&header, pairs.data(), static_cast<uint32_t>(pairs.size())};
  RequestRecord request;
  std::memset(&request, 0, sizeof request);
  request.requestCode = VB_REQ_DOWNLOAD_RAW;
  request.portNumber = 1;
  std::memcpy(request.protocol, "COM1", 4);
  request.receiveTimeout = 10000;
  request.frameTimeout = 2000;
  request.linkHandle = request.portHandle = -1;
  request.logNo = 1;
  request.specifier = 2;  // all
  request.download = &download;
  request.commandAttempts = 3;
  request.reconnectAttempts = 2;
  request.resumeLimit = 3;
  DibRecord dib{};
  ResultRecord result{};
  const int32_t succeeded = VantbrookRequest(&dib, &request, &result);
  if (GetParam().mustSucceed) {
    ASSERT_EQ(succeeded, 1) << result.message;
  }

  ASSERT_TRUE(first.catchUpWith(second));
  ASSERT_TRUE(second.catchUpWith(first));
  first.stop();
  second.stop();
  EXPECT_EQ(first.fromHost, second.fromHost);
  EXPECT_EQ(first.fromMeter, second.fromMeter);
  EXPECT_EQ(first.lost, 0u);
  EXPECT_FALSE(first.fromMeter.empty());

  if (succeeded == 1) {
    const std::string entries = std::to_string(header.count) + " entries";
    bool decoded = false;
    for (const Event& event : first.events) {
      decoded = decoded || (event.kind == "reply" &&
                            event.text.find("reply GetData") != std::string::npos &&
                            event.text.find(entries) != std::string::npos);
    }
    EXPECT_TRUE(decoded) << "no GetData reply with " << entries;
  }

  // A replay of the capture tells the same story as the live watch.
  std::vector<std::string> live, replayed;
  for (const Event& event : first.events) live.push_back(renderText(event));
  Monitor replay([&replayed](const Event& event) { replayed.push_back(renderText(event)); });
  for (const Chunk& chunk : first.chunks) {
    replay.observe(chunk.direction, chunk.timeMs, chunk.bytes.data(), chunk.bytes.size());
  }
  ASSERT_LE(live.size(), replayed.size());
  EXPECT_EQ(live, std::vector<std::string>(replayed.begin(), replayed.begin() + live.size()));
}

INSTANTIATE_TEST_SUITE_P(
    Monitor, RelayedDownload,
    ::testing::Values(
        RelayCase{"CleanLine", {}, true},
        RelayCase{"DroppedFrame", With([](metersim::Faults& f) { f.dropFrame = 2; }), true},
        RelayCase{"CorruptedBytes", With([](metersim::Faults& f) { f.corruptRate = 1e-3; }),
                  false},
        RelayCase{"CutAndResumed", With([](metersim::Faults& f) { f.cutAfterBytes = 800; }),
                  true},
        RelayCase{"Nak", With([](metersim::Faults& f) { f.nakMessages = 1; }), true}),
    [](const ::testing::TestParamInfo<RelayCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vb::monitor
