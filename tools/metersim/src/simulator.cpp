// The serving loop: reads the line, lets the front answer what is meant for
// it, takes the meter's link frames apart, answers complete messages through
// the meter model, and streams the answers out paced and with the faults in
// force.
#include "metersim/simulator.h"

#include <atomic>
#include <deque>
#include <mutex>
#include <random>

#include "frame.h"
#include "frame_reader.h"
#include "front.h"
#include "line.h"
#include "message_assembler.h"
#include "pacer.h"
#include "platform/clock.h"
#include "platform/thread.h"
#include "reply_framer.h"

namespace vb::metersim {
namespace {

// How long one turn of the loop waits for input when nothing is to be sent;
// also the resolution of the fronts' timers.
constexpr uint32_t kIdleWaitMs = 20;
// How often to look again for a host while nobody holds the line open.
constexpr uint32_t kLineDownPollMs = 10;
constexpr size_t kReadChunk = 4096;
// How long a front's answer may take to go out.
constexpr uint64_t kFrontWriteLimitMs = 1000;
constexpr uint32_t kStopJoinMs = 1000;
// A fleet member's meter_id, the profile's and its address, fits the
// identity block's 39 characters.
constexpr size_t kMeterIdLength = 39;

// One item of what the meter is to send, in order.
struct Outgoing {
  enum class Kind { Bytes, Pause, Cut };
  Kind kind = Kind::Bytes;
  std::vector<uint8_t> bytes;
  size_t sent = 0;
  uint32_t pauseMs = 0;
  bool pauseStarted = false;
  uint64_t pauseStartMs = 0;
};

ModelSettings modelSettings(const Options& options) {
  ModelSettings settings;
  settings.seed = options.seed;
  settings.clockAtStart = options.clockAtStart;
  settings.pairsPerLogger = options.pairsPerLogger;
  settings.totalsRecords = options.totalsRecords;
  settings.loggerCapacity = options.loggerCapacity;
  settings.password = options.password;
  settings.initialLockLevel = options.initialLockLevel;
  settings.keepPendingReplies = options.keepPendingReplies;
  settings.noPendingStatus = options.noPendingStatus;
  settings.timeScale = options.timeScale;
  return settings;
}

}  // namespace

struct Simulator::Impl {
  explicit Impl(Options opts)
      : options(std::move(opts)),
        pacer(options.baud),
        corruption(options.seed ^ 0xC0FFEE5EEDull),
        faults(options.faults) {
    Profile profile = Profile::defaults();
    if (!options.profilePath.empty()) profile.load(options.profilePath, &profileError);
    for (const auto& setting : options.profileSettings) {
      if (!profileError.empty()) break;
      profile.apply(setting.first, setting.second, &profileError);
    }
    for (size_t i = 0; i < options.fleetAddresses.size(); ++i) {
      const std::string& address = options.fleetAddresses[i];
      Profile member = profile;
      member.identity.meter_id =
          (member.identity.meter_id + "/" + address).substr(0, kMeterIdLength);
      ModelSettings settings = modelSettings(options);
      settings.seed = options.seed + 1 + i;
      fleet.emplace_back(address, std::make_unique<MeterModel>(std::move(member), settings));
    }
    model = std::make_unique<MeterModel>(std::move(profile), modelSettings(options));
    active = model.get();
  }

  // The meter a call to `address` reaches (the one meter outside a fleet).
  MeterModel* modelFor(const std::string& address) {
    if (options.fleetAddresses.empty()) return model.get();
    for (auto& member : fleet) {
      if (member.first == address) return member.second.get();
    }
    return nullptr;
  }

  void serve();
  uint32_t waitBeforeNextTurn(uint64_t nowMs) const;
  void takeLinkBytes(const std::vector<uint8_t>& bytes, uint64_t nowMs);
  void controlReceived(const HostFrame& frame);
  void messageReceived(const std::vector<uint8_t>& message);
  bool answering();
  void queueReply(const Reply& reply);
  void queueLinkBytes(std::vector<uint8_t> bytes);
  void queueControl(uint8_t character, uint32_t argument);
  void sendDue(uint64_t nowMs);
  void cutLine();
  void writeFrontText(const std::string& text);
  void record(ReceivedMessage message);
  uint32_t longFrameSize() const { return options.longFrames ? options.longFrameSize : 0; }

  platform::Clock& clock = platform::realClock();
  const Options options;
  std::string profileError;
  std::unique_ptr<MeterModel> model;
  std::vector<std::pair<std::string, std::unique_ptr<MeterModel>>> fleet;
  Line line;
  std::string error;
  platform::Thread thread;
  std::atomic<bool> stopRequested{false};
  bool serving = false;

