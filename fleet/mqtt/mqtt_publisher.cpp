#include "mqtt_publisher.h"

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <random>
#include <system_error>
#include <utility>

#include "outbox_messages.h"
#include "platform/clock.h"
#include "platform/process.h"

namespace vb::fleet {

namespace {

constexpr uint32_t kLoopMs = 100;             // the network loop's wait
constexpr uint32_t kPollMs = 1000;            // the outbox looked at when nobody nudged
constexpr uint32_t kTrimCheckMs = 10000;      // the outbox's size checked against its cap
constexpr uint32_t kConnectTimeoutMs = 10000;  // for the broker's CONNACK
constexpr uint32_t kFirstRetryMs = 1000;
constexpr uint32_t kLastRetryMs = 60000;
constexpr uint32_t kGoodbyeMs = 2000;  // for `offline` to be acknowledged
constexpr size_t kWindow = 100;        // messages in flight at most
constexpr int kKeepAliveS = 30;
constexpr int kQos = 1;
constexpr char kOnline[] = "online";
constexpr char kOffline[] = "offline";

// libmosquitto's words for a failure; errno's for a system call's.
std::string failureText(int rc) {
  if (rc == MOSQ_ERR_ERRNO) return std::generic_category().message(errno);
  if (rc == MOSQ_ERR_CONN_LOST) return "the connection was lost";
  std::string text = mosquitto_strerror(rc);
  if (!text.empty() && text.back() == '.') text.pop_back();
  return text;
}

bool readFile(const std::string& path, std::string* text) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  text->assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  return !file.bad();
}

// "HOST[:PORT]", "[V6]:PORT": false for anything else.
bool parseHostPort(const std::string& text, std::string* host, int* port) {
  std::string digits;
  if (!text.empty() && text.front() == '[') {
    const size_t close = text.find(']');
    if (close == std::string::npos) return false;
    *host = text.substr(1, close - 1);
    const std::string rest = text.substr(close + 1);
    if (!rest.empty() && rest.front() != ':') return false;
    if (!rest.empty()) digits = rest.substr(1);
    if (rest == ":") return false;
  } else {
    const size_t colon = text.find(':');
    if (colon != std::string::npos && text.find(':', colon + 1) != std::string::npos) return false;
    *host = text.substr(0, colon);
    if (colon != std::string::npos) {
      digits = text.substr(colon + 1);
      if (digits.empty()) return false;
    }
  }
  if (host->empty()) return false;
  if (digits.empty()) return true;
  if (digits.size() > 5 || !std::all_of(digits.begin(), digits.end(),
                                        [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  *port = std::stoi(digits);
  return *port >= 1 && *port <= 65535;
}

}  // namespace

std::optional<MqttConfig> mqttConfig(const MqttSettings& settings, std::string* error) {
  MqttConfig config;
  config.url = settings.url;
  const std::string& url = settings.url;
  std::string rest;
  if (url.rfind("mqtt://", 0) == 0) {
    rest = url.substr(7);
    config.port = 1883;
  } else if (url.rfind("mqtts://", 0) == 0) {
    rest = url.substr(8);
    config.port = 8883;
    config.tls = true;
  }
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  if (rest.find('@') != std::string::npos) {
    *error = "--mqtt " + url + ": give the user name with --mqtt-user and the password in "
             "--mqtt-password-file, not in the address";
    return std::nullopt;
  }
  if (rest.find_first_of("/?#") != std::string::npos ||
      !parseHostPort(rest, &config.host, &config.port)) {
    *error = "--mqtt " + url + ": not a broker's address (mqtt://HOST[:PORT] or "
             "mqtts://HOST[:PORT])";
    return std::nullopt;
  }
  if (!settings.caFile.empty()) {
    std::string text;
    if (!config.tls) {
      *error = "--mqtt-ca is for an mqtts:// broker, and " + url + " is not one";
      return std::nullopt;
    }
    if (!readFile(settings.caFile, &text)) {
      *error = "--mqtt-ca " + settings.caFile + ": cannot read it";
      return std::nullopt;
    }
    if (text.find("-----BEGIN CERTIFICATE-----") == std::string::npos) {
      *error = "--mqtt-ca " + settings.caFile + ": holds no PEM certificate";
      return std::nullopt;
    }
    config.caFile = settings.caFile;
  }
  if (!settings.passwordFile.empty()) {
    std::string text;
    if (settings.user.empty()) {
      *error = "--mqtt-password-file needs --mqtt-user";
      return std::nullopt;
    }
    if (!readFile(settings.passwordFile, &text)) {
      *error = "--mqtt-password-file " + settings.passwordFile + ": cannot read it";
      return std::nullopt;
    }
    text = text.substr(0, text.find_first_of("\r\n"));
    if (text.empty()) {
      *error = "--mqtt-password-file " + settings.passwordFile + ": holds no password";
      return std::nullopt;
    }
    config.password = text;
  }
  const std::string& prefix = settings.prefix;
  if (prefix.empty() || prefix.find_first_of("+#") != std::string::npos ||
      prefix.front() == '/' || prefix.back() == '/' || prefix.find('\0') != std::string::npos) {
    *error = "--mqtt-prefix '" + prefix +
             "': not a topic prefix (no wildcards, no leading or trailing '/')";
    return std::nullopt;
  }
  config.prefix = prefix;
  config.user = settings.user;
  config.entries = settings.entries;
  config.collector = settings.collector.empty() ? platform::hostName() : settings.collector;
  if (config.collector.empty()) config.collector = "localhost";
  if (config.collector.find_first_of("+#/") != std::string::npos) {
    *error = "collector name '" + config.collector +
             "' cannot name an MQTT topic level (no '+', '#' or '/')";
    return std::nullopt;
  }
  config.clientId = settings.clientId.empty() ? "vantbrook-" + config.collector : settings.clientId;
  return config;
}

// libmosquitto's process-wide set-up, held while any publisher exists.
class MqttPublisher::Library {
 public:
  Library() {
    std::lock_guard<std::mutex> guard(lock());
    if (users()++ == 0) mosquitto_lib_init();
  }
  ~Library() {
    std::lock_guard<std::mutex> guard(lock());
    if (--users() == 0) mosquitto_lib_cleanup();
  }
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

 private:
  static std::mutex& lock() {
    static std::mutex mutex;
    return mutex;
  }
  static int& users() {
    static int count = 0;
    return count;
  }
};

// One connection: a libmosquitto handle from connecting to its end. Its
// callbacks run inside loop(), on the thread that calls it.
class MqttPublisher::Session {
 public:
  Session(const MqttConfig& config, const std::string& statusTopic) : config_(config) {
    handle_.reset(mosquitto_new(config.clientId.c_str(), true, this));
    if (!handle_) {
      setup_ = "cannot make a client: " + failureText(MOSQ_ERR_ERRNO);
      return;
    }
    mosquitto *const handle = handle_.get();
    mosquitto_connect_callback_set(handle, &Session::connected);
    mosquitto_publish_callback_set(handle, &Session::published);
    mosquitto_max_inflight_messages_set(handle, kWindow);
    int rc = mosquitto_will_set(handle, statusTopic.c_str(), sizeof kOffline - 1, kOffline, kQos,
                                true);
    if (rc == MOSQ_ERR_SUCCESS && !config.user.empty()) {
      rc = mosquitto_username_pw_set(handle, config.user.c_str(),
                                     config.password ? config.password->c_str() : nullptr);
    }
    if (rc == MOSQ_ERR_SUCCESS && config.tls) {
      rc = config.caFile.empty()
               ? mosquitto_int_option(handle, MOSQ_OPT_TLS_USE_OS_CERTS, 1)
               : mosquitto_tls_set(handle, config.caFile.c_str(), nullptr, nullptr, nullptr,
                                   nullptr);
    }
    if (rc != MOSQ_ERR_SUCCESS) setup_ = failureText(rc);
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  enum class Phase { Connecting, Connected, Refused };

  // Starts connecting without waiting for the broker; empty, or why not.
  std::string connect() {
    if (!setup_.empty()) return setup_;
    const int rc =
        mosquitto_connect_async(handle_.get(), config_.host.c_str(), config_.port, kKeepAliveS);
    if (rc == MOSQ_ERR_EAI) return "cannot find the host " + config_.host;
    return rc == MOSQ_ERR_SUCCESS ? std::string() : failureText(rc);
  }
  // Moves data for up to `ms`: empty, or why the connection is gone.
  std::string loop(uint32_t ms) {
    const int rc = mosquitto_loop(handle_.get(), static_cast<int>(ms), 1);
    return rc == MOSQ_ERR_SUCCESS ? std::string() : failureText(rc);
  }
  Phase phase() const { return phase_; }
  const std::string& refusal() const { return refusal_; }
  // True once, when the broker has accepted the connection.
  bool takeConnected() { return std::exchange(justConnected_, false); }
  // The message id, or the reason it cannot be sent.
  bool publish(const std::string& topic, const std::string& payload, bool retained, int* mid,
               std::string* why) {
    const int rc = mosquitto_publish(handle_.get(), mid, topic.c_str(),
                                     static_cast<int>(payload.size()), payload.data(), kQos,
                                     retained);
    if (rc == MOSQ_ERR_SUCCESS) return true;
    *why = failureText(rc);
    return false;
  }
  std::vector<int> takeAcknowledged() { return std::exchange(acknowledged_, {}); }
  void disconnect() { mosquitto_disconnect(handle_.get()); }

 private:
  static void connected(mosquitto*, void* self, int rc) {
    Session& session = *static_cast<Session*>(self);
    if (rc == 0) {
      session.phase_ = Phase::Connected;
      session.justConnected_ = true;
      return;
    }
    session.phase_ = Phase::Refused;
    session.refusal_ = mosquitto_connack_string(rc);
    if (!session.refusal_.empty() && session.refusal_.back() == '.') session.refusal_.pop_back();
  }
  static void published(mosquitto*, void* self, int mid) {
    static_cast<Session*>(self)->acknowledged_.push_back(mid);
  }

  struct Destroy {
    void operator()(mosquitto* handle) const { mosquitto_destroy(handle); }
  };
  const MqttConfig& config_;
  std::unique_ptr<mosquitto, Destroy> handle_;
  std::string setup_;
  Phase phase_ = Phase::Connecting;
  bool justConnected_ = false;
  std::string refusal_;
  std::vector<int> acknowledged_;
};

MqttPublisher::MqttPublisher(MqttConfig config, Store& store)
    : config_(std::move(config)), store_(store), library_(std::make_unique<Library>()) {
  status_.broker = config_.url;
  backoffMs_ = kFirstRetryMs;
  std::random_device random;
  const uint64_t bits = (uint64_t{random()} << 32 | random()) & 0x3fffffffffffffffULL;
  leaseHolderId_ = -1 - static_cast<int64_t>(bits);
}

MqttPublisher::~MqttPublisher() { finish(0); }

void MqttPublisher::onAlarm(std::function<void(const AlarmChange&)> listener) {
  alarmListener_ = std::move(listener);
}

bool MqttPublisher::start(std::string* error) {
  if (thread_.start([this] { run(); })) return true;
  *error = "cannot start the MQTT publisher's thread";
  return false;
}

void MqttPublisher::nudge() {
  nudged_ = true;
  wake_.set();
}

void MqttPublisher::finish(uint32_t withinMs) {
  if (!thread_.started()) return;
  finishBy_ = platform::nowMs() + withinMs;
  nudged_ = true;  // whether anything waits is looked at once
  finishing_ = true;
  wake_.set();
  while (!thread_.joinFor(1000)) {
  }
}

PublisherStatus MqttPublisher::status() const {
  std::lock_guard<std::mutex> guard(statusLock_);
  return status_;
}

std::string MqttPublisher::statusTopic() const {
  return config_.prefix + "/" + config_.collector + "/status";
}

void MqttPublisher::run() {
  bool drained = false;
  bool finishSeen = false;
  for (;;) {
    const uint64_t now = platform::nowMs();
    const bool finishing = finishing_;
    // What was written since the last look counts: the look after the
    // request decides.
    if (finishing && !std::exchange(finishSeen, true)) drained = false;
    if (finishing && (now >= finishBy_ || drained)) break;
    if (now >= trimAt_ && holdsOutbox()) {
      trim();
      trimAt_ = now + kTrimCheckMs;
    }
    if (!session_) {
      if (finishing) {
        // One more try at once; the run does not wait out a back-off.
        if (std::exchange(triedSinceFinish_, true)) break;
      } else if (now < retryAt_) {
        wake_.wait(static_cast<uint32_t>(std::min<uint64_t>(retryAt_ - now, kPollMs)));
        continue;
      }
      open();
      continue;
    }
    const std::string lost = session_->loop(kLoopMs);
    if (session_->phase() == Session::Phase::Refused) {
      lose(session_->refusal());
      continue;
    }
    const bool connected = session_->phase() == Session::Phase::Connected;
    if (!lost.empty()) {
      lose(connected ? "connection lost: " + lost : lost);
      continue;
    }
    if (!connected) {
      if (platform::nowMs() >= connectBy_) {
        lose("no answer from the broker within " + std::to_string(kConnectTimeoutMs / 1000) +
             " s");
      }
      continue;
    }
    if (session_->takeConnected()) {
      backoffMs_ = kFirstRetryMs;
      int mid = 0;
      std::string why;
      if (!session_->publish(statusTopic(), kOnline, true, &mid, &why)) {
        lose("cannot send: " + why);
        continue;
      }
      {
        std::lock_guard<std::mutex> guard(statusLock_);
        status_.connected = true;
        status_.problem.clear();
        ++status_.connections;
      }
      recordState("connected", "");
      nudged_ = true;
    }
    drained = deliver();
  }
  if (holdsOutbox()) trim();
  // A broker that is away stays recorded so: `status` reports it after the run.
  const bool connected = session_ && session_->phase() == Session::Phase::Connected;
  if (connected) {
    int mid = 0;
    std::string why;
    if (session_->publish(statusTopic(), kOffline, true, &mid, &why)) {
      const uint64_t giveUpAt = platform::nowMs() + kGoodbyeMs;
      bool acknowledged = false;
      while (!acknowledged && platform::nowMs() < giveUpAt && session_->loop(kLoopMs).empty()) {
        settle(session_->takeAcknowledged(), &acknowledged, mid);
      }
    }
    session_->disconnect();
  }
  session_.reset();
  releaseOutbox();
  {
    std::lock_guard<std::mutex> guard(statusLock_);
    status_.connected = false;
  }
  if (connected) recordState("stopped", "");
}

bool MqttPublisher::open() {
  auto session = std::make_unique<Session>(config_, statusTopic());
  const std::string failure = session->connect();
  if (!failure.empty()) {
    lose(failure);
    return false;
  }
  session_ = std::move(session);
  connectBy_ = platform::nowMs() + kConnectTimeoutMs;
  return true;
}

void MqttPublisher::lose(std::string problem) {
  session_.reset();
  // What was in flight and not acknowledged is sent again next time.
  window_.clear();
  {
    std::lock_guard<std::mutex> guard(statusLock_);
    status_.connected = false;
    status_.problem = std::move(problem);
    ++status_.failures;
  }
  recordState("disconnected", status().problem);
  retryAt_ = platform::nowMs() + backoffMs_;
  backoffMs_ = std::min(backoffMs_ * 2, kLastRetryMs);
}

void MqttPublisher::settle(const std::vector<int>& acknowledged, bool* goodbyeAcknowledged,
                           int goodbyeMid) {
  for (int mid : acknowledged) {
    if (goodbyeAcknowledged != nullptr && mid == goodbyeMid) *goodbyeAcknowledged = true;
    for (InFlight& message : window_) {
      if (message.mid == mid) message.acknowledged = true;
    }
  }
  // Deleted in outbox order: the acknowledged ones at the window's front.
  const auto firstOpen = std::find_if(window_.begin(), window_.end(),
                                      [](const InFlight& message) { return !message.acknowledged; });
  for (auto message = window_.begin(); message != firstOpen; ++message) {
    undeleted_.push_back(message->rowId);
  }
  window_.erase(window_.begin(), firstOpen);
  if (undeleted_.empty()) return;
  std::string error;
  if (!store_.outboxDelete(undeleted_, &error)) {
    noteStoreError(error);
    return;
  }
  {
    std::lock_guard<std::mutex> guard(statusLock_);
    status_.published += undeleted_.size();
  }
  undeleted_.clear();
  // Whether more wait is worth a look at once.
  nudged_ = true;
}

bool MqttPublisher::deliver() {
  settle(session_->takeAcknowledged(), nullptr, 0);
  // Rows the store failed to delete are not read (and sent) again.
  if (!undeleted_.empty() || !window_.empty()) return false;
  const uint64_t now = platform::nowMs();
  if (!nudged_.exchange(false) && now < pollAt_) return false;
  pollAt_ = now + kPollMs;
  // Another collector's publisher sends the outbox: nothing waits for this one.
  if (!holdsOutbox()) return true;
  std::vector<OutboxRow> rows;
  std::string error;
  if (!store_.outboxPeek(kWindow, &rows, &error)) {
    noteStoreError(error);
    return false;
  }
  if (rows.empty()) {
    if (std::exchange(checkClears_, false)) clearDropAlarms();
    return true;
  }
  checkClears_ = true;
  for (const OutboxRow& row : rows) {
    int mid = 0;
    std::string why;
    if (!session_->publish(config_.prefix + "/" + row.topic, row.payload, row.retained, &mid,
                           &why)) {
      lose("cannot send: " + why);
      return false;
    }
    window_.push_back({row.id, mid, false});
  }
  // A full window: more are behind it.
  if (rows.size() == kWindow) nudged_ = true;
  return false;
}

bool MqttPublisher::holdsOutbox() {
  const uint64_t now = platform::nowMs();
  if (now < leaseCheckAt_) return holdsOutbox_;
  // Renewed three times a lease, so that it never runs out while held.
  leaseCheckAt_ = now + std::max<uint64_t>(1000, static_cast<uint64_t>(store_.leaseSeconds()) * 1000 / 3);
  bool taken = false;
  LeaseHolder holder;
  std::string error;
  if (!store_.takeLease(kOutboxLease, leaseHolderId_, "", platform::wallClockSeconds(), &taken,
                        &holder, &error)) {
    noteStoreError(error);
    leaseCheckAt_ = now + kPollMs;
    return holdsOutbox_ = false;
  }
  {
    std::lock_guard<std::mutex> guard(statusLock_);
    status_.outboxHeldBy = taken ? "" : holder.collector;
  }
  // Taken anew: what the last holder left is looked at afresh.
  if (taken && !holdsOutbox_) checkClears_ = true;
  return holdsOutbox_ = taken;
}

void MqttPublisher::releaseOutbox() {
  if (!std::exchange(holdsOutbox_, false)) return;
  std::string error;
  if (!store_.releaseLease(kOutboxLease, leaseHolderId_, &error)) noteStoreError(error);
}

void MqttPublisher::trim() {
  Store::OutboxStats stats;
  std::string error;
  if (!store_.outboxStats(&stats, &error)) return noteStoreError(error);
  if (stats.messages <= config_.outboxCap) return;
  std::vector<OutboxDrop> dropped;
  if (!store_.outboxTrim(config_.outboxCap, &dropped, &error)) return noteStoreError(error);
  const int64_t now = platform::wallClockSeconds();
  for (const OutboxDrop& drop : dropped) {
    std::vector<AlarmRow> open;
    MeterSelection meter;
    meter.meters = {drop.meter};
    if (!store_.alarms(meter, true, &open, &error)) return noteStoreError(error);
    int64_t total = drop.messages;
    for (const AlarmRow& alarm : open) {
      if (alarm.kind == kAlarmEntriesNotPublished.name) total += alarm.value;
    }
    std::optional<AlarmChange> change;
    const std::string detail =
        std::to_string(total) + " entries messages dropped: the outbox was full (" +
        std::to_string(config_.outboxCap) +
        " messages) while the broker was away; the store keeps the entries";
    if (!store_.raiseAlarm(drop.meterRow, drop.meter, 0, kAlarmEntriesNotPublished, total, detail,
                           now, &change, &error, alarmMessage)) {
      return noteStoreError(error);
    }
    noteAlarm(change);
    std::lock_guard<std::mutex> guard(statusLock_);
    status_.dropped += drop.messages;
  }
  nudged_ = true;
}

void MqttPublisher::clearDropAlarms() {
  std::vector<AlarmRow> open;
  std::string error;
  if (!store_.alarms({}, true, &open, &error)) return noteStoreError(error);
  for (const AlarmRow& alarm : open) {
    if (alarm.kind != kAlarmEntriesNotPublished.name) continue;
    std::optional<AlarmChange> change;
    if (!store_.clearAlarm(alarm.meterRow, alarm.meter, alarm.logNo, kAlarmEntriesNotPublished,
                           platform::wallClockSeconds(), &change, &error, alarmMessage)) {
      return noteStoreError(error);
    }
    noteAlarm(change);
    nudged_ = true;
  }
}

void MqttPublisher::noteAlarm(const std::optional<AlarmChange>& change) {
  if (change && alarmListener_) alarmListener_(*change);
}

void MqttPublisher::recordState(const std::string& state, const std::string& detail) {
  const std::string key = state + "\n" + detail;
  if (key == recordedState_) return;
  std::string error;
  if (!store_.recordBrokerState(
          {config_.collector, config_.url, state, platform::wallClockSeconds(), detail}, &error)) {
    return noteStoreError(error);
  }
  recordedState_ = key;
}

void MqttPublisher::noteStoreError(const std::string& error) {
  std::lock_guard<std::mutex> guard(statusLock_);
  status_.storeError = error;
}

}  // namespace vb::fleet
