#include "command_arguments.h"

#include <cstdio>

namespace vb::cli {

namespace {

// Labels stand in a column this wide after two spaces, as in the other
// commands' help; the descriptions wrap to the width of a terminal.
constexpr size_t kLabelWidth = 22;
constexpr size_t kLineWidth = 78;

// `text` broken into lines of at most `width` characters at spaces.
std::vector<std::string> wrapped(const std::string& text, size_t width) {
  std::vector<std::string> lines;
  std::string line;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(' ', start);
    if (end == std::string::npos) end = text.size();
    const std::string word = text.substr(start, end - start);
    if (!line.empty() && line.size() + 1 + word.size() > width) {
      lines.push_back(line);
      line.clear();
    }
    line += (line.empty() ? "" : " ") + word;
    start = end + 1;
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

std::string optionLine(const std::string& label, const std::string& description) {
  const std::string indent(2 + kLabelWidth, ' ');
  std::string text = "  " + label;
  // At least two spaces between a label and its text, else a line of its own.
  text += label.size() + 2 <= kLabelWidth ? std::string(kLabelWidth - label.size(), ' ')
                                          : "\n" + indent;
  bool first = true;
  for (const std::string& line : wrapped(description, kLineWidth - indent.size())) {
    text += (first ? "" : indent) + line + "\n";
    first = false;
  }
  return text;
}

void selectionOptions(CLI::App& app, std::vector<std::string>& meters,
                              std::vector<std::string>& lines, const char* verb) {
  // One value per --meter or --line, as often as either is given.
  app.add_option("--meter", meters, std::string("only this meter (repeatable); ") + verb)
      ->type_name("ID")
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  app.add_option("--line", lines, "only the meters of this line (repeatable)")
      ->type_name("NAME")
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}

// The MQTT options; each but --mqtt needs --mqtt.
void mqttOptions(CLI::App& app, MqttArguments& arguments) {
  CLI::Option* url =
      app.add_option("--mqtt", arguments.url,
                     "publish readings and alarms to this MQTT broker: mqtt://HOST[:PORT] or "
                     "mqtts://HOST[:PORT] (see below)")
          ->type_name("URL");
  app.add_option("--mqtt-ca", arguments.caFile,
                 "the CA certificates (PEM) an mqtts:// broker's certificate is checked against "
                 "(default: the system's)")
      ->type_name("FILE")
      ->needs(url);
  app.add_option("--mqtt-client-id", arguments.clientId,
                 "the client id (default vantbrook-COLLECTOR: --collector or the host name; "
                 "one per process)")
      ->type_name("ID")
      ->needs(url);
  app.add_option("--mqtt-user", arguments.user, "the user name at the broker")
      ->type_name("NAME")
      ->needs(url);
  app.add_option("--mqtt-password-file", arguments.passwordFile,
                 "a file whose first line is the password")
      ->type_name("FILE")
      ->needs(url);
  app.add_option("--mqtt-prefix", arguments.prefix, "the topics' prefix (default vantbrook)")
      ->type_name("PREFIX")
      ->needs(url);
  app.add_flag("--mqtt-entries", arguments.entries, "publish every new entry too")->needs(url);
}

}  // namespace

const CommandText kCollectText = {
    "collect", "vantbrook collect FLEET [OPTIONS]",
    "Collects the meters of a fleet file into a store: every line at once, the\n"
    "meters of a line one after another, each over one call. Alarms are raised\n"
    "and cleared as the meters are read, and listed in the summary.",
    R"(
The store is a SQLite file (created when missing) or a postgresql:// address.
A line that another run on the same store holds is waited for (until --until),
or with --no-wait left to that run: its meters are then neither tried nor
counted as failed. --on-alarm runs COMMAND with /bin/sh once for every alarm
raised or cleared, after the meters are collected, with VANTBROOK_ALARM_STATE
(raised or cleared), VANTBROOK_ALARM_METER, _LOGGER (0: the meter as a whole),
_KIND, _SEVERITY (warning or critical), _VALUE, _DETAIL, _AT (UTC, ISO 8601)
and _ID in its environment; a hook that fails is reported, the run goes on.

With --mqtt, each attempt's reading and every alarm raised or cleared (with
--mqtt-entries every new entry too) go to the store's outbox with what they
describe and are published from there, QoS 1, under PREFIX/meter/ID/...; a
broker that cannot be reached or refuses the connection never stops the run:
the summary says so, and the messages wait in the outbox. After the meters
the run publishes what it can for up to 60 s (README: Publishing to MQTT).

Examples:
  vantbrook collect fleet.toml --check
  vantbrook collect fleet.toml --db fleet.db --until 05:30 --retries 3
  vantbrook collect fleet.toml --db fleet.db --meter hill-reservoir --line gsm-a
  vantbrook collect fleet.toml --db fleet.db --on-alarm /usr/local/bin/alarm-mail
  vantbrook collect fleet.toml --db fleet.db --mqtt mqtt://broker:1883 --mqtt-entries

Exit statuses:
  0    every selected meter was collected (or left to the run that holds its
       line)
  2    bad command line, fleet file or MQTT settings (nothing is opened or
       collected)
  6    some meters were not collected (what the others delivered is stored)
  7    the store cannot be opened, read or written, or is damaged
  130  interrupted by Ctrl-C or SIGTERM (what was complete is kept)
)"};

const CommandText kExportText = {
    "export", "vantbrook export --db STORE --csv|--json [OPTIONS]",
    "Streams the pairs (or, with --logger 3, the totals) a store holds as CSV or\n"
    "JSON, in meter, logger, epoch and record order.",
    R"(
Times (--from, --to and the time column) are meter times, YYYY-MM-DDTHH:MM:SS.
A pair's time is empty (null) where its logger header did not fix it, and so
is a value the meter's conversion could not give. The last column (key)
`converted` says whether a pair is in engineering units (1) or as logged (0).

Examples:
  vantbrook export --db fleet.db --meter hill-reservoir --from 2026-12-01 --csv > hill.csv
  vantbrook export --db fleet.db --line gsm-a --logger 3 --json --output totals.json

Exit statuses:
  0    exported
  2    bad command line, a --meter or --line the store does not hold, or
       --from after --to
  7    the store cannot be read, or the output cannot be written (an --output
       file is then left as it was)
)"};

const CommandText kStatusText = {
    "status", "vantbrook status --db STORE [OPTIONS]",
    "What went wrong last night, at a glance: one summary line, then a row per\n"
    "meter with its line, last complete collection and its age, its state, the\n"
    "runs it failed in a row, its last attempt and its open alarms, and per\n"
    "logger the epoch, the first and last records stored, how many and how many\n"
    "are missing.",
    R"(
States: ok (collected within its interval and a quarter of it), late (later
than that), missing (not collected for twice its interval and a quarter),
failing (failed alarm_after_failed_runs runs in a row), never (never
collected). The interval is each meter's `interval` in the fleet file of its
last collection.

A monitoring system can run it as a check: its exit statuses are those of a
monitoring plugin, and its first line is the check's one-line summary.

Examples:
  vantbrook status --db fleet.db
  vantbrook status --db fleet.db --meter hill-reservoir --json

Exit statuses:
  0    every selected meter is ok with no open alarm
  1    a meter is late or never collected, or has an open warning
  2    a meter is missing or failing, or has an open critical alarm
  3    bad command line, or the store cannot be read
)"};

const CommandText kMonitorText = {
    "monitor", "vantbrook monitor --meter DEVICE [--host DEVICE] | --replay FILE [OPTIONS]",
    "Shows what crosses a meter's line: the wake-up text, the PAD's or modem's\n"
    "call set-up, every frame and its checks, control frames, gaps and resends,\n"
    "and each message with its command, status and a summary of the reply.\n"
    "One line per event, time-stamped in seconds from the start.",
    R"(
Modes:
  --meter DEVICE          open the meter's line, create a pseudo-terminal for
                          the host and print its path (point VANTBROOK_COMn or
                          any host program at it); relay both ways, unchanged
  --meter DEVICE --host DEVICE
                          relay between two existing lines
  --replay FILE           decode a capture written by --capture

Capture file: a text file, one chunk a line: milliseconds since the start,
the sender (host or meter) and the bytes in hex; '#' starts a comment.

Examples:
  vantbrook monitor --meter /dev/ttyUSB0 --baud 9600 --capture line.cap
  VANTBROOK_COM1=/dev/pts/9 vantbrook download --log 1
  vantbrook monitor --replay line.cap --json

Exit statuses:
  0    the watch was ended (Ctrl-C) or the capture was read
  2    usage error, or a capture file that cannot be read or written
  3    the meter's line cannot be opened or failed
)"};

const CommandText kFleetDemoText = {
    "demo fleet", "vantbrook demo fleet [--json]",
    "Starts three simulated lines inside this program (a meter on its own line,\n"
    "a packet-radio PAD with four meters behind it, a modem bank with four),\n"
    "collects them twice into a temporary store and prints both summaries. The\n"
    "simulated loggers log on at a quickened clock, so the second run fetches\n"
    "only what they wrote since the first.",
    R"(
Example:
  vantbrook demo fleet

Exit statuses:
  0    both runs collected every meter
  2    bad command line
  3    a simulated line cannot be started
  6    some meters were not collected
  7    the temporary store cannot be made, opened or written
  130  interrupted by Ctrl-C or SIGTERM
)"};

const CommandText kServeText = {
    "serve", "vantbrook serve FLEET --db STORE [OPTIONS]",
    "The collection service: every line works through the meters that are due\n"
    "(each meter's `interval` has passed, inside its `window`, within its\n"
    "`max_calls_per_day`), the most overdue first, with retries and back-off,\n"
    "storing data, outcomes and alarms exactly as collect does. An HTTP API, an\n"
    "event stream, metrics for Prometheus and a dashboard are served meanwhile.",
    R"(
Signals: SIGHUP reads the fleet file again (a bad file is refused and logged,
and the service goes on with the one it had); SIGTERM or Ctrl-C ends the
calls under way cleanly, and the service exits 0. Run by systemd, it tells it
when it is ready, pings its watchdog and writes its log lines with the
journal's priorities (packaging/systemd/vantbrook.service).

The token (one line in --token-file) guards every POST (Authorization: Bearer
TOKEN); bound to an address other than loopback, every request but /healthz
needs it, and without a token file the service refuses such an address.

With --mqtt, readings and alarms (with --mqtt-entries every new entry too) are
published through the store's outbox, QoS 1; a broker that is away is tried
again with back-off while collection goes on, and the messages wait for it
(README: Publishing to MQTT).

Examples:
  vantbrook serve fleet.toml --db fleet.db
  vantbrook serve fleet.toml --db postgresql://collector@db/water --http 0.0.0.0:8080 --token-file /etc/vantbrook/token
  vantbrook serve fleet.toml --db fleet.db --mqtt mqtts://broker:8883 --mqtt-ca ca.pem --mqtt-user vantbrook --mqtt-password-file /etc/vantbrook/mqtt-password
  curl -s localhost:8080/api/meters | jq .summary

Exit statuses:
  0    stopped as asked (SIGTERM, Ctrl-C)
  2    bad command line, fleet file, token file or MQTT settings, or an
       address that cannot be bound
  7    the store cannot be opened
)"};

const CommandText kServeDemoText = {
    "demo serve", "vantbrook demo serve [OPTIONS]",
    "Starts the simulated lines of `demo fleet` with a quickened clock and the\n"
    "collection service on a free local port with a temporary store, prints the\n"
    "dashboard's address and runs until Ctrl-C.",
    R"(
Example:
  vantbrook demo serve        # then open the address it prints

Exit statuses:
  0    ended with Ctrl-C
  2    bad command line
  3    a simulated line cannot be started
)"};

namespace {

void collectorOptions(CLI::App& app, std::string& collector, uint32_t& leaseSeconds) {
  app.add_option("--collector", collector,
                 "this collector's name: it opens the lines the fleet file gives it (default: "
                 "the host's name)")
      ->type_name("NAME");
  app.add_option("--lease-time", leaseSeconds,
                 "seconds a line or a meter of a pool stays claimed when its holder stops "
                 "renewing it, e.g. when it was killed (default 180)")
      ->check(CLI::Range(10u, 86400u))
      ->type_name("S");
}

}  // namespace

void defineServe(CLI::App& app, ServeArguments& arguments) {
  app.add_option("FLEET", arguments.fleetPath, "the fleet file (TOML)")
      ->type_name("FLEET")
      ->required();
  app.add_option("--db", arguments.dbPath,
                 "the store: a SQLite file (created when missing) or a postgresql:// address")
      ->type_name("STORE")
      ->required();
  app.add_option("--http", arguments.http,
                 "where the HTTP side listens (default 127.0.0.1:8080; port 0: a free one)")
      ->type_name("ADDRESS:PORT");
  app.add_option("--token-file", arguments.tokenFile,
                 "a file whose one line is the token that guards changes")
      ->type_name("FILE");
  app.add_option("--retries", arguments.retries,
                 "further attempts at a failed meter before it waits for its next turn "
                 "(default 2)")
      ->type_name("N");
  app.add_option("--retry-delay", arguments.retryDelayS,
                 "seconds before the first retry, doubling with each (default 10)")
      ->type_name("S");
  collectorOptions(app, arguments.collector, arguments.leaseSeconds);
  mqttOptions(app, arguments.mqtt);
}

const CommandText kStoreCopyText = {
    "store copy", "vantbrook store copy --from STORE --to STORE",
    "Copies every table of a store, ids kept, into an empty store on either\n"
    "engine: a SQLite file (a path) or a PostgreSQL database\n"
    "(postgresql://USER@HOST/DB; the password from ~/.pgpass or PGPASSWORD).",
    R"(
The source is read in one snapshot, so collectors may go on writing to it;
the target gets the schema when it has none and must hold no rows. The copy
is one transaction: it is committed only when every table holds as many rows
as the source.

Example:
  vantbrook store copy --from fleet.db --to postgresql://collector@db.example/water

Exit statuses:
  0    copied and counted
  2    bad command line
  7    a store cannot be read or written, the target is not empty, or a
       table's count differs (it is named; nothing is then left in the target
       but its schema)
)"};