  // Serving thread only.
  std::unique_ptr<FrontEnd> front;
  FrameReader reader;
  MessageAssembler assembler;
  Pacer pacer;
  bool pacerIdle = true;
  MeterModel* active = nullptr;  // the meter of the current call
  bool activeSilent = false;
  std::deque<Outgoing> outgoing;
  std::vector<uint8_t> lastReply;
  // The answer held back by the late-answer fault.
  std::vector<Reply> lateReplies;
  bool lineCut = false;
  bool vanished = false;
  std::mt19937_64 corruption;

  // Shared with callers, under stateMutex.
  mutable std::mutex stateMutex;
  Faults faults;
  std::vector<ReceivedMessage> received;
  uint32_t wakeups = 0;
  uint32_t connections = 0;
  uint32_t callsPlaced = 0;
  uint32_t callsCleared = 0;
  std::atomic<uint64_t> bytesSent{0};
};

void Simulator::Impl::serve() {
  std::vector<uint8_t> buffer(kReadChunk);
  while (!stopRequested.load()) {
    bool down = false;
    const size_t got =
        line.read(buffer.data(), buffer.size(), waitBeforeNextTurn(clock.nowMs()), &down);
    if (down && !stopRequested.load()) clock.sleepMs(kLineDownPollMs);
    const uint64_t now = clock.nowMs();
    std::vector<uint8_t> linkBytes;
    if (got > 0) front->received(buffer.data(), got, now, &linkBytes);
    front->tick(now);
    if (const uint32_t placed = front->takeCallsPlaced()) {
      std::lock_guard<std::mutex> lock(stateMutex);
      callsPlaced += placed;
    }
    if (const uint32_t cleared = front->takeCallsCleared()) {
      std::lock_guard<std::mutex> lock(stateMutex);
      callsCleared += cleared;
    }
    if (const uint32_t calls = front->takeConnections()) {
      std::lock_guard<std::mutex> lock(stateMutex);
      connections += calls;
      const std::string& address = front->calledAddress();
      if (MeterModel* called = modelFor(address)) active = called;
      activeSilent = listed(options.silentAddresses, address);
    }
    const std::string text = front->takeOutput();
    if (!text.empty()) writeFrontText(text);
    // Without a call the meter's output has nowhere to go.
    if (!front->carrying()) outgoing.clear();
    if (!linkBytes.empty()) takeLinkBytes(linkBytes, now);
    sendDue(clock.nowMs());
  }
}

uint32_t Simulator::Impl::waitBeforeNextTurn(uint64_t nowMs) const {
  if (outgoing.empty()) return kIdleWaitMs;
  const Outgoing& head = outgoing.front();
  uint32_t wait = 0;
  if (head.kind == Outgoing::Kind::Pause) {
    const uint64_t elapsed = head.pauseStarted ? nowMs - head.pauseStartMs : 0;
    wait = elapsed < head.pauseMs ? static_cast<uint32_t>(head.pauseMs - elapsed) : 0;
  } else if (head.kind == Outgoing::Kind::Bytes && !pacerIdle &&
             pacer.allowance(nowMs, head.bytes.size() - head.sent) == 0) {
    wait = pacer.waitMs(nowMs);
  }
  return wait < kIdleWaitMs ? wait : kIdleWaitMs;
}

void Simulator::Impl::takeLinkBytes(const std::vector<uint8_t>& bytes, uint64_t nowMs) {
  reader.feed(bytes.data(), bytes.size(), nowMs);
  if (const uint32_t seen = reader.takeWakeups()) {
    {
      std::lock_guard<std::mutex> lock(stateMutex);
      wakeups += seen;
    }
    // A new connection: whatever the meter was sending belongs to the old one.
    lineCut = false;
    assembler.reset();
    outgoing.clear();
    lateReplies.clear();
  }
  for (const HostFrame& frame : reader.takeFrames()) {
    if (lineCut) continue;
    if (!frame.data) {
      controlReceived(frame);
      continue;
    }
    const AssemblyResult result = assembler.add(frame);
    if (result.requestResend && answering()) queueControl(link::CTRL_RESEND, result.resendFrom);
    if (result.complete) messageReceived(result.message);
  }
}

void Simulator::Impl::controlReceived(const HostFrame& frame) {
  const uint8_t character = frame.payload.empty() ? 0 : frame.payload[0];
  record({true, static_cast<char>(character), {}, frame.position});
  if (character == link::CTRL_ABORT) {
    outgoing.clear();
  } else if (character == link::CTRL_RESEND && answering()) {
    ReplyFrame resent = frameAt(lastReply, frame.position, longFrameSize());
    if (!resent.bytes.empty()) queueLinkBytes(std::move(resent.bytes));
  }
}

bool Simulator::Impl::answering() {
  std::lock_guard<std::mutex> lock(stateMutex);
  if (faults.vanish) vanished = true;
  return !faults.silent && !vanished && !activeSilent;
}

void Simulator::Impl::messageReceived(const std::vector<uint8_t>& message) {
  record({false, 0, message, 0});
  if (!answering()) return;
  // A late answer goes out once the host has sent something else.
  for (const Reply& reply : lateReplies) queueReply(reply);
  lateReplies.clear();
  bool nak = false;
  char unsupported = 0;
  bool late = false;
  ForcedStatus forced;
  {
    std::lock_guard<std::mutex> lock(stateMutex);
    if (faults.lateAnswer > 0) late = --faults.lateAnswer == 0;
    if (faults.nakMessages > 0) {
      --faults.nakMessages;
      nak = true;
    } else if (faults.unsupportedControl != 0) {
      unsupported = faults.unsupportedControl;
      faults.unsupportedControl = 0;
    }
    forced = {faults.forceStatus, faults.forceStatusCommand, faults.forceStatusClass};
  }
  if (nak) {
    queueControl(link::CTRL_NAK, 0);
    return;
  }
  if (options.ackMessages) queueControl(link::CTRL_ACK, 0);
  if (unsupported != 0) {
    queueControl(static_cast<uint8_t>(unsupported), 0);
    return;
  }
  const Answer answer = active->handle(message, forced);
  if (late) {
    lateReplies = answer.replies;
    return;
  }
  for (size_t i = 0; i < answer.replies.size(); ++i) {
    if (i > 0 && options.resumeDelayMs > 0) {
      Outgoing pause;
      pause.kind = Outgoing::Kind::Pause;
      pause.pauseMs = options.resumeDelayMs;
      outgoing.push_back(std::move(pause));
    }
    queueReply(answer.replies[i]);
  }
}

void Simulator::Impl::queueReply(const Reply& reply) {
  lastReply = reply.bytes;
  uint32_t dropFrame = 0;
  uint32_t cutAfter = 0;
  {
    std::lock_guard<std::mutex> lock(stateMutex);
    dropFrame = faults.dropFrame;
    faults.dropFrame = 0;
    cutAfter = faults.cutAfterBytes;
  }
  std::vector<ReplyFrame> frames = frameReply(reply.bytes, reply.startOffset, longFrameSize());
  for (size_t i = 0; i < frames.size(); ++i) {
    if (dropFrame == i + 1) continue;
    if (cutAfter != 0 && frames[i].end - reply.startOffset > cutAfter) {
      // The line goes down partway through this frame.
      frames[i].bytes.resize((frames[i].bytes.size() + 1) / 2);
      queueLinkBytes(std::move(frames[i].bytes));
      Outgoing cut;
      cut.kind = Outgoing::Kind::Cut;
      outgoing.push_back(std::move(cut));
      std::lock_guard<std::mutex> lock(stateMutex);
      faults.cutAfterBytes = 0;
      return;
    }
    queueLinkBytes(std::move(frames[i].bytes));
  }
}

void Simulator::Impl::queueLinkBytes(std::vector<uint8_t> bytes) {
  double rate = 0.0;
  {
    std::lock_guard<std::mutex> lock(stateMutex);
    rate = faults.corruptRate;
  }
  if (rate > 0.0) {
    for (uint8_t& byte : bytes) {
      const double draw = static_cast<double>(corruption() >> 11) * 0x1.0p-53;
      if (draw < rate) byte = static_cast<uint8_t>(byte ^ (1 + corruption() % 255));
    }
  }
  Outgoing item;
  item.bytes = std::move(bytes);
  outgoing.push_back(std::move(item));
}

void Simulator::Impl::queueControl(uint8_t character, uint32_t argument) {
  queueLinkBytes(controlFrame(character, argument));
}

void Simulator::Impl::sendDue(uint64_t nowMs) {
  while (!outgoing.empty()) {
    Outgoing& head = outgoing.front();
    if (head.kind == Outgoing::Kind::Pause) {
      if (!head.pauseStarted) {
        head.pauseStarted = true;
        head.pauseStartMs = nowMs;
      }
      if (nowMs - head.pauseStartMs < head.pauseMs) return;
      outgoing.pop_front();
      pacerIdle = true;
      continue;
    }
    if (head.kind == Outgoing::Kind::Cut) {
      outgoing.clear();
      cutLine();
      break;
    }
    if (pacerIdle) {
      pacer.restart(nowMs);
      pacerIdle = false;
    }
    const size_t allowed = pacer.allowance(nowMs, head.bytes.size() - head.sent);
    if (allowed == 0) return;
    bool down = false;
    const size_t written = line.write(head.bytes.data() + head.sent, allowed, &down);
    bytesSent += written;
    pacer.sent(written);
    head.sent += written;
    if (down) {
      // Nobody holds the line: what was to be sent is lost.
      outgoing.clear();
      break;
    }
    if (head.sent < head.bytes.size()) return;
    outgoing.pop_front();
  }
  pacerIdle = true;
}

void Simulator::Impl::cutLine() {
  lineCut = true;
  front->dropCall();
  assembler.reset();
  reader.reset();
}

void Simulator::Impl::writeFrontText(const std::string& text) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  size_t sent = 0;
  const uint64_t start = clock.nowMs();
  while (sent < text.size() && clock.nowMs() - start < kFrontWriteLimitMs) {
    bool down = false;
    const size_t written = line.write(bytes + sent, text.size() - sent, &down);
    sent += written;
    bytesSent += written;
    if (down) break;
  }
}

