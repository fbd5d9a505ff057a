#include "help.h"

#include "line_timing.h"

namespace vb::cli {

namespace {

const char* const kOverview = R"(Usage: vantbrook COMMAND [OPTIONS]
  or:  vantbrook --version

Reads water flow and pressure meters over a serial line, a packet-radio PAD
or a dial-up modem, and collects fleets of them into a store.

Meter commands (Connection below says how they reach the meter):
  dib               read the meter's identity block
  versions          read the meter's eight version texts
  header            read a logger's header
  download          download a logger's pairs or totals
  message TEXT      pass a message to the meter and show its answer
  session REQ...    run several requests on one link (dib, versions, header,
                    download), e.g. 'session header download'
  flags VALUE       explain a statusFlags value
  demo              run dib, header and download against a simulated meter
  monitor           watch a meter's line, or decode a capture of one

Fleet commands (a fleet file of lines and meters, and a store):
  collect FLEET     collect the meters of a fleet file into a store, raising
                    and clearing alarms
  export            stream a store's pairs or totals as CSV or JSON
  status            each meter's state and open alarms, as a monitoring check
  serve FLEET       the collection service: each meter when it is due, an HTTP
                    API, metrics and a dashboard
  store copy        copy a store to another engine (SQLite, PostgreSQL)
  demo fleet        collect a simulated fleet twice into a temporary store
  demo serve        the collection service over simulated lines

Run 'vantbrook COMMAND --help' for the options, examples and exit statuses of
a command. 'vantbrook --version' (or -V) prints the program's version.
)";

const char* const kConnectionTitle = "\nConnection (how the link reaches the meter):\n";
const char* const kOutputTitle = "Output:\n";

const char* const kExitStatuses = R"(
Exit statuses:
  0    success
  2    usage error (bad command line, a --csv file that cannot be written, or
       --restart or --reset not confirmed)
  3    link error: the line, the call or the link failed (result codes 11, 12,
       16, 18, 19, 21, 23, 24, 25)
  4    the meter refused (codes 1, 3-10, 15, 17, 20, 22; 9 with "Incorrect
       password" for a wrong --password, 7 when no data lies in the range)
  5    data error: a reply that does not decode (codes 2, 13, 14)
  130  interrupted by Ctrl-C or SIGTERM (the meter is told to abort, the line
       is closed; press Ctrl-C twice to end at once)
Errors go to standard error as 'vantbrook: MESSAGE (code N, SOURCE)'.
)";

// Every exit status of the program, and which commands end with it.
const char* const kOverviewExitStatuses = R"(
Exit statuses of every command but status:
  0    success
  2    usage error: a bad command line or fleet file, a --csv file that
       cannot be written, --restart or --reset not confirmed, an export of a
       --meter or --line the store does not hold, or a monitor capture that
       cannot be read or written
  3    link error: the line, the call or the link failed (result codes 11, 12,
       16, 18, 19, 21, 23, 24, 25); monitor: the meter's line cannot be
       opened or failed
  4    the meter refused (codes 1, 3-10, 15, 17, 20, 22)
  5    data error: a reply that does not decode (codes 2, 13, 14)
  6    collect, demo fleet: some meters were not collected (what the others
       delivered is stored)
  7    collect, export, serve, store copy, demo fleet: the store cannot be
       opened, read or written, or is damaged (store copy: a table's count
       differs)
  130  interrupted by Ctrl-C or SIGTERM (what was complete is kept, calls are
       cleared; press Ctrl-C twice to end at once)
Exit statuses of status, those of a monitoring plugin:
  0    OK: every selected meter is ok, with no open alarm
  1    WARNING: a meter is late or never collected, or has an open warning
  2    CRITICAL: a meter is missing or failing, or has an open critical alarm
  3    UNKNOWN: a bad command line, or the store cannot be read
Errors go to standard error as 'vantbrook: MESSAGE (code N, SOURCE)'.
)";

const char* const kFlagsExitStatuses = R"(
Exit statuses:
  0    success
  2    usage error (bad command line)
)";

const char* const kLoggerTitle = "\nLogger:\n";

const char* const kDib = R"(Usage: vantbrook dib [OPTIONS]

Reads the meter's identity block (meter id, sensors, contracts, versions).

Example:
  vantbrook dib --com 2 --json
)";

const char* const kVersions = R"(Usage: vantbrook versions [OPTIONS]

Reads the meter's eight version texts, in the order the meter sends them.