void defineStoreCopy(CLI::App& app, StoreCopyArguments& arguments) {
  app.add_option("--from", arguments.from, "the store to copy")->type_name("STORE")->required();
  app.add_option("--to", arguments.to, "the empty store to copy into, created when missing")
      ->type_name("STORE")
      ->required();
}

void defineServeDemo(CLI::App& app, ServeDemoArguments& arguments) {
  app.add_option("--http", arguments.http,
                 "where the HTTP side listens (default 127.0.0.1 on a free port)")
      ->type_name("ADDRESS:PORT");
  app.add_option("--token-file", arguments.tokenFile,
                 "a file whose one line is the token that guards changes")
      ->type_name("FILE");
}

void defineCollect(CLI::App& app, CollectArguments& arguments) {
  app.add_option("FLEET", arguments.fleetPath, "the fleet file (TOML)")
      ->type_name("FLEET")
      ->required();
  app.add_flag("--check", arguments.check, "check the fleet file only");
  app.add_option("--db", arguments.dbPath,
                 "the store: a SQLite file (created when missing) or a postgresql:// address")
      ->type_name("STORE");
  selectionOptions(app, arguments.meters, arguments.lines, "for the morning re-run of what failed");
  app.add_flag("--no-wait", arguments.noWait,
               "leave a line that another run holds to that run instead of waiting for it");
  app.add_option("--retries", arguments.retries,
                 "further attempts at a failed meter within the run (default 2)")
      ->type_name("N");
  app.add_option("--retry-delay", arguments.retryDelayS,
                 "seconds before the first retry, doubling with each (default 10)")
      ->type_name("S");
  app.add_option("--until", arguments.until,
                 "start no attempt after this time: HH:MM or YYYY-MM-DDTHH:MM (local standard "
                 "time)")
      ->type_name("TIME");
  app.add_option("--since", arguments.since,
                 "a logger read for the first time keeps nothing older than this meter time")
      ->type_name("TIME");
  app.add_option("--on-alarm", arguments.onAlarm,
                 "run COMMAND for every alarm raised or cleared (see below)")
      ->type_name("COMMAND");
  collectorOptions(app, arguments.collector, arguments.leaseSeconds);
  mqttOptions(app, arguments.mqtt);
  app.add_flag("--json", arguments.json, "print the summary as JSON");
  app.add_option("--progress", arguments.progress,
                 "auto (live lines on a terminal, else a log line per meter), lines or off")
      ->check(CLI::IsMember({"auto", "lines", "off"}))
      ->type_name("auto|lines|off");
}

