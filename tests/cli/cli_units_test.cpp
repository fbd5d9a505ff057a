// The program's own logic without a meter: command line, meter times, exit
// statuses, error texts and the three output formats.
#include <gtest/gtest.h>

#include "platform/text.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "entry_numbers.h"
#include "exit_status.h"
#include "json_check.h"
#include "json_writer.h"
#include "meter_time.h"
#include "options.h"
#include "report.h"
#include "requests.h"

namespace vb::cli {
namespace {

std::vector<std::string> split(const std::string& line) {
  std::vector<std::string> words;
  size_t pos = 0;
  while (pos < line.size()) {
    size_t end = line.find(' ', pos);
    if (end == std::string::npos) end = line.size();
    if (end > pos) words.push_back(line.substr(pos, end - pos));
    pos = end + 1;
  }
  return words;
}

struct ParseCase {
  const char* line;
  bool ok;
  // Expected when ok: command, specifier, logNo, from, to; or a piece of the
  // error text.
  Command command;
  int16_t specifier;
  const char* errorPart;
};

TEST(Options, CommandLinesParseOrAreRefusedWithAReason) {
  const ParseCase cases[] = {
      {"dib", true, Command::Dib, 2, ""},
      {"download --rsn 10..20", true, Command::Download, 1, ""},
      {"download --rsn 10..20 --restart", true, Command::Download, 1001, ""},
      {"download --from 2026-01-01 --to 2026-01-02T06:00", true, Command::Download, 0, ""},
      {"download --from 2026-01-01 --reset", true, Command::Download, 3, ""},
      {"download --rsn 1..2 --reset", true, Command::Download, 4, ""},
      {"download --reset --restart", true, Command::Download, 1005, ""},
      {"download --all --log=3 --raw", true, Command::Download, 2, ""},
      {"session header download", true, Command::Session, 2, ""},
      {"--help", true, Command::None, 2, ""},
      {"download --help", true, Command::Download, 2, ""},
      {"flags 0x2003", true, Command::Flags, 2, ""},
      {"", false, Command::None, 0, "no command"},
      {"dibs", false, Command::None, 0, "unknown command 'dibs'"},
      {"dib --colour", false, Command::None, 0, "unknown option --colour"},
      {"dib extra", false, Command::None, 0, "unexpected argument"},
      {"dib --com 9", false, Command::None, 0, "--com takes a whole number from 1 to 8"},
      {"dib --com", false, Command::None, 0, "--com needs a value"},
      {"dib --json=yes", false, Command::None, 0, "takes no value"},
      {"dib --pnet 1234", false, Command::None, 0, "needs --com N"},
      {"dib --device /dev/null --dial 123 --com 1", false, Command::None, 0, "exclude each other"},
      {"download --rsn 20..10", false, Command::None, 0, "FIRST..LAST"},
      {"download --rsn 5", false, Command::None, 0, "FIRST..LAST"},
      {"download --all --rsn 1..2", false, Command::None, 0, "exclude each other"},
      {"download --rsn 1..2 --from 2026-01-01", false, Command::None, 0, "exclude each other"},
      {"download --from 2026-01-02 --to 2026-01-01", false, Command::None, 0, "after --to"},
      {"download --from 2026-13-01", false, Command::None, 0, "meter time"},
      {"download --set-time never", false, Command::None, 0, "'before' or 'after'"},
      {"download --capacity 0", false, Command::None, 0, "--capacity"},
      {"download --log 4", false, Command::None, 0, "--log"},
      {"session", false, Command::None, 0, "at least one request"},
      {"session header flags", false, Command::None, 0, "not 'flags'"},
      {"flags 0x1FFFFFFFF", false, Command::None, 0, "32-bit value"},
      {"flags twelve", false, Command::None, 0, "32-bit value"},
      {"message", false, Command::None, 0, "one text"},
      {"message HI --room 16", false, Command::None, 0, "--room takes a whole number from 64"},
      {"message HELLO --room 64 --password 12345678901234567890123456789012345678901", false,
       Command::None, 0, "at most 40"},
      // Options that would mean nothing, refused before anything is opened.
      {"dib --reconnects 0 --attempts 0", true, Command::Dib, 2, ""},
      {"dib --device /dev/null --baud 19200", true, Command::Dib, 2, ""},
      {"dib --device /dev/null --baud 1234", false, Command::None, 0, "line speed"},
      {"dib --baud 9600", false, Command::None, 0, "the line --device opens"},
      {"flags 0x1 --com 2", false, Command::None, 0, "--com has no meaning for 'flags'"},
      {"header --csv x.csv", false, Command::None, 0, "--csv has no meaning for 'header'"},
      {"session dib header --raw", false, Command::None, 0, "--raw has no meaning"},
      {"demo --password x", false, Command::None, 0, "--password has no meaning for 'demo'"},
      {"message HI --log 2", false, Command::None, 0, "--log has no meaning"},
  };
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(c.line);
    std::string error;
    std::optional<Options> options = parseOptions(split(c.line), &error);
    ASSERT_EQ(options.has_value(), c.ok) << error;
    if (c.ok) {
      EXPECT_EQ(options->command, c.command);
      EXPECT_EQ(downloadSpecifier(options->download), c.specifier);
    } else {
      EXPECT_NE(error.find(c.errorPart), std::string::npos) << error;
    }
  }
}

TEST(Options, ConnectionSettingsLandWhereTheRequestNeedsThem) {
  std::string error;
  std::optional<Options> o = parseOptions(
      split("header --pnet 2342192 --com 3 --password pw --timeout 900 --frame-timeout=800 "
            "--attempts 4 --reconnects 5 --resume-limit 0 --log 2"),
      &error);
  ASSERT_TRUE(o) << error;
  EXPECT_EQ(o->connection.route, Route::Pnet);
  EXPECT_EQ(o->connection.com, 3);
  EXPECT_EQ(o->connection.address, "2342192");
  EXPECT_EQ(o->connection.password, "pw");
  EXPECT_EQ(o->connection.receiveTimeoutMs, 900u);
  EXPECT_EQ(o->connection.frameTimeoutMs, 800u);
  EXPECT_EQ(o->connection.commandAttempts, 4u);
  EXPECT_EQ(o->connection.reconnectAttempts, 5u);
  EXPECT_EQ(o->connection.resumeLimit, 0u);
  EXPECT_EQ(o->download.logNo, 2);

  o = parseOptions(split("download --from 2026-01-01"), &error);
  ASSERT_TRUE(o) << error;
  EXPECT_EQ(o->download.from, *parseMeterTime("2026-01-01"));
  EXPECT_EQ(o->download.to, kLatestMeterTime);

  o = parseOptions({"message", "--room", "64", "--", "--not an option"}, &error);
  ASSERT_TRUE(o) << error;
  EXPECT_EQ(o->messageText, "--not an option");
  EXPECT_EQ(o->messageRoom, 64u);
}

TEST(MeterTime, ParsesOnlyRealTimesInsideTheMeterRange) {
  const struct {
    const char* text;
    std::optional<uint32_t> value;
  } cases[] = {
      {"1990-01-01", 631152000u},
      {"1990-01-01T00:00:01", 631152001u},
      {"2026-12-07 10:15", 1796638500u},
      {"2024-02-29T23:59:59", 1709251199u},
      {"2058-01-19T03:14:07", kLatestMeterTime},
      {"2058-01-19T03:14:08", std::nullopt},
      {"1989-12-31T23:59:59", std::nullopt},
      {"2023-02-29", std::nullopt},
      {"2026-04-31", std::nullopt},
      {"2026-01-01T24:00", std::nullopt},
      {"2026-01-01T10:00Z", std::nullopt},
      {"2026-01-01T10:00:00+01:00", std::nullopt},
      {"2026-1-01", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(parseMeterTime(c.text), c.value);
  }
}

TEST(MeterTime, FormatsWhatItParses) {
  for (const char* text : {"1990-01-01T00:00:00", "2000-02-29T12:34:56", "2038-01-19T03:14:08",
                           "2058-01-19T03:14:07"}) {
    EXPECT_EQ(formatMeterTime(*parseMeterTime(text)), text);
  }
}

TEST(ExitStatus, EachResultCodeHasItsClass) {
  const int link[] = {11, 12, 16, 18, 19, 21, 23, 24, 25};
  const int refused[] = {1, 3, 4, 5, 6, 7, 8, 9, 10, 15, 17, 20, 22};
  const int data[] = {2, 13, 14};
  EXPECT_EQ(exitStatusForResult(0), kExitOk);
  for (int code : link) EXPECT_EQ(exitStatusForResult(code), kExitLink) << code;
  for (int code : refused) EXPECT_EQ(exitStatusForResult(code), kExitMeterRefused) << code;
  for (int code : data) EXPECT_EQ(exitStatusForResult(code), kExitDataError) << code;
}

TEST(ExitStatus, ErrorTextIsOneLineAndStaysInsideFullFields) {
  ResultRecord result{};
  result.code = 19;
  std::strcpy(result.source, "Vantbrook");
  std::strcpy(result.message, "\nFailed to re-connect");
  EXPECT_EQ(describeResult(result), "Failed to re-connect (code 19, Vantbrook)");
  std::strcpy(result.message, "999\r\nERR\r\n");
  EXPECT_EQ(describeResult(result), "999 ERR (code 19, Vantbrook)");

  std::memset(result.message, 'm', sizeof result.message);
  std::memset(result.source, 's', sizeof result.source);
  EXPECT_EQ(describeResult(result), std::string(128, 'm') + " (code 19, " + std::string(40, 's') + ")");
}

TEST(Report, StatusFlagsAreExplainedBitByBit) {
  EXPECT_EQ(statusFlagTexts(0), std::vector<std::string>{"No error indications"});
  EXPECT_EQ(statusFlagTexts(0x2003),
            (std::vector<std::string>{"Flow sensor absent", "Flow sensor fault", "DIB changed"}));
  EXPECT_EQ(statusFlagTexts(0x100000), std::vector<std::string>{"bit 20"});
}

LoggerData pairLogger(bool raw, size_t count) {
  LoggerData logger;
  logger.raw = raw;
  logger.dataHeader.firstPairRSN = 100;
  logger.dataHeader.firstPairDateTime = *parseMeterTime("2026-12-01T00:00:00");
  logger.dataHeader.loggingInterval = 900;
  logger.dataHeader.lastPairRSN = 199;
  logger.firstEntryRsn = 110;
  for (size_t i = 0; i < count; ++i) {
    logger.rawPairs.push_back({static_cast<uint16_t>(i), 2014});
    logger.convertedPairs.push_back({0.5f * static_cast<float>(i), 1.0f});
  }
  if (raw) logger.convertedPairs.clear(); else logger.rawPairs.clear();
  return logger;
}

TEST(Report, CsvGivesEachPairItsTimeAndRecordNumber) {
  EXPECT_EQ(renderCsv(pairLogger(true, 2)),
            "time,rsn,flow_raw,pressure_raw\n"
            "2026-12-01T02:30:00,110,0,2014\n"
            "2026-12-01T02:45:00,111,1,2014\n");
  EXPECT_EQ(renderCsv(pairLogger(false, 2)),
            "time,rsn,flow_eng,pressure_eng\n"
            "2026-12-01T02:30:00,110,0,1\n"
            "2026-12-01T02:45:00,111,0.5,1\n");

  LoggerData totals;
  totals.logNo = 3;
  totals.firstEntryRsn = 7;
  TotalsRecord record{};
  record.dateTime = *parseMeterTime("2026-12-01");
  for (uint32_t i = 0; i < 8; ++i) record.totals[i] = i * 10;
  record.extra1 = 1;
  record.extra2 = 2;
  record.crcValid = 0;
  totals.totals.push_back(record);
  EXPECT_EQ(renderCsv(totals),
            "time,rsn,total1,total2,total3,total4,total5,total6,total7,total8,extra1,extra2,"
            "crcValid\n"
            "2026-12-01T00:00:00,7,0,10,20,30,40,50,60,70,1,2,0\n");
}

TEST(Report, JsonDocumentsAreValidWhateverTheMeterSent) {
  Outcome download;
  download.request = Command::Download;
  download.succeeded = true;
  download.logger = pairLogger(false, 3);
  download.logger.convertedPairs[1].flow = std::numeric_limits<float>::quiet_NaN();
  std::memcpy(download.logger.dataHeader.siteId, "Site \"A\"\n\x01\x7f\xff", 12);
  std::memset(download.result.message, 'x', sizeof download.result.message);

  Outcome dib;
  dib.request = Command::Dib;
  dib.succeeded = true;
  std::memset(dib.dib.meter_id, 'M', sizeof dib.dib.meter_id);  // no terminator

  JsonWriter json;
  json.beginObject().key("session").beginArray();
  writeJson(json, download);
  writeJson(json, dib);
  json.endArray().endObject();
  std::string text = json.text();
  EXPECT_TRUE(test::JsonCheck::valid(text)) << text;
  EXPECT_NE(text.find("\"flow_eng\":null"), std::string::npos);
  EXPECT_NE(text.find("Site \\\"A\\\"\\n\\u0001\\u007f\\u00ff"), std::string::npos);
  EXPECT_NE(text.find("\"meter_id\":\"" + std::string(40, 'M') + "\""), std::string::npos);
}

// What a modem or PAD said, on one readable line with nothing lost.
TEST(Messages, OneReadableLine) {
  const std::pair<const char*, const char*> cases[] = {
      {"\nFailed to re-connect", "Failed to re-connect"},
      {"1009\r\nERR\r\n", "1009 ERR"},
      {"Failed to open port : No such file", "Failed to open port: No such file"},
      {"\x10" "CLR OCC", "\\x10CLR OCC"},
      {"  BUSY\r\n\r\n", "BUSY"},
  };
  for (const auto& [text, line] : cases) EXPECT_EQ(platform::oneLine(text), line) << text;
}

// Names from a fleet file are UTF-8 and keep their characters; the meter's
// own bytes stay escaped byte by byte.
TEST(Json, HostTextsKeepTheirCharactersAndMeterBytesTheirValues) {
  const std::string water = "\xe6\xb0\xb4\xe9\x81\x93";  // two characters, six bytes
  EXPECT_EQ(jsonQuotedUtf8(water), "\"\\u6c34\\u9053\"");
  EXPECT_EQ(jsonQuoted(water), "\"\\u00e6\\u00b0\\u00b4\\u00e9\\u0081\\u0093\"");
  JsonWriter json;
  json.beginObject().key("meter").utf8(water + "-\xff").endObject();
  EXPECT_EQ(json.text(), "{\"meter\":\"\\u6c34\\u9053-\\ufffd\"}\n");
}

TEST(Report, TablesListAtMostTheEntriesAskedFor) {
  Outcome download;
  download.request = Command::Download;
  download.succeeded = true;
  download.logger = pairLogger(true, 25);
  std::string table = renderTable(download, 10);
  EXPECT_NE(table.find("Entries                : 25"), std::string::npos);
  EXPECT_NE(table.find("     119  2026-12-01T04:45:00"), std::string::npos);
  EXPECT_EQ(table.find("     120  "), std::string::npos);
  EXPECT_NE(table.find("... and 15 more"), std::string::npos);
}

TEST(Download, RoomFollowsTheSelection) {
  DownloadOptions d;
  EXPECT_EQ(downloadCapacity(d, nullptr), kDefaultCapacity);
  d.selection = Selection::Rsn;
  d.from = 10;
  d.to = 19;
  EXPECT_EQ(downloadCapacity(d, nullptr), 10u);
  d.from = 0;
  d.to = 0xFFFFFFFFu;
  EXPECT_EQ(downloadCapacity(d, nullptr), kMaxCapacity);
  LoggerData header = pairLogger(true, 0);  // RSN 100..199
  d.selection = Selection::All;
  EXPECT_EQ(downloadCapacity(d, &header), 100u);
  header.logNo = 2;
  EXPECT_EQ(downloadCapacity(d, &header), kDefaultCapacity);
  d.capacity = 5;
  EXPECT_EQ(downloadCapacity(d, &header), 5u);
}

// Pairs: RSN 100..199 every 900 s from 2026-12-01T00:00:00. Totals: RSN 7..36,
// one a day from the same time, each record carrying its own time.
constexpr uint32_t kDay = 86400;
const uint32_t kStart = *parseMeterTime("2026-12-01T00:00:00");
constexpr uint32_t kNoCapacityLimit = 100000;

LoggerData numberedPairs(size_t count, uint32_t firstTime) {
  LoggerData logger = pairLogger(true, count);
  logger.dataHeader.firstPairDateTime = firstTime;
  logger.dataHeader.lastPairDateTime = kStart + 99 * 900;
  return logger;
}

LoggerData numberedTotals(uint32_t firstRsnOfReply, size_t count) {
  LoggerData logger;
  logger.logNo = 3;
  logger.totalsHeader.firstRecordRSN = 7;
  logger.totalsHeader.lastRecordRSN = 36;
  logger.totalsHeader.firstRecordDateTime = kStart;
  logger.totalsHeader.lastRecordDateTime = kStart + 29 * kDay;
  for (size_t i = 0; i < count; ++i) {
    TotalsRecord record{};
    record.dateTime = kStart + static_cast<uint32_t>(firstRsnOfReply - 7 + i) * kDay;
    logger.totals.push_back(record);
  }
  return logger;
}

DownloadOptions byTime(uint32_t from, uint32_t to) {
  DownloadOptions d;
  d.selection = Selection::Time;
  d.from = from;
  d.to = to;
  return d;
}

TEST(EntryNumbers, AreTakenFromTheHeaderOnlyWhereItFixesThem) {
  DownloadOptions all;
  DownloadOptions rsn;
  rsn.selection = Selection::Rsn;
  rsn.from = 150;
  rsn.to = 160;
  const struct {
    const char* what;
    LoggerData logger;
    DownloadOptions download;
    uint32_t capacity;
    std::optional<uint32_t> first;
  } cases[] = {
      {"pairs, all", numberedPairs(100, kStart), all, kNoCapacityLimit, 100u},
      {"pairs, all, header contradicts the count", numberedPairs(60, kStart), all,
       kNoCapacityLimit, std::nullopt},
      {"pairs, all, room filled", numberedPairs(60, kStart), all, 60, 100u},
      {"pairs, by record number", numberedPairs(11, kStart), rsn, kNoCapacityLimit, 150u},
      {"pairs, from just after RSN 101", numberedPairs(98, kStart),
       byTime(kStart + 901, kLatestMeterTime), kNoCapacityLimit, 102u},
      {"pairs, from before the first", numberedPairs(5, kStart), byTime(kStart - 5, kStart + 3600),
       kNoCapacityLimit, 100u},
      {"pairs, invalid first time: counted back from the last",
       numberedPairs(5, kEarliestMeterTime), byTime(kStart + 900 * 90, kStart + 900 * 94), kNoCapacityLimit, 190u},
      {"pairs, invalid first time, all: numbered from the last",
       numberedPairs(50, kEarliestMeterTime), all, kNoCapacityLimit, 150u},
      {"totals, from the first record", numberedTotals(7, 3), byTime(kStart, kStart + 2 * kDay),
       kNoCapacityLimit, 7u},
      {"totals, to the last record", numberedTotals(30, 7),
       byTime(kStart + 23 * kDay, kLatestMeterTime), kNoCapacityLimit, 30u},
      {"totals, to the last record, room filled", numberedTotals(30, 7),
       byTime(kStart + 23 * kDay, kLatestMeterTime), 7, std::nullopt},
      {"totals, inside the logger", numberedTotals(8, 3), byTime(kStart + kDay, kStart + 3 * kDay),
       kNoCapacityLimit, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(firstEntryRsn(c.logger, c.download, c.capacity), c.first);
  }
}

TEST(EntryNumbers, PairTimesAreCountedOnlyFromAValidFirstTimeTheIntervalAgreesWith) {
  DataHeaderRecord header = numberedPairs(0, kStart).dataHeader;
  EXPECT_EQ(pairTime(header, 101), kStart + 900);
  EXPECT_EQ(pairTime(header, 99), std::nullopt);
  header.lastPairDateTime += 60;  // a gap or a clock change somewhere
  EXPECT_EQ(pairTime(header, 101), std::nullopt);
  header = numberedPairs(0, kEarliestMeterTime).dataHeader;
  EXPECT_EQ(pairTime(header, 101), std::nullopt);

  // Where neither is known the table shows a dash, CSV an empty field and
  // JSON null.
  Outcome download;
  download.request = Command::Download;
  download.succeeded = true;
  download.logger = numberedPairs(1, kEarliestMeterTime);
  download.logger.firstEntryRsn = std::nullopt;
  EXPECT_EQ(renderCsv(download.logger), "time,rsn,flow_raw,pressure_raw\n,,0,2014\n");
  const std::string table = renderTable(download);
  EXPECT_NE(table.find("       -  -   "), std::string::npos) << table;
  JsonWriter json;
  writeJson(json, download);
  EXPECT_NE(json.text().find("{\"rsn\":null,\"time\":null,\"flow_raw\":0,"), std::string::npos);
}

}  // namespace
}  // namespace vb::cli
