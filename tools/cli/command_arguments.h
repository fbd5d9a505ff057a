// The commands that parse their command lines with CLI11 directly (collect,
// export, status, monitor, serve, demo fleet, demo serve): their arguments
// as plain values,
// their option tables, and their help in the layout of the other commands
// (usage, what the command does, options, examples, exit statuses). The
// completion script is made from the same tables.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vb::cli {

// The MQTT options `collect` and `serve` share.
struct MqttArguments {
  std::string url;
  std::string caFile;
  std::string clientId;
  std::string user;
  std::string passwordFile;
  std::string prefix = "vantbrook";
  bool entries = false;
};

struct CollectArguments {
  std::string fleetPath;
  std::string dbPath;
  bool check = false;
  bool json = false;
  std::string progress = "auto";  // auto, lines or off
  uint32_t retries = 2;
  uint32_t retryDelayS = 10;
  std::string until;
  std::string since;
  std::vector<std::string> meters;
  std::vector<std::string> lines;
  bool noWait = false;
  std::string onAlarm;
  std::string collector;
  uint32_t leaseSeconds = 180;
  MqttArguments mqtt;
};

struct ExportArguments {
  std::string dbPath;
  std::vector<std::string> meters;
  std::vector<std::string> lines;
  int logNo = 0;
  std::string from;
  std::string to;
  std::string outputPath;
  bool csv = false;
  bool json = false;
};

struct StatusArguments {
  std::string dbPath;
  std::vector<std::string> meters;
  std::vector<std::string> lines;
  bool json = false;
};

struct MonitorArguments {
  std::string meter;
  std::string host;
  std::string replay;
  std::string capture;
  uint32_t baud = 0;
  bool json = false;
};

struct FleetDemoArguments {
  bool json = false;
};

struct ServeArguments {
  std::string fleetPath;
  std::string dbPath;
  std::string http = "127.0.0.1:8080";
  std::string tokenFile;
  uint32_t retries = 2;
  uint32_t retryDelayS = 10;
  std::string collector;
  uint32_t leaseSeconds = 180;
  MqttArguments mqtt;
};

struct StoreCopyArguments {
  std::string from;
  std::string to;
};

struct ServeDemoArguments {
  std::string http = "127.0.0.1:0";
  std::string tokenFile;
};

// The texts of a command's help around its option table.
struct CommandText {
  const char* name;         // "collect", "demo fleet"
  const char* usage;        // "vantbrook collect FLEET [OPTIONS]"
  const char* description;  // what the command does
  const char* after;        // examples, notes and exit statuses
};

extern const CommandText kCollectText;
extern const CommandText kExportText;
extern const CommandText kStatusText;
extern const CommandText kMonitorText;
extern const CommandText kFleetDemoText;
extern const CommandText kServeText;
extern const CommandText kServeDemoText;
extern const CommandText kStoreCopyText;

void defineCollect(CLI::App& app, CollectArguments& arguments);
void defineExport(CLI::App& app, ExportArguments& arguments);
void defineStatus(CLI::App& app, StatusArguments& arguments);
void defineMonitor(CLI::App& app, MonitorArguments& arguments);
void defineFleetDemo(CLI::App& app, FleetDemoArguments& arguments);
void defineServe(CLI::App& app, ServeArguments& arguments);
void defineServeDemo(CLI::App& app, ServeDemoArguments& arguments);
void defineStoreCopy(CLI::App& app, StoreCopyArguments& arguments);

// The name of an option's value as the help shows it: "FILE", "auto|lines|off";
// empty for a switch.
std::string valueName(const CLI::Option& option);

// The help of a command: usage, description, the options as the other
// commands list theirs, then the rest.
std::string commandHelp(const CLI::App& app, const CommandText& text);

// Parses a command's arguments; the exit status when the command is to end
// here (help shown: 0; a usage error: usageStatus), else nothing.
std::optional<int> parseCommand(CLI::App& app, const CommandText& text,
                                const std::vector<std::string>& arguments, int usageStatus);

// Every such command's name and option table, for the completion script.
void forEachCommandTable(const std::function<void(const char* name, const CLI::App& app)>& visit);

}  // namespace vb::cli
