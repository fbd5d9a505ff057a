// Publishing to MQTT against a real mosquitto broker that each test starts on
// a free port of 127.0.0.1, with the real metersim: retained readings and
// alarms and their clearing, the Last Will of a killed service, a broker
// away for a collection, refused credentials, settings refused at start,
// and the outbox's cap.
#include <gtest/gtest.h>
#include <httplib.h>
#include <mosquitto.h>

#include <condition_variable>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>

#include "fleet_support.h"
#include "mqtt_publisher.h"

namespace vb::fleet {
namespace {

using Json = nlohmann::json;

struct SubscriberOptions {
  std::string clientId;   // a persistent session
  bool subscribe = true;  // false: the session already is
  std::string user, password;
};

// The test's own client: subscribed to every topic with QoS 1, keeping what
// arrives. Given an id, its session outlives its connection.
class Subscriber {
 public:
  struct Message {
    std::string topic, payload;
    bool retained = false;
  };
  explicit Subscriber(int port, SubscriberOptions options = {}) {
    mosquitto_lib_init();
    handle_ = mosquitto_new(options.clientId.empty() ? nullptr : options.clientId.c_str(),
                            options.clientId.empty(), this);
    mosquitto_connect_callback_set(handle_, [](mosquitto*, void* self, int rc) {
      static_cast<Subscriber*>(self)->update([rc](Subscriber& s) { s.connected_ = rc == 0; });
    });
    mosquitto_subscribe_callback_set(handle_, [](mosquitto*, void* self, int, int, const int*) {
      static_cast<Subscriber*>(self)->update([](Subscriber& s) { s.subscribed_ = true; });
    });
    mosquitto_message_callback_set(handle_, [](mosquitto*, void* self,
                                               const mosquitto_message* m) {
      const std::string payload(static_cast<const char*>(m->payload),
                                static_cast<size_t>(m->payloadlen));
      static_cast<Subscriber*>(self)->update([&](Subscriber& s) {
        s.messages_.push_back({m->topic, payload, m->retain});
      });
    });
    if (!options.user.empty()) {
      mosquitto_username_pw_set(handle_, options.user.c_str(), options.password.c_str());
    }
    ready_ = mosquitto_connect(handle_, "127.0.0.1", port, 30) == MOSQ_ERR_SUCCESS &&
             mosquitto_loop_start(handle_) == MOSQ_ERR_SUCCESS &&
             wait([](Subscriber& s) { return s.connected_; }) &&
             (!options.subscribe ||
              (mosquitto_subscribe(handle_, nullptr, "#", 1) == MOSQ_ERR_SUCCESS &&
               wait([](Subscriber& s) { return s.subscribed_; })));
  }
  ~Subscriber() {
    mosquitto_disconnect(handle_);
    mosquitto_loop_stop(handle_, false);
    mosquitto_destroy(handle_);
    mosquitto_lib_cleanup();
  }
  bool ready() const { return ready_; }
  bool waitFor(const std::function<bool(const std::vector<Message>&)>& done) {
    return wait([&done](Subscriber& s) { return done(s.messages_); });
  }
  // Every retained message has come: they come before a later publication.
  bool settled() {
    return mosquitto_publish(handle_, nullptr, "test/marker", 1, "!", 1, false) ==
               MOSQ_ERR_SUCCESS &&
           waitFor([](const std::vector<Message>& messages) {
             return !messages.empty() && messages.back().topic == "test/marker";
           });
  }
  std::vector<Message> on(const std::string& topic) {
    std::lock_guard<std::mutex> guard(lock_);
    return onTopic(messages_, topic);
  }
  static std::vector<Message> onTopic(const std::vector<Message>& messages,
                                      const std::string& topic) {
    std::vector<Message> found;
    for (const Message& message : messages) {
      if (message.topic == topic) found.push_back(message);
    }
    return found;
  }
  std::vector<Message> messages() {
    std::lock_guard<std::mutex> guard(lock_);
    return messages_;
  }

 private:
  void update(const std::function<void(Subscriber&)>& change) {
    std::lock_guard<std::mutex> guard(lock_);
    change(*this);
    changed_.notify_all();
  }
  bool wait(const std::function<bool(Subscriber&)>& reached) {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, std::chrono::milliseconds(kRunMs),
                             [&] { return reached(*this); });
  }

