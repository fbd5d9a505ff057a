// Publishes the store's outbox to an MQTT broker, on libmosquitto, for both
// `collect` and `serve`. The collector writes each message to the outbox in
// the same transaction as what it describes; the publisher sends them in
// outbox order, QoS 1, and deletes a row only once the broker has
// acknowledged it (PUBACK). A row is sent until it is acknowledged and
// deleted exactly once; a connection lost before the PUBACK sends it again,
// so a subscriber may see a message twice (QoS 1 is "at least once").
//
// A broker that cannot be reached, or refuses the connection or the
// credentials, never holds up collection: the publisher tries again with
// back-off (1 s doubling to 60 s) and the messages wait in the outbox for
// the next connection, in this run or a later one. Past a cap the oldest
// entries messages are dropped, with an `entries_not_published` alarm per
// meter, never a reading or an alarm; the alarm clears once the outbox has
// been delivered in full.
//
// `PREFIX/COLLECTOR/status` says `online` (retained) while connected, and
// `offline` as the Last Will and on a clean end.
//
// Of the collectors on one store only one publishes the outbox at a time:
// the one that holds the store's lease on it (renewed while it runs, given
// up at its end, expired when its holder died). The others keep their
// status topic and leave the outbox to it, so no outbox row is sent by two.
//
// One thread of its own owns the libmosquitto handle and runs its network
// loop, so every libmosquitto callback runs there; other threads only read
// the status and nudge it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "alarms.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "store.h"

namespace vb::fleet {

// Messages the outbox keeps at most while the broker is away.
inline constexpr int64_t kOutboxCap = 100000;

// What the command line gives.
struct MqttSettings {
  std::string url;           // mqtt://HOST[:PORT] or mqtts://HOST[:PORT]
  std::string caFile;        // mqtts: the CA certificates the broker's is checked against
  std::string clientId;      // empty: vantbrook-HOST
  std::string user;
  std::string passwordFile;  // its first line is the password
  std::string prefix = "vantbrook";
  bool entries = false;      // every new entry too
  std::string collector;     // names the status topic; empty: this host
};

// The settings checked and read, ready to connect with.
struct MqttConfig {
  std::string url;  // as given, for reports
  std::string host;
  int port = 0;
  bool tls = false;
  std::string caFile;  // empty with tls: the system's trusted certificates
  std::string clientId;
  std::string user;
  std::optional<std::string> password;
  std::string prefix;
  std::string collector;  // names the status topic
  bool entries = false;
  int64_t outboxCap = kOutboxCap;
};

// The settings as they can be used; nothing, with one message, for any
// that could never work: a malformed address, a password or CA file that
// cannot be read, a prefix with wildcards.
std::optional<MqttConfig> mqttConfig(const MqttSettings& settings, std::string* error);

struct PublisherStatus {
  std::string broker;
  bool connected = false;
  // Why it is not connected (empty while connected or before the first
  // attempt ended).
  std::string problem;
  uint32_t connections = 0;  // made
  uint32_t failures = 0;     // attempts that failed and connections lost
  uint64_t published = 0;    // acknowledged by the broker and deleted
  int64_t dropped = 0;       // entries messages shed past the cap
  std::string storeError;    // the store's last failure, if any
  // The collector (host) whose publisher holds the outbox, when not this
  // one: it sends what this one's collection wrote.
  std::string outboxHeldBy;
};

// The store's lease that lets one publisher send the outbox.
inline constexpr char kOutboxLease[] = "mqtt outbox";

class MqttPublisher {
 public:
  MqttPublisher(MqttConfig config, Store& store);
  // Ends as finish(0) does.
  ~MqttPublisher();
  MqttPublisher(const MqttPublisher&) = delete;
  MqttPublisher& operator=(const MqttPublisher&) = delete;

  // Called on the publisher's thread for every alarm it raises or clears;
  // set before start().
  void onAlarm(std::function<void(const AlarmChange&)> listener);
  // Starts the thread, which connects at once; false with the reason when
  // it cannot be started.
  bool start(std::string* error);
  // The outbox has new messages: look now rather than at the next poll.
  void nudge();
  // Publishes what the outbox holds until it is empty or `withinMs` have
  // passed; a broker not connected now is tried once more at once, and
  // given up when that fails. Then `offline`, a clean disconnect, and the
  // thread ends. The rest waits in the outbox.
  void finish(uint32_t withinMs);

  PublisherStatus status() const;

 private:
  class Library;
  class Session;
  std::string statusTopic() const;
  void run();
  // Starts connecting a new session; false (with the failure noted) when
  // it cannot.
  bool open();
  // The session is over: noted, and the next try put off by the back-off.
  // By value: the problem may be the session's own words.
  void lose(std::string problem);
  // Marks the acknowledged messages and deletes the window's acknowledged
  // front from the outbox; *goodbyeAcknowledged tells whether `goodbyeMid`
  // was among them.
  void settle(const std::vector<int>& acknowledged, bool* goodbyeAcknowledged, int goodbyeMid);
  // Settles, then sends the next window once the last is done; true when
  // the outbox was found empty.
  bool deliver();
  // Whether this publisher holds the outbox's lease, taken or renewed now
  // and then.
  bool holdsOutbox();
  void releaseOutbox();
  // Sheds entries messages past the cap, with their alarms.
  void trim();
  // Clears the alarms of shed messages once the outbox is delivered in full.
  void clearDropAlarms();
  void noteAlarm(const std::optional<AlarmChange>& change);
  void recordState(const std::string& state, const std::string& detail);
  void noteStoreError(const std::string& error);

  MqttConfig config_;
  Store& store_;
  std::unique_ptr<Library> library_;
  std::function<void(const AlarmChange&)> alarmListener_;
  platform::Thread thread_;
  platform::Event wake_{platform::Event::Reset::Auto};
  std::atomic<bool> nudged_{true};
  std::atomic<bool> finishing_{false};
  std::atomic<uint64_t> finishBy_{0};

  mutable std::mutex statusLock_;
  PublisherStatus status_;

  // The publisher thread's own.
  std::unique_ptr<Session> session_;
  struct InFlight {
    int64_t rowId = 0;
    int mid = 0;
    bool acknowledged = false;
  };
  std::vector<InFlight> window_;
  std::vector<int64_t> undeleted_;  // acknowledged rows the store failed to delete
  uint32_t backoffMs_ = 0;
  uint64_t retryAt_ = 0;
  uint64_t connectBy_ = 0;
  uint64_t pollAt_ = 0;
  uint64_t trimAt_ = 0;
  bool triedSinceFinish_ = false;
  // The lease's holder id: negative, so that it is no run's, and random,
  // so that it is no other publisher's.
  int64_t leaseHolderId_ = 0;
  bool holdsOutbox_ = false;
  uint64_t leaseCheckAt_ = 0;
  bool checkClears_ = true;
  std::string recordedState_;
};

}  // namespace vb::fleet
