// The collection service as its users meet it: the real program serving a
// fleet of simulated meters, asked through a real HTTP client. A due meter
// is collected and shown; collect-now counts against the calls a day; the
// token guards changes (and everything off loopback); bad input gets a JSON
// error; a bad fleet file on SIGHUP leaves the service as it was; SIGTERM
// ends it with status 0.
#include <gtest/gtest.h>
#include <httplib.h>

#include <fstream>

#include "fleet_support.h"

namespace vb::fleet {
namespace {

constexpr char kToken[] = "s3cret-token-for-tests";

// A service started on a free port of loopback (or the address given),
// stopped with the test.
struct Service {
  Program program;
  std::string host;
  int port = 0;

  bool start(const std::string& fleetText, const std::vector<std::string>& extra = {}) {
    const std::string fleetPath = tempPath("fleet.toml");
    std::ofstream(fleetPath) << fleetText;
    std::ofstream(tempPath("token")) << kToken << "\n";
    std::vector<std::string> arguments = {"serve", fleetPath, "--db", freshStorePath(),
                                          "--token-file", tempPath("token"), "--retry-delay", "1"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    if (std::find(extra.begin(), extra.end(), "--http") == extra.end()) {
      arguments.insert(arguments.end(), {"--http", "127.0.0.1:0"});
    }
    if (!program.start(VANTBROOK_PROGRAM, arguments)) return false;
    // "serving N meters on M lines; http://HOST:PORT/"
    std::string line;
    while (program.process->readErrorLine(&line, kStartMs)) {
      const size_t at = line.find("http://");
      if (at == std::string::npos) continue;
      const std::string address = line.substr(at + 7, line.find('/', at + 7) - at - 7);
      host = address.substr(0, address.rfind(':'));
      port = std::stoi(address.substr(address.rfind(':') + 1));
      return true;
    }
    return false;
  }
  httplib::Client client() const {
    httplib::Client client(host, port);
    client.set_read_timeout(30, 0);
    return client;
  }
  std::string fleetPath() const { return tempPath("fleet.toml"); }
};

httplib::Headers bearer(const std::string& token) {
  return {{"Authorization", "Bearer " + token}};
}

// Polls the API until `reached` says so about a reply of `path`.
bool waitForReply(const Service& service, const std::string& path,
                  const std::function<bool(const std::string&)>& reached) {
  return waitUntil([&] {
    httplib::Result result = service.client().Get(path.c_str());
    return result && result->status == 200 && reached(result->body);
  });
}

std::string meterLine(const std::string& device) {
  return lineTable("local", device, "direct") +
         meterTable("m", "local", "loggers = [1]\ninterval = \"1h\"\nmax_calls_per_day = 2\n");
}

TEST(ServiceApi, ADueMeterIsCollectedAndShownAndCollectNowCountsAgainstItsBudget) {
  auto line = startSimulator({});
  Service service;
  ASSERT_TRUE(service.start(meterLine(line->devicePath())));
  ASSERT_TRUE(waitForReply(service, "/api/meters", [](const std::string& body) {
    return body.find("\"state\":\"ok\"") != std::string::npos;
  }));
  httplib::Client client = service.client();
  httplib::Result meter = client.Get("/api/meters/m");
  ASSERT_TRUE(meter);
  EXPECT_EQ(meter->status, 200);
  EXPECT_NE(meter->body.find("\"calls_today\":1"), std::string::npos) << meter->body;
  httplib::Result series =
      client.Get("/api/meters/m/series?logger=1&from=2026-06-01T00:00&to=2026-06-16T00:00&points=50");
  ASSERT_TRUE(series);
  EXPECT_EQ(series->status, 200) << series->body;
  EXPECT_NE(series->body.find("\"flow\":{\"min\":"), std::string::npos) << series->body;
  httplib::Result metrics = client.Get("/metrics");
  ASSERT_TRUE(metrics);
  EXPECT_NE(metrics->body.find("vantbrook_attempts_total{meter=\"m\",line=\"local\",code=\"0\"} 1"),
            std::string::npos)
      << metrics->body;

  // Not due for an hour, but asked for: the second and last call of the day.
  httplib::Result queued = client.Post("/api/meters/m/collect", bearer(kToken), "", "text/plain");
  ASSERT_TRUE(queued);
  EXPECT_EQ(queued->status, 202) << queued->body;
  ASSERT_TRUE(waitForReply(service, "/api/meters/m", [](const std::string& body) {
    return body.find("\"calls_today\":2") != std::string::npos;
  }));
  httplib::Result refused = client.Post("/api/meters/m/collect", bearer(kToken), "", "text/plain");
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 429) << refused->body;
  EXPECT_NE(refused->body.find("max_calls_per_day"), std::string::npos) << refused->body;
  EXPECT_TRUE(waitUntil([&] { return line->wakeups() == 2; })) << line->wakeups();