  mosquitto* handle_ = nullptr;
  bool ready_ = false;
  std::mutex lock_;
  std::condition_variable changed_;
  bool connected_ = false, subscribed_ = false;
  std::vector<Message> messages_;
};

struct BrokerOptions {
  bool persistent = false;  // keeps sessions across a restart
  std::string user, password;
};

// A broker of the test's own, its configuration in the test's folder; its
// process ends with the test, however the test ends.
class Broker {
 public:
  explicit Broker(BrokerOptions options = {}) : options_(std::move(options)) {
    if (!options_.user.empty()) {
      platform::ChildProcess passwd;
      EXPECT_TRUE(passwd.start(MOSQUITTO_PASSWD, {"-c", "-b", tempPath("passwords"),
                                                  options_.user, options_.password}) &&
                  passwd.waitFor(kStartMs) && passwd.exitStatus() == 0);
    }
    // A port no other test's broker took: the next one when it is in use.
    const int first = 20000 + platform::currentProcessId() * 37 % 30000;
    for (port_ = first; port_ < first + 20 && !start(); ++port_) {
    }
    EXPECT_LT(port_, first + 20) << "no broker started: " << process_->standardError();
  }
  bool start() {
    std::ofstream config(tempPath("broker.conf"));
    // Information says when it runs; nothing per message, which would fill
    // the pipe nobody reads.
    config << "listener " << port_ << " 127.0.0.1\nlog_dest stderr\nlog_type error\n"
           << "log_type warning\nlog_type notice\nlog_type information\n"
           << "max_queued_messages 0\n";
    if (options_.user.empty()) {
      config << "allow_anonymous true\n";
    } else {
      config << "allow_anonymous false\npassword_file " << tempPath("passwords") << "\n";
    }
    if (options_.persistent) {
      config << "persistence true\npersistence_location " << ::testing::TempDir() << "/\n"
             << "persistence_file " << ::testing::UnitTest::GetInstance()->current_test_info()->name()
             << ".db\n";
    }
    config.close();
    process_ = std::make_unique<platform::ChildProcess>();
    platform::ProcessOptions options;
    options.captureStandardError = true;
    if (!process_->start(MOSQUITTO_BROKER, {"-c", tempPath("broker.conf")}, options)) return false;
    std::string line;
    while (process_->readErrorLine(&line, kStartMs)) {
      if (line.find(" running") == std::string::npos) continue;
      // A client served: past its start, where it would miss a SIGTERM.
      SubscriberOptions probe;
      probe.subscribe = false;
      probe.user = options_.user;
      probe.password = options_.password;
      return Subscriber(port_, probe).ready();
    }
    return false;
  }
  void stop() {
    process_->terminate();
    EXPECT_TRUE(process_->waitFor(kStartMs));
  }
  int port() const { return port_; }
  std::string url() const { return "mqtt://127.0.0.1:" + std::to_string(port_); }

