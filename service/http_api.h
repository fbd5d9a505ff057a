// The service's HTTP side: the JSON API, the event stream, the metrics, the
// health check and the dashboard, on cpp-httplib. Bound to loopback unless
// told otherwise; a token (from a file) guards every change, and every read
// too when bound elsewhere. Answers bad input with a JSON error and a 4xx
// status, never serves a file of the host, and never lets a request reach
// the store except through the store's own parameterised queries.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "collector.h"
#include "event_hub.h"
#include "metrics.h"
#include "store.h"

namespace httplib {
class Server;
}

namespace vb::service {

// What the API asks of the collector that runs now (the service replaces
// it when the fleet file is reloaded).
class CollectorAccess {
 public:
  virtual ~CollectorAccess() = default;
  virtual std::vector<fleet::LineActivity> activity() = 0;
  // False, with the reason and an HTTP status, when the meter cannot be
  // collected now.
  virtual bool collectNow(const std::string& meter, std::string* reason, int* status) = 0;
  // The meter's schedule as the fleet file gives it; false for a meter the
  // fleet file does not name.
  struct Schedule {
    int64_t intervalS = 0;
    std::string window;  // empty: any time
    uint32_t maxCallsPerDay = 0;
    uint32_t callsToday = 0;
  };
  virtual bool schedule(const std::string& meter, Schedule* schedule) = 0;
};

struct ApiSettings {
  std::string host = "127.0.0.1";
  int port = 8080;
  std::optional<std::string> token;  // guards changes (and every read off loopback)
};

class HttpApi {
 public:
  HttpApi(ApiSettings settings, fleet::Store& reader, fleet::Store& writer,
          CollectorAccess& collector, Metrics& metrics, EventHub& events);
  ~HttpApi();
  HttpApi(const HttpApi&) = delete;
  HttpApi& operator=(const HttpApi&) = delete;

  // Binds and serves on a thread of its own; false with the reason when the
  // address cannot be bound. Port 0 takes a free port (see port()).
  bool start(std::string* error);
  int port() const { return port_; }
  void stop();

 private:
  void routes();

  ApiSettings settings_;
  fleet::Store& reader_;
  fleet::Store& writer_;
  CollectorAccess& collector_;
  Metrics& metrics_;
  EventHub& events_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;
};

// True for an address that only this host can reach.
bool isLoopback(const std::string& host);

// The two texts are equal, compared in a time that does not depend on
// where they first differ.
bool sameSecret(const std::string& given, const std::string& expected);

}  // namespace vb::service
