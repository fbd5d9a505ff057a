// Sixteen hosts at once, each on its own thread with its own line to its own
// simulated meter, each running a few short requests through
// VantbrookRequest: every request succeeds with exactly its meter's data.
// And a link closed by one thread while another is inside RecvData on it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "metersim/simulator.h"
#include "platform/clock.h"
#include "platform/devicemap.h"
#include "platform/pty.h"
#include "platform/serial.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "request_harness.h"
#include "test_meter_clock.h"
#include "vantbrook/brisel.h"

// The C library guards its time-zone state (read by the request library's
// local-time conversion and by the simulated meters' clocks) with a lock of
// its own that ThreadSanitizer does not see; its reports there are not races.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
extern "C" const char* __tsan_default_suppressions() { return "race:tzset_internal\n"; }
#endif
#endif

namespace vb::concurrency {
namespace {

using reliability::Job;

constexpr int kHosts = 16;
constexpr uint32_t kJoinWaitMs = 180000;

struct HostLine {
  std::unique_ptr<metersim::Simulator> sim;
  int32_t line = -1;  // the host's own handle of the meter's line
  std::string problems;
};

TEST(ManyLinks, SixteenHostsRunRequestsAtOnce) {
  std::vector<HostLine> hosts(kHosts);
  for (int i = 0; i < kHosts; ++i) {
    metersim::Options options;
    options.pairsPerLogger = 300;
    options.totalsRecords = 20;
    options.seed = 100 + static_cast<uint64_t>(i);
    hosts[i].sim = std::make_unique<metersim::Simulator>(vb::test::WithMeterClock(options));
    ASSERT_TRUE(hosts[i].sim->start()) << hosts[i].sim->error();
    platform::SerialDevice device;
    ASSERT_TRUE(device.open(hosts[i].sim->devicePath()));
    hosts[i].line = platform::fieldFromLine(device.release());
  }

  reliability::LineSettings settings;
  settings.receiveTimeoutMs = 20000;
  settings.frameTimeoutMs = 5000;
  std::vector<std::unique_ptr<platform::Thread>> threads;
  for (HostLine& host : hosts) {
    threads.push_back(std::make_unique<platform::Thread>());
    ASSERT_TRUE(threads.back()->start([&host, settings] {
      const RequestRecord request = reliability::MakeRequest(settings, 1, host.line);
      for (Job job : {Job::kPairs, Job::kDib, Job::kTotals}) {
        const reliability::Outcome outcome = reliability::RunJob(host.sim->model(), request, job);
        if (outcome.returned != 1) {
          host.problems += std::string(" ") + reliability::JobName(job) + " failed: " +
                           reliability::FieldText(outcome.result.message,
                                                  sizeof outcome.result.message);
        }
        if (!outcome.resultProblem.empty()) host.problems += " " + outcome.resultProblem;
        if (!outcome.dataProblem.empty()) host.problems += " " + outcome.dataProblem;
      }
    }));
  }
  for (auto& thread : threads) EXPECT_TRUE(thread->joinFor(kJoinWaitMs));
  for (int i = 0; i < kHosts; ++i) {
    EXPECT_EQ(hosts[i].problems, "") << "host " << i;
    platform::closeLine(platform::lineFromField(hosts[i].line));
    hosts[i].sim->stop();
  }
}

class LinkToSilentMeter : public ::testing::Test {
 protected:
  void SetUp() override {
    metersim::Options options;
    options.faults.silent = true;
    sim_ = std::make_unique<metersim::Simulator>(options);
    ASSERT_TRUE(sim_->start()) << sim_->error();
    ASSERT_TRUE(platform::setComDevicePath(2, sim_->devicePath()));
    std::memset(&record_, 0, sizeof record_);
    std::memcpy(record_.protocol, "COM2", 4);
    record_.port_number = 2;
    record_.link = -1;
    record_.port_handle = -1;
    record_.receive_timeout_ms = 3000;
    record_.frame_timeout_ms = 1000;
    ASSERT_EQ(OpenPort(&record_), 1) << record_.message;
  }
  void TearDown() override {
    if (record_.link != -1) ClosePort(&record_);
    sim_->stop();
  }

  std::unique_ptr<metersim::Simulator> sim_;
  LinkRecord record_{};
};

// The receive ends by its own time-out at the latest, fails, and the link is
// gone for everyone afterwards.
TEST_F(LinkToSilentMeter, ClosePortWhileAnotherThreadReceives) {
  constexpr uint64_t kReceiveBoundMs = 3000 + 5000;
  LinkRecord receiving = record_;
  std::vector<uint8_t> buffer(4096);
  receiving.data = buffer.data();
  receiving.length = static_cast<uint32_t>(buffer.size());
  std::atomic<int32_t> received{-1};
  std::atomic<int64_t> elapsedMs{-1};
  platform::Event started(platform::Event::Reset::Manual);
  platform::Thread receiver;
  ASSERT_TRUE(receiver.start([&] {
    started.set();
    const auto begin = std::chrono::steady_clock::now();
    received.store(RecvData(&receiving));
    elapsedMs.store(std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - begin)
                        .count());
  }));
  ASSERT_TRUE(started.wait(kJoinWaitMs));
  // RecvData gives no sign that it has begun to wait; a moment later it has.
  platform::sleepMs(300);
  LinkRecord closing = record_;
  EXPECT_EQ(ClosePort(&closing), 1) << closing.message;
  EXPECT_EQ(closing.link, -1);
  record_.link = -1;

  ASSERT_TRUE(receiver.joinFor(kJoinWaitMs));
  EXPECT_EQ(received.load(), 0);
  EXPECT_LE(elapsedMs.load(), static_cast<int64_t>(kReceiveBoundMs));
  EXPECT_NE(std::memchr(receiving.message, '\0', sizeof receiving.message), nullptr);
  LinkRecord after = receiving;
  EXPECT_EQ(RecvData(&after), 0);
}

}  // namespace
}  // namespace vb::concurrency