 private:
  BrokerOptions options_;
  int port_ = 0;
  std::unique_ptr<platform::ChildProcess> process_;
};

bool hasPayload(const std::vector<Subscriber::Message>& messages, const std::string& payload) {
  return std::any_of(messages.begin(), messages.end(),
                     [&](const Subscriber::Message& m) { return m.payload == payload; });
}

std::string fleetOf(const metersim::Simulator& line, const std::string& loggers) {
  return lineTable("local", line.devicePath(), "direct") +
         meterTable("m", "local", "loggers = [" + loggers + "]\n");
}

std::string writeFleet(const std::string& text) {
  const std::string path = tempPath("fleet.toml");
  std::ofstream(path) << text;
  return path;
}

// Runs the program to its end; its JSON summary (null when there is none).
Json runProgram(const std::vector<std::string>& arguments, int* status) {
  Program program;
  EXPECT_TRUE(program.start(VANTBROOK_PROGRAM, arguments));
  *status = program.wait();
  EXPECT_NE(*status, -1) << program.process->standardError();
  return Json::parse(program.process->standardOutput(), nullptr, false);
}

MqttConfig configFor(const Broker& broker, const std::string& prefix) {
  MqttSettings settings;
  settings.url = broker.url();
  settings.prefix = prefix;
  settings.entries = true;
  std::string error;
  std::optional<MqttConfig> config = mqttConfig(settings, &error);
  EXPECT_TRUE(config) << error;
  return config.value_or(MqttConfig());
}

int64_t outboxSize(Store& store) { return store.scalar("SELECT count(*) FROM outbox"); }

// A store whose outbox holds a collection of logger 1's `pairs` pairs, each
// entries message among them; empty when the collection failed.
std::string collectedWithOutbox(uint32_t pairs) {
  metersim::Options options;
  options.pairsPerLogger = pairs;
  auto line = startSimulator(options, test::MeterClock::Live);
  const std::string dbPath = freshStorePath();
  CollectSettings settings;
  settings.outbox = true;
  settings.outboxEntries = true;
  if (collect(fleetOf(*line, "1"), dbPath, settings).metersOk != 1u) return "";
  return dbPath;
}

TEST(FleetMqtt, ReadingsEntriesAndAlarmsArePublishedRetainedAsTheySayAndAClearedAlarmIsEmptied) {
  Broker broker;
  metersim::Options options;
  options.pairsPerLogger = 600;
  options.totalsRecords = 3;
  auto line = startSimulator(options);
  line->model().setStatusFlags(3, 0x1000);  // tamper switch
  const std::string fleet = writeFleet(fleetOf(*line, "1, 3"));
  const std::string dbPath = freshStorePath();
  const std::vector<std::string> collect = {"collect", fleet, "--db", dbPath, "--mqtt",
                                            broker.url(), "--mqtt-prefix", "t1", "--mqtt-entries",
                                            "--json", "--progress", "off"};
  const std::string statusTopic = "t1/" + platform::hostName() + "/status";
  const std::string alarmTopic = "t1/meter/m/alarm/tamper_switch/3";
  Subscriber live(broker.port());
  ASSERT_TRUE(live.ready());

  int status = 0;
  Json summary = runProgram(collect, &status);
  ASSERT_EQ(status, 0) << summary.dump();
  EXPECT_EQ(summary["mqtt"]["connections"], 1);
  EXPECT_EQ(summary["mqtt"]["waiting"], 0);
  // The run said online, its entries in record order, offline at its end.
  ASSERT_TRUE(live.waitFor([&](const std::vector<Subscriber::Message>& messages) {
    return hasPayload(messages, "offline");
  }));
  EXPECT_EQ(live.on(statusTopic).front().payload, "online");
  std::vector<int64_t> firstRsns;
  for (const Subscriber::Message& message : live.on("t1/meter/m/entries/1")) {
    EXPECT_FALSE(message.retained);
    firstRsns.push_back(Json::parse(message.payload)["entries"][0]["rsn"].get<int64_t>());
  }
  EXPECT_EQ(firstRsns, (std::vector<int64_t>{1001, 1501}));
  EXPECT_EQ(summary["mqtt"]["published"], live.messages().size() - 2);  // not the status

  // What a subscriber that comes later sees: the retained ones.
  {
    Subscriber later(broker.port());
    ASSERT_TRUE(later.settled());
    const std::vector<Subscriber::Message> reading = later.on("t1/meter/m/reading");
    ASSERT_EQ(reading.size(), 1u);
    EXPECT_TRUE(reading[0].retained);
    EXPECT_EQ(Json::parse(reading[0].payload)["entries_new"], 603);
    const std::vector<Subscriber::Message> alarm = later.on(alarmTopic);
    ASSERT_EQ(alarm.size(), 1u);
    EXPECT_EQ(Json::parse(alarm[0].payload)["severity"], "critical");
    EXPECT_TRUE(later.on("t1/meter/m/entries/1").empty());
    EXPECT_EQ(later.on(statusTopic).at(0).payload, "offline");
  }

  line->model().setStatusFlags(3, 0);
  summary = runProgram(collect, &status);
  ASSERT_EQ(status, 0) << summary.dump();
  ASSERT_TRUE(live.waitFor([&](const std::vector<Subscriber::Message>& messages) {
    return Subscriber::onTopic(messages, alarmTopic).size() == 2;
  }));
  EXPECT_EQ(live.on(alarmTopic)[1].payload, "");
  Subscriber after(broker.port());
  ASSERT_TRUE(after.settled());
  EXPECT_TRUE(after.on(alarmTopic).empty());
  EXPECT_EQ(after.on("t1/meter/m/reading").size(), 1u);
}

TEST(FleetMqtt, TheServiceSaysOnlineReportsItAndItsLastWillSaysOfflineWhenItIsKilled) {
  Broker broker;
  auto line = startSimulator({});
  const std::string statusTopic = "t2/" + platform::hostName() + "/status";
  Subscriber watcher(broker.port());
  ASSERT_TRUE(watcher.ready());
  Program serve;
  ASSERT_TRUE(serve.start(VANTBROOK_PROGRAM,
                          {"serve", writeFleet(fleetOf(*line, "3")), "--db", freshStorePath(),
                           "--http", "127.0.0.1:0", "--mqtt", broker.url(), "--mqtt-prefix",
                           "t2"}));
  std::string serving;
  ASSERT_TRUE(serve.process->readErrorLine(&serving, kStartMs));
  const size_t port = serving.rfind(':');
  ASSERT_NE(port, std::string::npos) << serving;
  ASSERT_TRUE(watcher.waitFor([&](const std::vector<Subscriber::Message>& messages) {
    return !Subscriber::onTopic(messages, "t2/meter/m/reading").empty();
  }));
  EXPECT_EQ(watcher.on(statusTopic).at(0).payload, "online");

  httplib::Client http("127.0.0.1", std::stoi(serving.substr(port + 1)));
  const httplib::Result metrics = http.Get("/metrics");
  ASSERT_TRUE(metrics);
  EXPECT_NE(metrics->body.find("\nvantbrook_mqtt_connected 1\n"), std::string::npos);
  EXPECT_NE(metrics->body.find("\nvantbrook_outbox_messages "), std::string::npos);
  EXPECT_NE(metrics->body.find("\nvantbrook_outbox_oldest_age_seconds "), std::string::npos);

  serve.process.reset();  // kill -9
  ASSERT_TRUE(watcher.waitFor([&](const std::vector<Subscriber::Message>& messages) {
    return Subscriber::onTopic(messages, statusTopic).size() == 2;
  }));
  EXPECT_EQ(watcher.on(statusTopic)[1].payload, "offline");
}

TEST(FleetMqtt, ABrokerAwayForACollectionGetsEveryMessageInOrderOnceItIsBack) {
  Broker broker({true, "", ""});
  SubscriberOptions session;
  session.clientId = "vantbrook-test-session";
  ASSERT_TRUE(Subscriber(broker.port(), session).ready());
  broker.stop();

  metersim::Options options;
  options.pairsPerLogger = 1200;
  options.totalsRecords = 3;
  auto line = startSimulator(options, test::MeterClock::Live);
  line->model().setStatusFlags(3, 0x1000);
  const std::string dbPath = freshStorePath();
  std::unique_ptr<Store> store = reopen(dbPath);
  ASSERT_TRUE(store);
  MqttPublisher publisher(configFor(broker, "t3"), *store);
  std::string error;
  ASSERT_TRUE(publisher.start(&error)) << error;
  CollectSettings settings;
  settings.outbox = true;
  settings.outboxEntries = true;
  const Summary summary = collect(fleetOf(*line, "1, 3"), dbPath, settings);
  ASSERT_EQ(summary.metersOk, 1u);
  ASSERT_TRUE(waitUntil([&] { return publisher.status().failures > 0; }));
  EXPECT_FALSE(publisher.status().connected);
  EXPECT_EQ(publisher.status().problem, "Connection refused");
  std::vector<OutboxRow> waiting;
  ASSERT_TRUE(store->outboxPeek(1000, &waiting, &error)) << error;
  ASSERT_EQ(waiting.size(), 6u);  // three and one entries, an alarm, a reading

  ASSERT_TRUE(broker.start());
  ASSERT_TRUE(waitUntil([&] { return outboxSize(*store) == 0; }));
  EXPECT_TRUE(publisher.status().connected);
  EXPECT_EQ(publisher.status().published, waiting.size());
  session.subscribe = false;
  Subscriber back(broker.port(), session);
  ASSERT_TRUE(back.waitFor([&](const std::vector<Subscriber::Message>& messages) {
    return std::count_if(messages.begin(), messages.end(), [](const Subscriber::Message& m) {
             return m.topic.rfind("t3/meter/", 0) == 0;
           }) == static_cast<long>(waiting.size());
  }));
  std::vector<std::pair<std::string, std::string>> sent, received;
  for (const OutboxRow& row : waiting) sent.emplace_back("t3/" + row.topic, row.payload);
  for (const Subscriber::Message& message : back.messages()) {
    if (message.topic.rfind("t3/meter/", 0) == 0) received.emplace_back(message.topic, message.payload);
  }
  EXPECT_EQ(received, sent);
}

TEST(FleetMqtt, RefusedCredentialsLeaveTheMessagesWaitingForARunWithTheRightOnes) {
  Broker broker({false, "vantbrook", "right"});
  auto line = startSimulator({});
  const std::string fleet = writeFleet(fleetOf(*line, "3"));
  const std::string dbPath = freshStorePath();
  std::ofstream(tempPath("wrong")) << "wrong\n";
  std::ofstream(tempPath("right")) << "right\n";
  auto collect = [&](const std::string& password) {
    return std::vector<std::string>{"collect", fleet, "--db", dbPath, "--mqtt", broker.url(),
                                    "--mqtt-user", "vantbrook", "--mqtt-password-file",
                                    tempPath(password), "--json", "--progress", "off"};
  };
  int status = 0;
  const Json refused = runProgram(collect("wrong"), &status);
  ASSERT_EQ(status, 0) << refused.dump();
  EXPECT_EQ(refused["meters_ok"], 1);
  EXPECT_EQ(refused["mqtt"]["connections"], 0);
  const std::string problem = refused["mqtt"]["problem"];
  EXPECT_EQ(problem.rfind("Connection Refused: ", 0), 0u) << problem;
  EXPECT_GE(refused["mqtt"]["waiting"], 1);

  const Json report = runProgram({"status", "--db", dbPath, "--json"}, &status);
  EXPECT_EQ(report["outbox"]["messages"], refused["mqtt"]["waiting"]) << report.dump();
  EXPECT_EQ(report["outbox"]["brokers"][0]["state"], "disconnected");
  EXPECT_EQ(report["outbox"]["brokers"][0]["detail"], problem);

  SubscriberOptions credentials;
  credentials.user = "vantbrook";
  credentials.password = "right";
  Subscriber watcher(broker.port(), credentials);
  ASSERT_TRUE(watcher.ready());
  const Json delivered = runProgram(collect("right"), &status);
  ASSERT_EQ(status, 0) << delivered.dump();
  EXPECT_EQ(delivered["mqtt"]["published"], refused["mqtt"]["waiting"].get<int>() + 1);
  EXPECT_EQ(delivered["mqtt"]["waiting"], 0);
  // Both runs' readings, the first run's first.
  const std::vector<Subscriber::Message> readings = watcher.on("vantbrook/meter/m/reading");
  ASSERT_EQ(readings.size(), 2u);
  EXPECT_EQ(Json::parse(readings[0].payload)["entries_new"], 100);
  EXPECT_EQ(Json::parse(readings[1].payload)["entries_new"], 0);
}

TEST(FleetMqtt, SettingsThatCanNeverWorkAreRefusedAtStartWithStatus2) {
  const std::string fleet = writeFleet(lineTable("local", "/dev/null", "direct") +
                                       meterTable("m", "local"));
  const std::string dbPath = freshStorePath();
  const std::vector<std::vector<std::string>> wrong = {
      {"--mqtt", "mqtt//127.0.0.1:1883"},
      {"--mqtt", "mqtt://127.0.0.1:99999"},
      {"--mqtt", "mqtt://127.0.0.1", "--mqtt-user", "u", "--mqtt-password-file", "/nonexistent"},
      {"--mqtt", "mqtts://127.0.0.1", "--mqtt-ca", "/nonexistent"},
      {"--mqtt-entries"},
  };
  for (const std::string command : {"collect", "serve"}) {
    for (const std::vector<std::string>& options : wrong) {
      std::vector<std::string> arguments = {command, fleet, "--db", dbPath};
      arguments.insert(arguments.end(), options.begin(), options.end());
      Program program;
      ASSERT_TRUE(program.start(VANTBROOK_PROGRAM, arguments));
      EXPECT_EQ(program.wait(), 2) << options[0];
      const std::string& said = program.process->standardError();
      EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
      EXPECT_NE(said.find(options.back() == "--mqtt-entries" ? "--mqtt" : options.back()),
                std::string::npos)
          << said;
    }
  }
  EXPECT_FALSE(std::ifstream(dbPath).good()) << "a store was made";
}

TEST(FleetMqtt, AFullOutboxShedsTheOldestEntriesWithAnAlarmThatClearsOnceAllIsDelivered) {
  Broker broker;
  broker.stop();
  const std::string dbPath = collectedWithOutbox(1200);
  ASSERT_FALSE(dbPath.empty());
  std::unique_ptr<Store> store = reopen(dbPath);
  ASSERT_TRUE(store);
  ASSERT_EQ(outboxSize(*store), 4);  // three entries messages and a reading

  MqttConfig config = configFor(broker, "t6");
  config.outboxCap = 2;
  std::vector<AlarmChange> raised;
  {
    MqttPublisher full(config, *store);
    full.onAlarm([&raised](const AlarmChange& alarm) { raised.push_back(alarm); });
    std::string error;
    ASSERT_TRUE(full.start(&error)) << error;
    full.finish(0);
    EXPECT_EQ(full.status().dropped, 2);
  }
  ASSERT_EQ(raised.size(), 1u);
  EXPECT_EQ(raised[0].kind, "entries_not_published");
  EXPECT_EQ(raised[0].value, 2);
  // The newest entries message, the reading and the alarm wait.
  EXPECT_EQ(store->scalar("SELECT count(*) FROM outbox WHERE kind = 'entries'"), 1);
  EXPECT_EQ(outboxSize(*store), 3);

  ASSERT_TRUE(broker.start());
  Subscriber watcher(broker.port());
  ASSERT_TRUE(watcher.ready());
  config.outboxCap = kOutboxCap;
  MqttPublisher publisher(config, *store);
  std::string error;
  ASSERT_TRUE(publisher.start(&error)) << error;
  const std::string openAlarms =
      "SELECT count(*) FROM alarms WHERE kind = 'entries_not_published' AND cleared_at IS NULL";
  ASSERT_TRUE(waitUntil([&] { return store->scalar(openAlarms) == 0 && outboxSize(*store) == 0; }));
  const std::string topic = "t6/meter/m/alarm/entries_not_published";
  ASSERT_TRUE(watcher.waitFor([&](const std::vector<Subscriber::Message>& messages) {
    return Subscriber::onTopic(messages, topic).size() == 2;
  }));
  EXPECT_EQ(Json::parse(watcher.on(topic)[0].payload)["value"], 2);
  EXPECT_EQ(watcher.on(topic)[1].payload, "");
}

TEST(FleetMqtt, OfTwoCollectorsOnOneStoreOnlyTheOutboxLeaseHolderPublishesIt) {
  Broker broker;
  Broker away;  // on a port of its own, the first being taken
  away.stop();
  const std::string dbPath = collectedWithOutbox(600);
  ASSERT_FALSE(dbPath.empty());
  std::unique_ptr<Store> first = reopen(dbPath), second = reopen(dbPath);
  ASSERT_TRUE(first && second);
  const int64_t written = outboxSize(*first);
  ASSERT_GT(written, 0);
  Subscriber watcher(broker.port());
  ASSERT_TRUE(watcher.ready());

  // The first holds the outbox though its broker is away; the second,
  // connected, leaves it alone.
  MqttPublisher holder(configFor(away, "t7"), *first);
  std::string error;
  ASSERT_TRUE(holder.start(&error)) << error;
  const std::string leased = std::string("SELECT count(*) FROM leases WHERE resource = '") +
                             kOutboxLease + "'";
  ASSERT_TRUE(waitUntil([&] { return second->scalar(leased) == 1; }));
  {
    MqttPublisher other(configFor(broker, "t7"), *second);
    ASSERT_TRUE(other.start(&error)) << error;
    ASSERT_TRUE(waitUntil([&] { return other.status().connected; }));
    other.finish(kRunMs);
    EXPECT_FALSE(other.status().outboxHeldBy.empty());
    EXPECT_EQ(other.status().published, 0u);
  }
  EXPECT_EQ(outboxSize(*second), written);

  // Given up at the holder's end, the lease goes to the next publisher,
  // which sends every message once.
  holder.finish(0);
  EXPECT_EQ(second->scalar(leased), 0);
  MqttPublisher next(configFor(broker, "t7"), *second);
  ASSERT_TRUE(next.start(&error)) << error;
  ASSERT_TRUE(waitUntil([&] { return outboxSize(*second) == 0; }));
  next.finish(kRunMs);
  ASSERT_TRUE(watcher.settled());
  const std::vector<Subscriber::Message> messages = watcher.messages();
  EXPECT_EQ(std::count_if(messages.begin(), messages.end(),
                          [](const Subscriber::Message& m) {
                            return m.topic.rfind("t7/meter/", 0) == 0;
                          }),
            written);
}

}  // namespace
}  // namespace vb::fleet