void defineExport(CLI::App& app, ExportArguments& arguments) {
  app.add_option("--db", arguments.dbPath, "the store: a SQLite file or a postgresql:// address")
      ->type_name("STORE")
      ->required();
  selectionOptions(app, arguments.meters, arguments.lines, "the store must hold it");
  app.add_option("--logger", arguments.logNo, "only this logger, 1 to 3 (3: the totals)")
      ->check(CLI::Range(1, 3))
      ->type_name("1|2|3");
  app.add_option("--from", arguments.from, "only entries from this meter time on")
      ->type_name("TIME");
  app.add_option("--to", arguments.to, "only entries up to this meter time")->type_name("TIME");
  app.add_option("--output", arguments.outputPath, "write here instead of standard output")
      ->type_name("FILE");
  auto* csv = app.add_flag("--csv", arguments.csv, "comma-separated values with a header line");
  auto* json = app.add_flag("--json", arguments.json, "a JSON array of one object per entry");
  csv->excludes(json);
}

void defineStatus(CLI::App& app, StatusArguments& arguments) {
  app.add_option("--db", arguments.dbPath, "the store: a SQLite file or a postgresql:// address")
      ->type_name("STORE")
      ->required();
  selectionOptions(app, arguments.meters, arguments.lines, "the store must hold it");
  app.add_flag("--json", arguments.json, "the summary and the rows as one JSON document");
}

