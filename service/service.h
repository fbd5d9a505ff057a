// vantbrook serve: the collector running on (each meter when it is due),
// the HTTP side, and the service manager's side (ready, reload on SIGHUP,
// stop on SIGTERM, the watchdog, log lines with priorities).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "mqtt_publisher.h"

namespace vb::service {

struct ServiceOptions {
  std::string fleetPath;
  std::string dbPath;
  std::string httpAddress = "127.0.0.1:8080";
  std::string tokenFile;  // empty: no token (changes refused)
  uint32_t retries = 2;
  uint32_t retryDelayS = 10;
  std::string collector;  // empty: the host's name
  int64_t leaseSeconds = 180;
  // Publish the outbox to this broker.
  std::optional<fleet::MqttSettings> mqtt;
  // Asked often: true once the service is to stop (SIGTERM, Ctrl-C).
  std::function<bool()> stopRequested;
  // Asked often: true once for each request to read the fleet file again.
  std::function<bool()> reloadRequested;
  // Called once the HTTP side listens, with its address ("http://HOST:PORT/").
  std::function<void(const std::string& url)> listening;
};

// Exit statuses besides 0 (stopped as asked).
inline constexpr int kServiceUsage = 2;        // bad options, fleet file, token file or MQTT settings
inline constexpr int kServiceStoreFailed = 7;  // the store cannot be opened

// Runs the service until it is asked to stop; the exit status.
int runService(const ServiceOptions& options);

// "HOST:PORT" (or ":PORT", or "[::1]:PORT") as a host and a port; false
// for anything else.
bool parseAddress(const std::string& text, std::string* host, int* port);

}  // namespace vb::service
