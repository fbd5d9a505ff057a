#include "help.h"

namespace vb::cli {

namespace {

const char* const kOverview = R"(Usage: vantbrook COMMAND [OPTIONS]

Reads water flow and pressure meters over a serial line, a packet-radio PAD
or a dial-up modem.

Commands:
  dib               read the meter's identity block
  versions          read the meter's eight version texts
  header            read a logger's header
  download          download a logger's pairs or totals
  message TEXT      pass a message to the meter and show its answer
  session REQ...    run several requests on one link (dib, versions, header,
                    download), e.g. 'session header download'
  flags VALUE       explain a statusFlags value
  demo              run dib, header and download against a simulated meter

Run 'vantbrook COMMAND --help' for the options of a command.
)";

const char* const kConnection = R"(
Connection (how the link reaches the meter):
  --com N               serial port COMN, N = 1..8 (default 1). COMN is the
                        device in VANTBROOK_COMN, else /dev/ttyS(N-1)
  --device PATH         open PATH as the line (4800 8N1 unless --baud) and
                        hand it to the link; reopened on a reconnect
  --baud RATE           line speed for --device (default 4800)
  --pnet ADDRESS        call ADDRESS through a packet-radio PAD on --com N
  --dial NUMBER         dial NUMBER with the modem on --com N
  --password TEXT       logger password (at most 40 characters)
  --supplier N          refuse replies of any other supplier id (default 0:
                        accept any)
  --timeout MS          how long a reply may take (default 20000)
  --frame-timeout MS    how long the line may stay silent within a reply
                        (default 5000)
  --attempts N          sends of a short command before giving up (default 3)
  --reconnects N        attempts of each reconnect (default 2)
  --resume-limit N      slow resume cycles before a long reply is given up;
                        0 = never resume (default 3)
Output:
  --json                print one JSON document instead of tables
  --no-progress         no progress bar (it is shown only when standard
                        error is a terminal)
  --progress-lines      progress as lines 'progress N%' on standard error,
                        for logs
)";

const char* const kExitStatuses = R"(
Exit statuses:
  0    success
  2    usage error (bad command line, or a --csv file that cannot be written)
  3    link error: the line, the call or the link failed (result codes 11, 12,
       16, 18, 19, 21, 23, 24, 25)
  4    the meter refused (codes 1, 3-10, 15, 17, 20, 22; 9 with "Incorrect
       password" for a wrong --password, 7 when no data lies in the range)
  5    data error: a reply that does not decode (codes 2, 13, 14)
  130  interrupted by Ctrl-C or SIGTERM (the meter is told to abort, the line
       is closed; press Ctrl-C twice to end at once)
Errors go to standard error as 'vantbrook: MESSAGE (code N, SOURCE)'.
)";

const char* const kLoggerOption = R"(
Logger:
  --log N               logger 1 or 2 (flow and pressure pairs) or 3 (totals);
                        default 1
)";

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
  --all                 everything the logger holds
  --from TIME --to TIME entries logged from TIME to TIME. A TIME is
                        YYYY-MM-DD[THH:MM[:SS]] on the meter's clock: it is
                        used exactly as written, with no time-zone
                        conversion (the meter keeps local standard time).
                        Either end may be left out.
  --rsn FIRST..LAST     entries with record numbers FIRST to LAST
  --reset               ask the meter for a reset with the selection
                        (selections 3, 4 and 5)
Download:
  --raw                 pairs as the meter logged them (16-bit values)
  --capacity N          room for N entries (default: the --rsn span, the span
                        of a header read before in the session, else 100000);
                        entries beyond it are dropped, and a reply far larger
                        than the room fails with "Message truncated"
  --set-time before|after
                        set the meter clock to this host's local standard
                        time before or after the download
  --restart             restart the logger after the download
  --csv FILE            also write the entries to FILE: time, rsn and the
                        values (totals: the eight totals, extra bytes and
                        crcValid); times from the header's first time and
                        logging interval
Examples:
  vantbrook download --log 1 --from 2026-12-01 --to 2026-12-02T06:00 --csv day.csv
  vantbrook download --log 3 --rsn 100..200 --json
  vantbrook download --all --set-time after --restart
)";

const char* const kMessage = R"(Usage: vantbrook message TEXT [OPTIONS]

Unlocks the logger, passes TEXT to the meter unchanged, shows the meter's
answer and locks the logger again.

  --room N              bytes of room for the answer, 64 or more (default 1024)
Example:
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

}  // namespace

std::string helpText(Command command) {
  switch (command) {
    case Command::Dib:
      return std::string(kDib) + kConnection + kExitStatuses;
    case Command::Versions:
      return std::string(kVersions) + kConnection + kExitStatuses;
    case Command::Header:
      return std::string(kHeader) + kLoggerOption + kConnection + kExitStatuses;
    case Command::Download:
      return std::string(kDownload) + kLoggerOption + kConnection + kExitStatuses;
    case Command::Message:
      return std::string(kMessage) + kConnection + kExitStatuses;
    case Command::Session:
      return std::string(kSession) + kLoggerOption + kConnection + kExitStatuses;
    case Command::Flags:
      return kFlags;
    case Command::Demo:
      return std::string(kDemo) + kExitStatuses;
    case Command::None:
      break;
  }
  return std::string(kOverview) + kConnection + kExitStatuses;
}

}  // namespace vb::cli