void defineMonitor(CLI::App& app, MonitorArguments& arguments) {
  CLI::Option* meter =
      app.add_option("--meter", arguments.meter, "the meter's line (a serial device)")
          ->type_name("DEVICE");
  app.add_option("--host", arguments.host, "relay to this line instead of a new pseudo-terminal")
      ->type_name("DEVICE")
      ->needs(meter);
  app.add_option("--baud", arguments.baud, "line speed of --meter and --host (default 4800)")
      ->check(CLI::Range(50u, 4000000u))
      ->type_name("N");
  app.add_option("--replay", arguments.replay, "decode this capture instead of a line")
      ->type_name("FILE")
      ->excludes(meter);
  app.add_option("--capture", arguments.capture, "write what is relayed to this file")
      ->type_name("FILE")
      ->needs(meter);
  app.add_flag("--json", arguments.json, "one JSON object per event instead of text");
}

void defineFleetDemo(CLI::App& app, FleetDemoArguments& arguments) {
  app.add_flag("--json", arguments.json, "print the summaries as JSON");
}

std::string valueName(const CLI::Option& option) {
  if (option.get_expected_max() == 0) return "";
  // CLI11 adds its validators' descriptions after a colon; the value's name
  // says it all.
  const std::string type = option.get_type_name();
  return type.substr(0, type.find(':'));
}

