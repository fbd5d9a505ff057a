#include "http_api.h"

#include <httplib.h>

#include <algorithm>
#include <cmath>

#include "fleet_status.h"
#include "json_writer.h"
#include "meter_time.h"
#include "platform/clock.h"
#include "status_report.h"
#include "web_assets.h"

namespace vb::service {

namespace {

constexpr size_t kMaxBodyBytes = 64 * 1024;
constexpr int kDefaultPoints = 500;
constexpr int kMaxPoints = 10000;
constexpr uint32_t kDefaultSpanS = 7 * 86400;
constexpr int kRecentAttempts = 20;
// The event stream sends a comment this often, so that proxies and the
// client know the service is alive.
constexpr uint32_t kKeepAliveMs = 15000;
constexpr size_t kServerThreads = 16;
constexpr int kTotalsLogger = 3;

using cli::JsonWriter;

void reply(httplib::Response& response, int status, const std::string& json) {
  response.status = status;
  response.set_content(json, "application/json");
}

void replyError(httplib::Response& response, int status, const std::string& message) {
  JsonWriter json;
  json.beginObject().key("error").value(message).endObject();
  reply(response, status, json.text());
}

std::string base64Decoded(const std::string& text) {
  static const std::string kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    if (c == '=') break;
    const size_t value = kAlphabet.find(c);
    if (value == std::string::npos) return std::string();
    bits = (bits << 6) | static_cast<uint32_t>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return out;
}

// The token a request carries: "Bearer TOKEN", or HTTP basic
// authentication whose password is the token (what a browser sends after
// asking for it, also for the event stream).
std::string presentedToken(const httplib::Request& request) {
  const std::string header = request.get_header_value("Authorization");
  if (header.rfind("Bearer ", 0) == 0) return header.substr(7);
  if (header.rfind("Basic ", 0) == 0) {
    const std::string pair = base64Decoded(header.substr(6));
    const size_t colon = pair.find(':');
    return colon == std::string::npos ? std::string() : pair.substr(colon + 1);
  }
  return std::string();
}

// A meter time from the query, or `fallback` when it is not given; nothing
// for a text that is no meter time.
std::optional<uint32_t> timeParameter(const httplib::Request& request, const char* name,
                                      uint32_t fallback) {
  if (!request.has_param(name)) return fallback;
  return cli::parseMeterTime(request.get_param_value(name));
}

std::optional<int> intParameter(const httplib::Request& request, const char* name, int fallback,
                                int low, int high) {
  if (!request.has_param(name)) return fallback;
  const std::string text = request.get_param_value(name);
  if (text.empty() || text.size() > 9 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  const int value = std::stoi(text);
  if (value < low || value > high) return std::nullopt;
  return value;
}

void writeValues(JsonWriter& json, const char* name, const fleet::SeriesBucket::Values& values) {
  json.key(name).beginObject().key("min");
  values.min ? json.value(*values.min) : json.null();
  json.key("mean");
  values.mean ? json.value(*values.mean) : json.null();
  json.key("max");
  values.max ? json.value(*values.max) : json.null();
  json.endObject();
}

void writeAlarm(JsonWriter& json, const fleet::AlarmRow& alarm) {
  json.beginObject()
      .key("id").value(alarm.id)
      .key("meter").utf8(alarm.meter)
      .key("logger").value(alarm.logNo)
      .key("kind").value(alarm.kind)
      .key("severity").value(alarm.severity)
      .key("raised_at").value(cli::utcText(alarm.raisedAt));
  json.key("cleared_at");
  alarm.clearedAt ? json.value(cli::utcText(*alarm.clearedAt)) : json.null();
  json.key("acknowledged_at");
  alarm.acknowledgedAt ? json.value(cli::utcText(*alarm.acknowledgedAt)) : json.null();
  json.key("value").value(alarm.value).key("detail").utf8(alarm.detail).endObject();
}

}  // namespace

bool isLoopback(const std::string& host) {
  return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

bool sameSecret(const std::string& given, const std::string& expected) {
  unsigned char difference = given.size() == expected.size() ? 0 : 1;
  for (size_t i = 0; i < expected.size(); ++i) {
    const unsigned char a = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
    difference |= static_cast<unsigned char>(a ^ static_cast<unsigned char>(expected[i]));
  }
  return difference == 0;
}

HttpApi::HttpApi(ApiSettings settings, fleet::Store& reader, fleet::Store& writer,
                 CollectorAccess& collector, Metrics& metrics, EventHub& events)
    : settings_(std::move(settings)),
      reader_(reader),
      writer_(writer),
      collector_(collector),
      metrics_(metrics),
      events_(events),
      server_(std::make_unique<httplib::Server>()) {}

HttpApi::~HttpApi() { stop(); }

bool HttpApi::start(std::string* error) {
  routes();
  server_->new_task_queue = [] { return new httplib::ThreadPool(kServerThreads); };
  server_->set_payload_max_length(kMaxBodyBytes);
  if (settings_.port == 0) {
    port_ = server_->bind_to_any_port(settings_.host);
  } else if (server_->bind_to_port(settings_.host, settings_.port)) {
    port_ = settings_.port;
  }
  if (port_ <= 0) {
    *error = "cannot listen on " + settings_.host + ":" + std::to_string(settings_.port) +
             " (the address is not this host's, or the port is taken)";
    return false;
  }
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  return true;
}

void HttpApi::stop() {
  events_.close();
  if (server_) server_->stop();
  if (thread_.joinable()) thread_.join();
}

void HttpApi::routes() {
  httplib::Server& server = *server_;
  const bool loopback = isLoopback(settings_.host);

  // Changes need the token; off loopback, so does everything but the
  // health check.
  server.set_pre_routing_handler([this, loopback](const httplib::Request& request,
                                                  httplib::Response& response) {
    const bool change = request.method != "GET" && request.method != "HEAD";
    if (request.path == "/healthz" || (!change && loopback)) {
      return httplib::Server::HandlerResponse::Unhandled;
    }
    if (settings_.token && sameSecret(presentedToken(request), *settings_.token)) {
      return httplib::Server::HandlerResponse::Unhandled;
    }
    if (!loopback) response.set_header("WWW-Authenticate", "Basic realm=\"vantbrook\"");
    replyError(response, 401,
               settings_.token ? "this needs the service's token (Authorization: Bearer TOKEN)"
                               : "changes are refused: the service was started without "
                                 "--token-file");
    return httplib::Server::HandlerResponse::Handled;
  });
  server.set_error_handler([](const httplib::Request&, httplib::Response& response) {
    if (!response.body.empty()) return;
    const char* reason = response.status == 404   ? "no such page or resource"
                         : response.status == 413 ? "the request body is too large"
                         : response.status == 405 ? "method not allowed here"
                                                  : "bad request";
    replyError(response, response.status, reason);
  });

  server.Get("/healthz", [](const httplib::Request&, httplib::Response& response) {
    reply(response, 200, "{\"status\":\"ok\"}\n");
  });

  auto fleetStatus = [this](const fleet::MeterSelection& selection, fleet::FleetStatus* status,
                            std::string* error) {
    std::vector<fleet::MeterRecord> records;
    if (!reader_.meterRecords(selection, &records, error)) return false;
    const int64_t now = platform::wallClockSeconds();
    *status = fleet::fleetStatus(std::move(records), now);
    return !selection.all() || fleet::readOutboxStatus(reader_, now, status, error);
  };

  server.Get("/metrics", [this, fleetStatus](const httplib::Request&, httplib::Response& response) {
    fleet::FleetStatus status;
    std::string error;
    if (!fleetStatus({}, &status, &error)) return replyError(response, 503, error);
    response.set_content(metrics_.render(status, platform::wallClockSeconds()),
                         "text/plain; version=0.0.4");
  });

  server.Get("/api/meters", [fleetStatus](const httplib::Request&, httplib::Response& response) {
    fleet::FleetStatus status;
    std::string error;
    if (!fleetStatus({}, &status, &error)) return replyError(response, 503, error);
    JsonWriter json;
    cli::writeFleetStatusJson(json, status);
    reply(response, 200, json.text());
  });

  // A meter the store holds, or a 404.
  auto knownMeter = [this](const std::string& meter, httplib::Response& response) {
    std::vector<std::pair<std::string, std::string>> meters;
    std::string error;
    if (!reader_.meterIds(&meters, &error)) {
      replyError(response, 503, error);
      return false;
    }
    for (const auto& entry : meters) {
      if (entry.first == meter) return true;
    }
    replyError(response, 404, "no meter '" + meter + "' in the store");
    return false;
  };

  // The logger, the span and the buckets a plot asks for; false (with the
  // error sent) when any is malformed.
  struct Span {
    int logNo = 1;
    uint32_t from = 0, to = 0;
    int points = kDefaultPoints;
  };
  auto span = [](const httplib::Request& request, httplib::Response& response, Span* out) {
    const std::optional<int> logNo = intParameter(request, "logger", 1, 1, kTotalsLogger);
    const uint32_t now = fleet::hostMeterTimeNow();
    const std::optional<uint32_t> to = timeParameter(request, "to", now);
    const std::optional<uint32_t> from =
        to ? timeParameter(request, "from", *to > kDefaultSpanS ? *to - kDefaultSpanS : 0)
           : std::nullopt;
    const std::optional<int> points = intParameter(request, "points", kDefaultPoints, 1, kMaxPoints);
    if (!logNo) {
      replyError(response, 400, "logger must be 1, 2 or 3");
    } else if (!from || !to) {
      replyError(response, 400, "from and to must be meter times, YYYY-MM-DDTHH:MM[:SS]");
    } else if (*from > *to) {
      replyError(response, 400, "from is after to");
    } else if (!points) {
      replyError(response, 400, "points must be a whole number from 1 to " +
                                    std::to_string(kMaxPoints));
    } else {
      *out = Span{*logNo, *from, *to, *points};
      return true;
    }
    return false;
  };

  server.Get(R"(/api/meters/(.+)/series)", [this, knownMeter, span](
                                                   const httplib::Request& request,
                                                   httplib::Response& response) {
    const std::string meter = request.matches[1];
    Span range;
    if (!span(request, response, &range) || !knownMeter(meter, response)) return;
    const std::string units = request.has_param("units") ? request.get_param_value("units")
                                                          : "engineering";
    if (units != "engineering" && units != "raw") {
      return replyError(response, 400, "units must be engineering or raw");
    }
    const int64_t width =
        std::max<int64_t>(1, (int64_t{range.to} - range.from + range.points) / range.points);
    std::vector<fleet::SeriesBucket> buckets;
    std::string error;
    if (!reader_.series(meter, range.logNo, range.from, range.to, width, units == "engineering",
                        &buckets, &error)) {
      return replyError(response, 503, error);
    }
    const bool totals = range.logNo == kTotalsLogger;
    JsonWriter json;
    json.beginObject()
        .key("meter").utf8(meter)
        .key("logger").value(range.logNo)
        .key("units").value(totals ? "totals" : units)
        .key("from").value(cli::formatMeterTime(range.from))
        .key("to").value(cli::formatMeterTime(range.to))
        .key("bucket_s").value(width)
        .key("buckets").beginArray();
    for (const fleet::SeriesBucket& bucket : buckets) {
      const int64_t start = int64_t{range.from} + bucket.index * width;
      json.beginObject()
          .key("from").value(cli::formatMeterTime(static_cast<uint32_t>(start)))
          .key("to").value(cli::formatMeterTime(
              static_cast<uint32_t>(std::min<int64_t>(start + width - 1, range.to))))
          .key("count").value(bucket.count);
      writeValues(json, totals ? "total1" : "flow", bucket.first);
      writeValues(json, totals ? "total2" : "pressure", bucket.second);
      json.endObject();
    }
    json.endArray().endObject();
    reply(response, 200, json.text());
  });

  server.Get(R"(/api/meters/(.+)/days)", [this, knownMeter, span](
                                                 const httplib::Request& request,
                                                 httplib::Response& response) {
    const std::string meter = request.matches[1];
    Span range;
    if (!span(request, response, &range) || !knownMeter(meter, response)) return;
    std::vector<std::pair<int64_t, int64_t>> days;
    std::string error;
    if (!reader_.entriesPerDay(meter, range.logNo, range.from, range.to, &days, &error)) {
      return replyError(response, 503, error);
    }
    JsonWriter json;
    json.beginObject()
        .key("meter").utf8(meter)
        .key("logger").value(range.logNo)
        .key("from").value(cli::formatMeterTime(range.from))
        .key("to").value(cli::formatMeterTime(range.to))
        .key("days").beginArray();
    for (const auto& [day, entries] : days) {
      json.beginObject()
          .key("date").value(cli::formatMeterTime(static_cast<uint32_t>(day * 86400)).substr(0, 10))
          .key("entries").value(entries)
          .endObject();
    }
    json.endArray().endObject();
    reply(response, 200, json.text());
  });

  // After the routes below a meter (its id may hold any character, even a
  // slash).
  server.Get(R"(/api/meters/(.+))", [this, fleetStatus, knownMeter](
                                            const httplib::Request& request,
                                            httplib::Response& response) {
    const std::string meter = request.matches[1];
    if (!knownMeter(meter, response)) return;
    fleet::MeterSelection selection;
    selection.meters = {meter};
    fleet::FleetStatus status;
    std::vector<fleet::AttemptRow> attempts;
    std::string error;
    if (!fleetStatus(selection, &status, &error) ||
        !reader_.recentAttempts(meter, kRecentAttempts, &attempts, &error) ||
        status.meters.empty()) {
      return replyError(response, 503, error);
    }
    JsonWriter json;
    json.beginObject().key("status");
    cli::writeMeterStatusJson(json, status.meters.front());
    json.key("schedule");
    CollectorAccess::Schedule schedule;
    if (collector_.schedule(meter, &schedule)) {
      json.beginObject()
          .key("interval_s").value(schedule.intervalS)
          .key("window").value(schedule.window)
          .key("max_calls_per_day").value(schedule.maxCallsPerDay)
          .key("calls_today").value(schedule.callsToday)
          .endObject();
    } else {
      json.null();
    }
    json.key("attempts").beginArray();
    for (const fleet::AttemptRow& attempt : attempts) {
      json.beginObject()
          .key("started_at").value(cli::utcText(attempt.startedAt))
          .key("ended_at");
      attempt.endedAt ? json.value(cli::utcText(*attempt.endedAt)) : json.null();
      json.key("code");
      attempt.code ? json.value(*attempt.code) : json.null();
      json.key("line").utf8(attempt.line)
          .key("source").value(attempt.source)
          .key("message").value(attempt.message)
          .key("entries").value(attempt.entries)
          .key("bytes").value(attempt.bytes)
          .endObject();
    }
    json.endArray().endObject();
    reply(response, 200, json.text());
  });

  server.Post(R"(/api/meters/(.+)/collect)", [this](const httplib::Request& request,
                                                       httplib::Response& response) {
    const std::string meter = request.matches[1];
    std::string reason;
    int status = 0;
    if (!collector_.collectNow(meter, &reason, &status)) return replyError(response, status, reason);
    JsonWriter json;
    json.beginObject().key("meter").utf8(meter).key("queued").value(true).endObject();
    reply(response, 202, json.text());
  });

  server.Get("/api/alarms", [this](const httplib::Request& request, httplib::Response& response) {
    const std::string open = request.has_param("open") ? request.get_param_value("open") : "0";
    if (open != "0" && open != "1") return replyError(response, 400, "open must be 0 or 1");
    std::vector<fleet::AlarmRow> alarms;
    std::string error;
    if (!reader_.alarms({}, open == "1", &alarms, &error)) return replyError(response, 503, error);
    JsonWriter json;
    json.beginObject().key("alarms").beginArray();
    for (const fleet::AlarmRow& alarm : alarms) writeAlarm(json, alarm);
    json.endArray().endObject();
    reply(response, 200, json.text());
  });

  server.Post(R"(/api/alarms/([0-9]{1,18})/ack)", [this](const httplib::Request& request,
                                                         httplib::Response& response) {
    const int64_t id = std::stoll(request.matches[1]);
    bool found = false;
    std::string error;
    if (!writer_.acknowledgeAlarm(id, platform::wallClockSeconds(), &found, &error)) {
      return replyError(response, 503, error);
    }
    if (!found) return replyError(response, 404, "no alarm " + std::to_string(id));
    JsonWriter json;
    json.beginObject().key("id").value(id).key("acknowledged").value(true).endObject();
    reply(response, 200, json.text());
  });

  server.Get("/api/lines", [this](const httplib::Request&, httplib::Response& response) {
    JsonWriter json;
    json.beginObject().key("lines").beginArray();
    for (const fleet::LineActivity& line : collector_.activity()) {
      json.beginObject()
          .key("line").utf8(line.line)
          .key("meter").utf8(line.meter)
          .key("stage").value(line.stage)
          .key("percent").value(line.percent)
          .key("entries").value(static_cast<int64_t>(line.entries))
          .endObject();
    }
    json.endArray().endObject();
    reply(response, 200, json.text());
  });

  server.Get("/api/events", [this](const httplib::Request&, httplib::Response& response) {
    std::shared_ptr<EventHub::Subscription> subscription = events_.subscribe();
    response.set_header("Cache-Control", "no-cache");
    response.set_chunked_content_provider(
        "text/event-stream",
        [subscription](size_t, httplib::DataSink& sink) {
          Event event;
          std::string chunk = subscription->next(&event, kKeepAliveMs)
                                  ? "event: " + event.name + "\ndata: " + event.data + "\n\n"
                                  : ": alive\n\n";
          if (subscription->closed()) return false;
          return sink.is_writable() && sink.write(chunk.data(), chunk.size());
        },
        [this, subscription](bool) { events_.unsubscribe(subscription); });
  });

  // The dashboard: assets compiled into the program, by exact name only.
  auto asset = [](const std::string& path, httplib::Response& response) {
    const WebAsset* found = findWebAsset(path);
    if (found == nullptr) return replyError(response, 404, "no such page or resource");
    response.set_header("Cache-Control", "no-cache");
    response.set_content(reinterpret_cast<const char*>(found->data), found->size,
                         std::string(found->type) + "; charset=utf-8");
  };
  server.Get("/", [asset](const httplib::Request&, httplib::Response& response) {
    asset("index.html", response);
  });
  server.Get(R"(/([A-Za-z0-9_.\-]{1,64}))", [asset](const httplib::Request& request,
                                                    httplib::Response& response) {
    asset(request.matches[1], response);
  });
}

}  // namespace vb::service
