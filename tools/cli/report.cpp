#include "report.h"

#include <algorithm>
#include <cstdio>

#include "entry_numbers.h"
#include "exit_status.h"
#include "meter_time.h"

namespace vb::cli {

namespace {

const char* const kStatusFlagTexts[VB_STATUS_FLAG_TEXT_COUNT] = VB_STATUS_FLAG_TEXTS;

// A record's text field, with anything a terminal would act on replaced.
std::string printable(const char* field, size_t size) {
  std::string text = fieldText(field, size);
  for (char& c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte >= 0x7F) c = '?';
  }
  return text;
}

template <size_t N>
std::string printable(const char (&field)[N]) {
  return printable(field, N);
}

template <size_t N>
std::string plain(const char (&field)[N]) {
  return fieldText(field, N);
}

// Where an entry's record number or time is not known, the table shows a
// dash and CSV an empty field.
std::string rsnText(const std::optional<uint32_t>& rsn, const char* unknown) {
  return rsn ? std::to_string(*rsn) : unknown;
}

std::string timeText(const std::optional<uint32_t>& time, const char* unknown) {
  return time ? formatMeterTime(*time) : unknown;
}

// Column names of pair values: raw as logged, or converted to engineering
// units by the meter's calibration.
const char* flowColumn(bool raw) { return raw ? "flow_raw" : "flow_eng"; }
const char* pressureColumn(bool raw) { return raw ? "pressure_raw" : "pressure_eng"; }

std::string formatted(const char* format, double value) {
  char text[48];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

std::string hex32(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

// Lines of "Label : value" with the labels aligned.
class Lines {
 public:
  explicit Lines(size_t labelWidth) : width_(labelWidth) {}
  Lines& add(const std::string& label, const std::string& value) {
    text_ += label;
    if (label.size() < width_) text_.append(width_ - label.size(), ' ');
    text_ += " : " + value + "\n";
    return *this;
  }
  Lines& add(const std::string& label, uint32_t value) { return add(label, std::to_string(value)); }
  Lines& time(const std::string& label, uint32_t hostTime) {
    return add(label, formatMeterTime(hostTime));
  }
  const std::string& text() const { return text_; }

 private:
  size_t width_;
  std::string text_;
};

std::string flagsSummary(uint32_t flags) {
  std::string summary = hex32(flags);
  std::string separator = " (";
  for (const std::string& text : statusFlagTexts(flags)) {
    summary += separator + text;
    separator = ", ";
  }
  return summary + ")";
}

std::string dibTable(const DibRecord& dib) {
  Lines lines(22);
  lines.add("Meter id", printable(dib.meter_id))
      .add("Supplier", dib.supplier)
      .add("Structure size/version",
           std::to_string(dib.strusize) + " / " + std::to_string(dib.struvers))
      .time("Last alteration", dib.last_alt)
      .add("Transmitter id", dib.trans_id)
      .add("Transmitter PIN", dib.transpin)
      .add("Flow sensor id", dib.flows_id)
      .add("Pressure sensor id", dib.press_id)
      .add("Calibrated bore", formatted("%.3f", dib.calibore))
      .add("Auxiliary word", dib.aux_word)
      .add("Flow contract", printable(dib.flowcont))
      .add("Transmitter contract", printable(dib.trancont))
      .add("Pressure contract", printable(dib.prescont))
      .add("Transmitter tag", printable(dib.transtag))
      .add("Pressure tag", printable(dib.presstag))
      .add("Manufacturer", printable(dib.manufact))
      .add("Transmitter type", printable(dib.transtyp))
      .add("Business", printable(dib.business))
      .add("Location", printable(dib.location))
      .add("Flow calibration", printable(dib.flowcali))
      .add("Pressure calibration", printable(dib.prescali))
      .add("User message", printable(dib.usermess))
      .add("Transmitter version", printable(dib.tranvers))
      .add("Protocol version", printable(dib.protvers))
      .add("Logger version", printable(dib.loggvers));
  return lines.text();
}

std::string dataHeaderTable(int logNo, const DataHeaderRecord& h) {
  Lines lines(22);
  lines.add("Logger", std::to_string(logNo) + " (flow and pressure pairs)")
      .add("Site id", printable(h.siteId))
      .add("Supplier", h.supplier)
      .add("Format version/type",
           std::to_string(h.formatVersion) + " / " + std::to_string(h.type))
      .time("Meter time", h.currentDateTime)
      .time("Prior time", h.priorDateTime)
      .time("Post time", h.postDateTime)
      .time("Logger reset", h.originalLoggerResetDateTime)
      .time("Logger reset corrected", h.correctedLoggerResetDateTime)
      .add("First pair", "RSN " + std::to_string(h.firstPairRSN) + " at " +
                             formatMeterTime(h.firstPairDateTime))
      .add("Last pair", "RSN " + std::to_string(h.lastPairRSN) + " at " +
                            formatMeterTime(h.lastPairDateTime))
      .add("Logging interval", std::to_string(h.loggingInterval) + " s")
      .add("Calibrated bore", formatted("%.3f", h.calibratedBore))
      .add("Velocity/pressure fmt",
           std::to_string(h.velocityFormat) + " / " + std::to_string(h.pressureFormat))
      .add("Height offset", std::to_string(h.heightOffset))
      .add("Status flags", flagsSummary(h.statusFlags));
  return lines.text();
}

std::string totalsHeaderTable(const TotalsHeaderRecord& h) {
  Lines lines(22);
  lines.add("Logger", "3 (totals)")
      .add("Site id", printable(h.siteId))
      .add("Supplier", h.supplier)
      .add("Format version/type",
           std::to_string(h.formatVersion) + " / " + std::to_string(h.type))
      .time("Meter time", h.currentDateTime)
      .time("Prior time", h.priorDateTime)
      .time("Post time", h.postDateTime)
      .add("Auxiliary", printable(h.auxText) + " " + formatted("%.3f", h.auxValue))
      .add("First record", "RSN " + std::to_string(h.firstRecordRSN) + " at " +
                               formatMeterTime(h.firstRecordDateTime))
      .add("Last record", "RSN " + std::to_string(h.lastRecordRSN) + " at " +
                              formatMeterTime(h.lastRecordDateTime))
      .add("Status flags", flagsSummary(h.statusFlags));
  return lines.text();
}

std::string headerTable(const LoggerData& logger) {
  return logger.totalsLogger() ? totalsHeaderTable(logger.totalsHeader)
                               : dataHeaderTable(logger.logNo, logger.dataHeader);
}

// What a download that set the clock or emptied the logger left behind, from
// the header read after it: the last clock setting and the entries held now.
std::string afterwardsTable(const Outcome& outcome) {
  const LoggerData& logger = *outcome.afterwards;
  const bool totals = logger.totalsLogger();
  const uint32_t prior =
      totals ? logger.totalsHeader.priorDateTime : logger.dataHeader.priorDateTime;
  const uint32_t post = totals ? logger.totalsHeader.postDateTime : logger.dataHeader.postDateTime;
  std::string done = outcome.clockSet ? "clock set" : "";
  if (outcome.loggerEmptied) done += done.empty() ? "logger restarted" : ", logger restarted";
  Lines lines(22);
  lines.add("Afterwards", done + " (logger " + std::to_string(logger.logNo) + " header read again)")
      .add("Clock last set", "from " + formatMeterTime(prior) + " to " + formatMeterTime(post))
      .time("Meter time", totals ? logger.totalsHeader.currentDateTime
                                 : logger.dataHeader.currentDateTime)
      .add("Entries held", logger.entriesHeld() == 0
                               ? "none (next RSN " + std::to_string(logger.firstRsn()) + ")"
                               : "RSN " + std::to_string(logger.firstRsn()) + " to " +
                                     std::to_string(logger.lastRsn()));
  return lines.text();
}

std::string moreEntries(size_t count) {
  return count == 0 ? std::string() : "     ... and " + std::to_string(count) + " more\n";
}

std::string entriesTable(const LoggerData& logger, size_t entryLimit) {
  const size_t shown = std::min(logger.entryCount(), entryLimit);
  std::string text;
  char line[256];
  if (logger.totalsLogger()) {
    text += "     RSN  Time                 Totals 1..8, extra bytes, CRC\n";
    for (size_t i = 0; i < shown; ++i) {
      const TotalsRecord& r = logger.totals[i];
      std::snprintf(line, sizeof line, "%8s  %-19s ", rsnText(logger.entryRsn(i), "-").c_str(),
                    timeText(logger.entryTime(i), "-").c_str());
      text += line;
      for (uint32_t total : r.totals) {
        std::snprintf(line, sizeof line, " %u", total);
        text += line;
      }
      std::snprintf(line, sizeof line, "  %u/%u  %s\n", r.extra1, r.extra2,
                    r.crcValid ? "ok" : "BAD");
      text += line;
    }
    return text + moreEntries(logger.entryCount() - shown);
  }
  text += logger.raw ? "     RSN  Time                  Flow (raw)  Pressure (raw)\n"
                     : "     RSN  Time                 Flow (eng.)  Pressure (eng.)\n";
  for (size_t i = 0; i < shown; ++i) {
    const std::string rsn = rsnText(logger.entryRsn(i), "-");
    const std::string time = timeText(logger.entryTime(i), "-");
    if (logger.raw) {
      const RawPair& p = logger.rawPairs[i];
      std::snprintf(line, sizeof line, "%8s  %-19s  %10u  %14u\n", rsn.c_str(), time.c_str(),
                    p.flow, p.pressure);
    } else {
      const ConvertedPair& p = logger.convertedPairs[i];
      std::snprintf(line, sizeof line, "%8s  %-19s  %11.6g  %15.4f\n", rsn.c_str(), time.c_str(),
                    p.flow, p.pressure);
    }
    text += line;
  }
  return text + moreEntries(logger.entryCount() - shown);
}

void writeFlags(JsonWriter& json, uint32_t flags) {
  json.key("statusFlags").value(flags);
  json.key("statusTexts").beginArray();
  for (const std::string& text : statusFlagTexts(flags)) json.value(text);
  json.endArray();
}

void writeDibJson(JsonWriter& json, const DibRecord& d) {
  json.beginObject()
      .key("strusize").value(static_cast<uint32_t>(d.strusize))
      .key("struvers").value(static_cast<uint32_t>(d.struvers))
      .key("supplier").value(static_cast<uint32_t>(d.supplier))
      .key("meter_id").value(plain(d.meter_id))
      .key("last_alt").value(formatMeterTime(d.last_alt))
      .key("trans_id").value(d.trans_id)
      .key("transpin").value(static_cast<uint32_t>(d.transpin))
      .key("flows_id").value(d.flows_id)
      .key("press_id").value(d.press_id)
      .key("calibore").value(static_cast<double>(d.calibore))
      .key("aux_word").value(static_cast<uint32_t>(d.aux_word))
      .key("flowcont").value(plain(d.flowcont))
      .key("trancont").value(plain(d.trancont))
      .key("prescont").value(plain(d.prescont))
      .key("transtag").value(plain(d.transtag))
      .key("presstag").value(plain(d.presstag))
      .key("manufact").value(plain(d.manufact))
      .key("transtyp").value(plain(d.transtyp))
      .key("business").value(plain(d.business))
      .key("location").value(plain(d.location))
      .key("flowcali").value(plain(d.flowcali))
      .key("prescali").value(plain(d.prescali))
      .key("usermess").value(plain(d.usermess))
      .key("tranvers").value(plain(d.tranvers))
      .key("protvers").value(plain(d.protvers))
      .key("loggvers").value(plain(d.loggvers))
      .endObject();
}

void writeHeaderJson(JsonWriter& json, const LoggerData& logger) {
  json.beginObject().key("logNo").value(static_cast<int64_t>(logger.logNo));
  if (logger.totalsLogger()) {
    const TotalsHeaderRecord& h = logger.totalsHeader;
    json.key("formatVersion").value(static_cast<uint32_t>(h.formatVersion))
        .key("type").value(static_cast<uint32_t>(h.type))
        .key("supplier").value(static_cast<uint32_t>(h.supplier))
        .key("siteId").value(plain(h.siteId))
        .key("currentDateTime").value(formatMeterTime(h.currentDateTime))
        .key("priorDateTime").value(formatMeterTime(h.priorDateTime))
        .key("postDateTime").value(formatMeterTime(h.postDateTime))
        .key("auxText").value(plain(h.auxText))
        .key("auxValue").value(static_cast<double>(h.auxValue))
        .key("firstRecordDateTime").value(formatMeterTime(h.firstRecordDateTime))
        .key("firstRecordRSN").value(h.firstRecordRSN)
        .key("lastRecordDateTime").value(formatMeterTime(h.lastRecordDateTime))
        .key("lastRecordRSN").value(h.lastRecordRSN);
    writeFlags(json, h.statusFlags);
    json.key("count").value(h.count);
  } else {
    const DataHeaderRecord& h = logger.dataHeader;
    json.key("formatVersion").value(static_cast<uint32_t>(h.formatVersion))
        .key("type").value(static_cast<uint32_t>(h.type))
        .key("supplier").value(static_cast<uint32_t>(h.supplier))
        .key("siteId").value(plain(h.siteId))
        .key("currentDateTime").value(formatMeterTime(h.currentDateTime))
        .key("priorDateTime").value(formatMeterTime(h.priorDateTime))
        .key("postDateTime").value(formatMeterTime(h.postDateTime))
        .key("originalLoggerResetDateTime").value(formatMeterTime(h.originalLoggerResetDateTime))
        .key("correctedLoggerResetDateTime").value(formatMeterTime(h.correctedLoggerResetDateTime))
        .key("firstPairDateTime").value(formatMeterTime(h.firstPairDateTime))
        .key("firstPairRSN").value(h.firstPairRSN)
        .key("lastPairDateTime").value(formatMeterTime(h.lastPairDateTime))
        .key("lastPairRSN").value(h.lastPairRSN)
        .key("loggingInterval").value(static_cast<uint32_t>(h.loggingInterval))
        .key("calibratedBore").value(static_cast<double>(h.calibratedBore))
        .key("velocityFormat").value(h.velocityFormat)
        .key("pressureFormat").value(h.pressureFormat)
        .key("heightOffset").value(static_cast<int64_t>(h.heightOffset));
    writeFlags(json, h.statusFlags);
    json.key("count").value(h.count);
  }
  json.endObject();
}

void writeOptional(JsonWriter& json, const std::optional<uint32_t>& value, bool isTime) {
  if (!value) {
    json.null();
  } else if (isTime) {
    json.value(formatMeterTime(*value));
  } else {
    json.value(*value);
  }
}

void writeEntriesJson(JsonWriter& json, const LoggerData& logger) {
  json.beginArray();
  for (size_t i = 0; i < logger.entryCount(); ++i) {
    json.beginObject().key("rsn");
    writeOptional(json, logger.entryRsn(i), false);
    json.key("time");
    writeOptional(json, logger.entryTime(i), true);
    if (logger.totalsLogger()) {
      const TotalsRecord& r = logger.totals[i];
      json.key("totals").beginArray();
      for (uint32_t total : r.totals) json.value(total);
      json.endArray()
          .key("extra1").value(static_cast<uint32_t>(r.extra1))
          .key("extra2").value(static_cast<uint32_t>(r.extra2))
          .key("crcValid").value(r.crcValid != 0);
    } else if (logger.raw) {
      json.key(flowColumn(true)).value(static_cast<uint32_t>(logger.rawPairs[i].flow))
          .key(pressureColumn(true)).value(static_cast<uint32_t>(logger.rawPairs[i].pressure));
    } else {
      json.key(flowColumn(false)).value(static_cast<double>(logger.convertedPairs[i].flow))
          .key(pressureColumn(false))
          .value(static_cast<double>(logger.convertedPairs[i].pressure));
    }
    json.endObject();
  }
  json.endArray();
}

}  // namespace

size_t LoggerData::entryCount() const {
  if (totalsLogger()) return totals.size();
  return raw ? rawPairs.size() : convertedPairs.size();
}

std::vector<std::string> statusFlagTexts(uint32_t flags) {
  std::vector<std::string> texts;
  for (unsigned bit = 0; bit < 32; ++bit) {
    if ((flags & (1u << bit)) == 0) continue;
    texts.push_back(bit + 1 < VB_STATUS_FLAG_TEXT_COUNT ? kStatusFlagTexts[bit + 1]
                                                        : "bit " + std::to_string(bit));
  }
  if (texts.empty()) texts.push_back(kStatusFlagTexts[0]);
  return texts;
}

std::string renderTable(const Outcome& outcome, size_t entryLimit) {
  std::string text;
  switch (outcome.request) {
    case Command::Dib:
      return dibTable(outcome.dib);
    case Command::Versions:
      for (int i = 0; i < 8; ++i) {
        text += "Version " + std::to_string(i + 1) + " : " +
                printable(outcome.versions.text[i], VB_TEXT_FIELD) + "\n";
      }
      return text;
    case Command::Header:
      return headerTable(outcome.logger);
    case Command::Download:
      text = headerTable(outcome.logger);
      text += "Entries                : " + std::to_string(outcome.logger.entryCount()) + "\n\n";
      text += entriesTable(outcome.logger, entryLimit);
      if (outcome.afterwards) text += "\n" + afterwardsTable(outcome);
      return text;
    case Command::Message: {
      std::string answer(outcome.answer.begin(), outcome.answer.end());
      return "Answer : " + printable(answer.data(), answer.size()) + "\n";
    }
    default:
      return text;
  }
}

void writeJson(JsonWriter& json, const Outcome& outcome) {
  json.beginObject().key("request").value(commandName(outcome.request));
  json.key("result").beginObject()
      .key("code").value(outcome.result.code)
      .key("source").value(plain(outcome.result.source))
      .key("message").value(plain(outcome.result.message))
      .endObject();
  if (outcome.succeeded) {
    switch (outcome.request) {
      case Command::Dib:
        json.key("dib");
        writeDibJson(json, outcome.dib);
        break;
      case Command::Versions:
        json.key("versions").beginArray();
        for (const auto& text : outcome.versions.text) json.value(plain(text));
        json.endArray();
        break;
      case Command::Header:
        json.key("header");
        writeHeaderJson(json, outcome.logger);
        break;
      case Command::Download:
        json.key("header");
        writeHeaderJson(json, outcome.logger);
        json.key("raw").value(outcome.logger.raw);
        json.key("entries");
        writeEntriesJson(json, outcome.logger);
        if (outcome.afterwards) {
          json.key("clockSet").value(outcome.clockSet);
          json.key("loggerRestarted").value(outcome.loggerEmptied);
          json.key("afterwards");
          writeHeaderJson(json, *outcome.afterwards);
        }
        break;
      case Command::Message:
        json.key("answer").value(std::string(outcome.answer.begin(), outcome.answer.end()));
        break;
      default:
        break;
    }
  }
  json.endObject();
}

void writeErrorJson(JsonWriter& json, Command request, const ResultRecord& result,
                    const std::string& message) {
  json.key("error").beginObject()
      .key("request").value(commandName(request))
      .key("code").value(result.code)
      .key("source").value(plain(result.source))
      .key("message").value(message)
      .endObject();
}

std::string renderCsv(const LoggerData& logger) {
  std::string text;
  char line[64];
  if (logger.totalsLogger()) {
    text = "time,rsn,total1,total2,total3,total4,total5,total6,total7,total8,extra1,extra2,"
           "crcValid\n";
  } else {
    text = std::string("time,rsn,") + flowColumn(logger.raw) + "," + pressureColumn(logger.raw) +
           "\n";
  }
  for (size_t i = 0; i < logger.entryCount(); ++i) {
    text += timeText(logger.entryTime(i), "") + "," + rsnText(logger.entryRsn(i), "");
    if (logger.totalsLogger()) {
      const TotalsRecord& r = logger.totals[i];
      for (uint32_t total : r.totals) text += "," + std::to_string(total);
      text += "," + std::to_string(r.extra1) + "," + std::to_string(r.extra2) + "," +
              std::to_string(r.crcValid) + "\n";
    } else if (logger.raw) {
      std::snprintf(line, sizeof line, ",%u,%u\n", logger.rawPairs[i].flow,
                    logger.rawPairs[i].pressure);
      text += line;
    } else {
      std::snprintf(line, sizeof line, ",%.9g,%.9g\n", logger.convertedPairs[i].flow,
                    logger.convertedPairs[i].pressure);
      text += line;
    }
  }
  return text;
}

std::string renderFlagsTable(uint32_t flags) {
  std::string text = hex32(flags) + "\n";
  for (const std::string& flagText : statusFlagTexts(flags)) text += "  " + flagText + "\n";
  return text;
}

void writeFlagsJson(JsonWriter& json, uint32_t flags) {
  json.beginObject();
  writeFlags(json, flags);
  json.endObject();
}

}  // namespace vb::cli