Example:
  vantbrook versions --pnet 23421920012345 --com 1
)";

const char* const kHeader = R"(Usage: vantbrook header [OPTIONS]

Reads a logger's header: site, times, first and last record numbers (RSN),
logging interval, calibration and status flags. Unlocks the logger with
--password and locks it again.

Example:
  vantbrook header --log 3 --password secret
)";

const char* const kDownload = R"(Usage: vantbrook download [OPTIONS]

Downloads a logger's header and its entries in a range: flow and pressure
pairs (loggers 1 and 2), converted to engineering units unless --raw, or
totals records (logger 3, each with its CRC check).

Selection (default --all):
)";

const char* const kDownloadOptionsTitle = "Download:\n";

const char* const kDownloadNotes = R"(Record numbers and times: the meter sends entries without them. A record
number is shown where the header and the selection fix it (totals selected by
time only when the selection reaches the logger's first or last record); a
pair's time is counted from the header's first pair and logging interval when
the header's times agree with that. Where they are not known the table shows
'-', CSV an empty field and JSON null.
Examples:
  vantbrook download --log 1 --from 2026-12-01 --to 2026-12-02T06:00 --csv day.csv
  vantbrook download --log 3 --rsn 100..200 --json
  vantbrook download --all --set-time after --restart
)";

const char* const kMessage = R"(Usage: vantbrook message TEXT [OPTIONS]

Unlocks the logger, passes TEXT to the meter unchanged, shows the meter's
answer and locks the logger again.

)";

const char* const kMessageExample = R"(Example:
  vantbrook message "STATUS" --password secret
)";

const char* const kSession = R"(Usage: vantbrook session REQUEST... [OPTIONS]

Holds one link open while it runs the requests in order (dib, versions,
header, download), then releases it. A request that fails ends the session:
the outcomes so far are shown, the failure is reported and the link is
released. The download options apply to header and download.

Example:
  vantbrook session dib header download --log 2 --csv logger2.csv
)";

const char* const kFlags = R"(Usage: vantbrook flags VALUE [--json]

Explains a statusFlags value of a logger header, decimal or 0x-hexadecimal.

Example:
  vantbrook flags 0x2003
)";

const char* const kDemo = R"(Usage: vantbrook demo [--json] [--no-progress]

Starts a simulated meter on a pseudo-terminal inside this program, points
COM1 at it and runs dib, header and a download of logger 1 paced like a
slow line, writing demo.csv in the current directory. Needs nothing else.
)";

// The longest a request waits for a meter that never answers, with the
// settings given.
std::string silentWait(const Options& options) {
  const ConnectionOptions& c = options.connection;
  return "With these settings a meter that never answers is given up after at most\n"
         "about " + std::to_string((silentMeterWaitMs(c) + 999) / 1000) + " s (frame time-out " +
         std::to_string(c.frameTimeoutMs) + " ms, " +
         std::to_string(c.commandAttempts == 0 ? 1 : c.commandAttempts) + " attempts).\n";
}

}  // namespace

std::string helpText(const Options& options) {
  const std::string connection = kConnectionTitle + optionHelp(HelpSection::Connection) +
                                 kOutputTitle + optionHelp(HelpSection::Output) +
                                 silentWait(options);
  const std::string logger = kLoggerTitle + optionHelp(HelpSection::Logger);
  switch (options.command) {
    case Command::Dib:
      return kDib + connection + kExitStatuses;
    case Command::Versions:
      return kVersions + connection + kExitStatuses;
    case Command::Header:
      return kHeader + logger + connection + kExitStatuses;
    case Command::Download:
      return kDownload + optionHelp(HelpSection::Selection) + kDownloadOptionsTitle +
             optionHelp(HelpSection::Download) + kDownloadNotes + logger + connection + kExitStatuses;
    case Command::Message:
      return kMessage + optionHelp(HelpSection::Message) + kMessageExample + connection + kExitStatuses;
    case Command::Session:
      return kSession + logger + connection + kExitStatuses;
    case Command::Flags:
      return std::string(kFlags) + kFlagsExitStatuses;
    case Command::Demo:
      return std::string(kDemo) + kExitStatuses;
    case Command::None:
      break;
  }
  return kOverview + connection + kOverviewExitStatuses;
}

std::string versionText() { return std::string("vantbrook ") + VANTBROOK_VERSION + "\n"; }

}  // namespace vb::cli