  service.program.process->terminate();
  EXPECT_EQ(service.program.wait(), 0) << service.program.process->standardError();
}

TEST(ServiceApi, BadInputGetsAJsonErrorAndTheTokenGuardsChanges) {
  auto line = startSimulator({});
  Service service;
  ASSERT_TRUE(service.start(meterLine(line->devicePath())));
  ASSERT_TRUE(waitForReply(service, "/api/meters", [](const std::string& body) {
    return body.find("\"meter\":\"m\"") != std::string::npos;
  }));
  struct Case {
    const char* what;
    const char* method;
    std::string path;
    httplib::Headers headers;
    std::string body;
    int status;
  };
  const Case cases[] = {
      {"a meter the store does not hold", "GET", "/api/meters/nobody", {}, "", 404},
      {"a malformed time", "GET", "/api/meters/m/series?from=yesterday", {}, "", 400},
      {"too many points", "GET", "/api/meters/m/series?points=1000000", {}, "", 400},
      {"no points", "GET", "/api/meters/m/series?points=0", {}, "", 400},
      {"a logger the meter has not", "GET", "/api/meters/m/series?logger=4", {}, "", 400},
      {"from after to", "GET", "/api/meters/m/days?from=2026-02-01&to=2026-01-01", {}, "", 400},
      {"a path out of the assets", "GET", "/..%2f..%2fetc%2fpasswd", {}, "", 404},
      {"a file of the host", "GET", "/etc/passwd", {}, "", 404},
      {"a change without the token", "POST", "/api/meters/m/collect", {}, "", 401},
      {"a change with another token", "POST", "/api/meters/m/collect", bearer("s3cret-token-for-test"),
       "", 401},
      {"an alarm that is not there", "POST", "/api/alarms/987654/ack", bearer(kToken), "", 404},
      {"a meter the fleet file does not name", "POST", "/api/meters/nobody/collect",
       bearer(kToken), "", 404},
      {"an oversized body", "POST", "/api/alarms/1/ack", bearer(kToken),
       std::string(200 * 1024, 'x'), 413},
  };
  httplib::Client client = service.client();
  for (const Case& c : cases) {
    httplib::Result result = std::string(c.method) == "GET"
                                 ? client.Get(c.path.c_str(), c.headers)
                                 : client.Post(c.path.c_str(), c.headers, c.body, "text/plain");
    ASSERT_TRUE(result) << c.what;
    EXPECT_EQ(result->status, c.status) << c.what << ": " << result->body;
    EXPECT_EQ(result->body.rfind("{\"error\":", 0), 0u) << c.what << ": " << result->body;
  }
  // The service is still there.
  httplib::Result health = client.Get("/healthz");
  ASSERT_TRUE(health);
  EXPECT_EQ(health->status, 200);
}

TEST(ServiceApi, OffLoopbackEverythingButTheHealthCheckNeedsTheToken) {
  auto line = startSimulator({});
  // Without a token file such an address is refused at the start.
  Program refused;
  std::ofstream(tempPath("fleet.toml")) << meterLine(line->devicePath());
  ASSERT_TRUE(refused.start(VANTBROOK_PROGRAM, {"serve", tempPath("fleet.toml"), "--db",
                                                freshStorePath(), "--http", "0.0.0.0:0"}));
  EXPECT_EQ(refused.wait(), 2);
  EXPECT_NE(refused.process->standardError().find("--token-file"), std::string::npos);

  Service service;
  ASSERT_TRUE(service.start(meterLine(line->devicePath()), {"--http", "0.0.0.0:0"}));
  httplib::Client client("127.0.0.1", service.port);
  const httplib::Result health = client.Get("/healthz");
  ASSERT_TRUE(health);
  EXPECT_EQ(health->status, 200);
  for (const char* path : {"/api/meters", "/", "/metrics", "/api/events"}) {
    const httplib::Result bare = client.Get(path);
    ASSERT_TRUE(bare) << path;
    EXPECT_EQ(bare->status, 401) << path;
    EXPECT_EQ(bare->get_header_value("WWW-Authenticate"), "Basic realm=\"vantbrook\"") << path;
  }
  httplib::Result withToken = client.Get("/api/meters", bearer(kToken));
  ASSERT_TRUE(withToken);
  EXPECT_EQ(withToken->status, 200);
  // What a browser sends once the user typed the token as the password.
  client.set_basic_auth("engineer", kToken);
  httplib::Result page = client.Get("/");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
}

TEST(ServiceApi, ABadFleetFileOnReloadLeavesTheServiceAsItWasAndAGoodOneIsTaken) {
  auto line = startSimulator({});
  Service service;
  ASSERT_TRUE(service.start(meterLine(line->devicePath())));
  ASSERT_TRUE(waitForReply(service, "/api/meters", [](const std::string& body) {
    return body.find("\"state\":\"ok\"") != std::string::npos;
  }));
  std::ofstream(service.fleetPath()) << "[[line]]\nname = \"broken\"\ncom = 9\n";
  ASSERT_TRUE(service.program.process->hangUp());
  std::string line2;
  bool refused = false;
  while (!refused && service.program.process->readErrorLine(&line2, kStartMs)) {
    refused = line2.find("the fleet file was refused") != std::string::npos;
  }
  EXPECT_TRUE(refused);
  httplib::Result lines = service.client().Get("/api/lines");
  ASSERT_TRUE(lines);
  EXPECT_NE(lines->body.find("\"line\":\"local\""), std::string::npos) << lines->body;

  std::ofstream(service.fleetPath())
      << meterLine(line->devicePath()) + meterTable("n", "local", "loggers = [1]\n");
  ASSERT_TRUE(service.program.process->hangUp());
  ASSERT_TRUE(waitForReply(service, "/api/meters", [](const std::string& body) {
    return body.find("\"meter\":\"n\",\"line\":\"local\",\"state\":\"ok\"") != std::string::npos;
  }));
  service.program.process->terminate();
  EXPECT_EQ(service.program.wait(), 0) << service.program.process->standardError();
}

}  // namespace
}  // namespace vb::fleet
