// The command line of the vantbrook program: subcommands, connection
// settings, download selection and output choices.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vb::cli {

enum class Command { None, Dib, Versions, Header, Download, Message, Session, Flags, Demo };

// Default link settings, chosen for slow radio and phone lines.
inline constexpr uint32_t kDefaultReceiveTimeoutMs = 20000;
inline constexpr uint32_t kDefaultFrameTimeoutMs = 5000;
inline constexpr uint32_t kDefaultCommandAttempts = 3;
inline constexpr uint32_t kDefaultReconnectAttempts = 2;
inline constexpr uint32_t kDefaultResumeLimit = 3;
inline constexpr uint32_t kDefaultDeviceBaud = 4800;
// Line speeds of the routes whose line the program does not set itself: the
// link's own serial port and the PAD driver run at 4800 bit/s, the modem
// driver at 9600.
inline constexpr uint32_t kComLineBaud = 4800;
inline constexpr uint32_t kPadLineBaud = 4800;
inline constexpr uint32_t kModemLineBaud = 9600;
// Entries a download makes room for when nothing narrows the selection.
inline constexpr uint32_t kDefaultCapacity = 100000;
// The most entries a download may make room for: keeps the library's work
// buffer (up to 572 + 40 per entry) far inside 32 bits.
inline constexpr uint32_t kMaxCapacity = 10000000;
// Room for the meter's answer to a message. The library also builds the
// unlock command (up to 51 bytes) and short replies in this buffer, so it
// never gets less than kMinMessageRoom.
inline constexpr uint32_t kDefaultMessageRoom = 1024;
inline constexpr uint32_t kMinMessageRoom = 64;
inline constexpr uint32_t kMaxMessageRoom = 1000000;

// How the link reaches the meter.
enum class Route { Com, Device, Pnet, Dial };

struct ConnectionOptions {
  Route route = Route::Com;
  int com = 1;
  bool comGiven = false;
  std::string device;
  uint32_t baud = kDefaultDeviceBaud;  // --device only
  std::string address;  // PAD address or telephone number
  std::string password;
  uint16_t supplier = 0;  // expected supplier id; 0 accepts any
  uint32_t receiveTimeoutMs = kDefaultReceiveTimeoutMs;
  // False: a download chooses its receive time-out from its reply's size.
  bool receiveTimeoutGiven = false;
  uint32_t frameTimeoutMs = kDefaultFrameTimeoutMs;
  uint32_t commandAttempts = kDefaultCommandAttempts;
  uint32_t reconnectAttempts = kDefaultReconnectAttempts;
  uint32_t resumeLimit = kDefaultResumeLimit;
};

enum class Selection { All, Time, Rsn };

struct DownloadOptions {
  int logNo = 1;
  Selection selection = Selection::All;
  uint32_t from = 0;  // host time values or RSNs, by selection
  uint32_t to = 0;
  bool reset = false;  // the meter empties the logger after the selection
  bool raw = false;
  char setTimeMode = 0;  // 'B', 'A' or none
  bool restart = false;
  bool confirmed = false;  // --yes: the logger may be emptied
  uint32_t capacity = 0;  // 0: chosen from the selection or the header
  std::string csvPath;
};

// How progress is shown on standard error.
enum class ProgressStyle { Auto, Lines, Off };

struct Options {
  Command command = Command::None;
  bool help = false;
  bool version = false;  // --version: print the program's version only
  std::vector<Command> sessionRequests;
  ConnectionOptions connection;
  DownloadOptions download;
  bool json = false;
  ProgressStyle progress = ProgressStyle::Auto;  // Auto: a bar on a terminal
  std::string messageText;
  uint32_t messageRoom = kDefaultMessageRoom;
  uint32_t flagsValue = 0;
};

// Where an option is explained in the help.
enum class HelpSection { None, Connection, Output, Logger, Selection, Download, Message };

// One option of the meter commands, as the parser, the help and the shell
// completion know it.
struct OptionEntry {
  const char* name;       // "--com"
  const char* valueName;  // "N"; nullptr for a switch
  unsigned groups;        // what it is about, so which commands take it
  HelpSection section;
  const char* label;  // the help's label when not name and valueName
  const char* help;   // nullptr: explained in another option's entry
};

// The help's lines for the options of a section, in table order.
std::string optionHelp(HelpSection section);

// The options a command takes (for a session: with a download among its
// requests), in table order.
std::vector<const OptionEntry*> commandOptions(Command command);

// Every command name as typed.
std::vector<std::string> commandNames();

// Line speed towards the meter on the connection's route, in bit/s.
uint32_t lineBaud(const ConnectionOptions& connection);

// True when the download empties the logger (--restart or --reset).
bool emptiesLogger(const DownloadOptions& download);

// True when the command runs a download (itself or in its session).
bool runsDownload(const Options& options);

// Parses the arguments after the program name. On a usage error returns
// nothing and sets *error to a one-line reason.
std::optional<Options> parseOptions(const std::vector<std::string>& arguments,
                                    std::string* error);

// The download specifier for the request record: the selection, plus 1000
// when the logger is to be restarted afterwards.
int16_t downloadSpecifier(const DownloadOptions& download);

// Name of a subcommand as typed ("dib"), and back.
const char* commandName(Command command);
Command commandFromName(const std::string& name);

}  // namespace vb::cli