void Simulator::Impl::record(ReceivedMessage message) {
  std::lock_guard<std::mutex> lock(stateMutex);
  received.push_back(std::move(message));
}

Simulator::Simulator(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Simulator::~Simulator() { stop(); }

bool Simulator::start() {
  Impl& impl = *impl_;
  if (impl.serving) return true;
  if (!impl.profileError.empty()) {
    impl.error = impl.profileError;
    return false;
  }
  const bool opened = impl.options.devicePath.empty()
                          ? impl.line.openPseudoTerminal(&impl.error)
                          : impl.line.openDevice(impl.options.devicePath, impl.options.baud,
                                                 &impl.error);
  if (!opened) return false;
  impl.front = makeFront(impl.options);
  impl.stopRequested.store(false);
  if (!impl.thread.start([&impl] { impl.serve(); })) {
    impl.error = "cannot start the serving thread";
    impl.line.close();
    return false;
  }
  impl.serving = true;
  return true;
}

void Simulator::stop() {
  Impl& impl = *impl_;
  if (!impl.serving) return;
  impl.stopRequested.store(true);
  impl.line.interrupt();
  // The loop looks at the stop request at least every kIdleWaitMs; a read
  // or write blocked on the line is ended by the interrupt.
  while (!impl.thread.joinFor(kStopJoinMs)) impl.line.interrupt();
  impl.line.close();
  impl.serving = false;
}

const std::string& Simulator::devicePath() const { return impl_->line.devicePath(); }

const std::string& Simulator::error() const { return impl_->error; }

void Simulator::setFaults(const Faults& faults) {
  std::lock_guard<std::mutex> lock(impl_->stateMutex);
  impl_->faults = faults;
}

Faults Simulator::faults() const {
  std::lock_guard<std::mutex> lock(impl_->stateMutex);
  return impl_->faults;
}

std::vector<ReceivedMessage> Simulator::received() const {
  std::lock_guard<std::mutex> lock(impl_->stateMutex);
  return impl_->received;
}

void Simulator::clearReceived() {
  std::lock_guard<std::mutex> lock(impl_->stateMutex);
  impl_->received.clear();
}

uint32_t Simulator::wakeups() const {
  std::lock_guard<std::mutex> lock(impl_->stateMutex);
  return impl_->wakeups;
}

uint32_t Simulator::connections() const {
  std::lock_guard<std::mutex> lock(impl_->stateMutex);
  return impl_->connections;
}

uint32_t Simulator::callsPlaced() const {
  std::lock_guard<std::mutex> lock(impl_->stateMutex);
  return impl_->callsPlaced;
}

uint32_t Simulator::callsCleared() const {
  std::lock_guard<std::mutex> lock(impl_->stateMutex);
  return impl_->callsCleared;
}

const MeterModel& Simulator::model() const { return *impl_->model; }

MeterModel& Simulator::model() { return *impl_->model; }

MeterModel* Simulator::fleetModel(const std::string& address) {
  if (impl_->options.fleetAddresses.empty()) return nullptr;
  return impl_->modelFor(address);
}

uint64_t Simulator::bytesSent() const { return impl_->bytesSent.load(); }

}  // namespace vb::metersim