std::string commandHelp(const CLI::App& app, const CommandText& text) {
  std::string help = std::string("Usage: ") + text.usage + "\n\n" + text.description + "\n\n";
  std::string positionals, options;
  for (const CLI::Option* option : app.get_options()) {
    if (option == app.get_help_ptr()) continue;
    std::string label = option->get_name(false, true);
    if (!option->nonpositional()) {
      positionals += optionLine(label, option->get_description());
      continue;
    }
    const std::string value = valueName(*option);
    if (!value.empty()) label += " " + value;
    options += optionLine(label, option->get_description());
  }
  options += optionLine("--help", "print this help");
  if (!positionals.empty()) help += "Arguments:\n" + positionals + "\n";
  return help + "Options:\n" + options + text.after;
}

std::optional<int> parseCommand(CLI::App& app, const CommandText& text,
                                const std::vector<std::string>& arguments, int usageStatus) {
  std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    std::fputs(commandHelp(app, text).c_str(), stdout);
    return 0;
  } catch (const CLI::ParseError& error) {
    std::fprintf(stderr, "vantbrook: %s: %s\n", text.name, error.what());
    return usageStatus;
  }
  return std::nullopt;
}

void forEachCommandTable(const std::function<void(const char*, const CLI::App&)>& visit) {
  {
    CollectArguments arguments;
    CLI::App app;
    defineCollect(app, arguments);
    visit(kCollectText.name, app);
  }
  {
    ExportArguments arguments;
    CLI::App app;
    defineExport(app, arguments);
    visit(kExportText.name, app);
  }
  {
    StatusArguments arguments;
    CLI::App app;
    defineStatus(app, arguments);
    visit(kStatusText.name, app);
  }
  {
    MonitorArguments arguments;
    CLI::App app;
    defineMonitor(app, arguments);
    visit(kMonitorText.name, app);
  }
  {
    FleetDemoArguments arguments;
    CLI::App app;
    defineFleetDemo(app, arguments);
    visit(kFleetDemoText.name, app);
  }
  {
    ServeArguments arguments;
    CLI::App app;
    defineServe(app, arguments);
    visit(kServeText.name, app);
  }
  {
    ServeDemoArguments arguments;
    CLI::App app;
    defineServeDemo(app, arguments);
    visit(kServeDemoText.name, app);
  }
  {
    StoreCopyArguments arguments;
    CLI::App app;
    defineStoreCopy(app, arguments);
    visit(kStoreCopyText.name, app);
  }
}

}  // namespace vb::cli
