// vantbrook export: what a store holds, streamed row by row as CSV or JSON,
// so an export of millions of pairs needs no more memory than one row.
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

#include "collect_command.h"
#include "command_arguments.h"
#include "selection_check.h"
#include "exit_status.h"
#include "json_writer.h"
#include "meter_time.h"
#include "store.h"

namespace vb::cli {

namespace {

constexpr int kTotalsLogger = 3;
constexpr size_t kOutputBuffer = 1 << 20;

// "%.9g" of a converted value as the library delivered it (single precision).
void appendReal(std::string* out, double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.9g", static_cast<double>(static_cast<float>(value)));
  *out += text;
}

void appendInteger(std::string* out, int64_t value) {
  char text[24];
  const std::to_chars_result end = std::to_chars(text, text + sizeof text, value);
  out->append(text, end.ptr);
}

// Meter times as text, the date worked out once a day: an export writes
// hundreds of thousands of rows a second, most of them on the same day.
class TimeText {
 public:
  void append(std::string* out, uint32_t time) {
    const uint32_t day = time / kSecondsPerDay;
    if (day != day_ || date_.empty()) {
      day_ = day;
      date_ = formatMeterTime(day * kSecondsPerDay).substr(0, kDateLength);
    }
    uint32_t second = time % kSecondsPerDay;
    char clock[9] = {'0', '0', ':', '0', '0', ':', '0', '0', 0};
    for (int field : {0, 3, 6}) {
      const uint32_t value = field == 0 ? second / 3600 : field == 3 ? second / 60 % 60 : second % 60;
      clock[field] = static_cast<char>('0' + value / 10);
      clock[field + 1] = static_cast<char>('0' + value % 10);
    }
    *out += date_;
    out->append(clock, 8);
  }

 private:
  static constexpr uint32_t kSecondsPerDay = 86400;
  static constexpr size_t kDateLength = 11;  // "YYYY-MM-DDT"
  uint32_t day_ = 0;
  std::string date_;
};

// The file --output names is written aside and put in place only when the
// whole export succeeded, so a failed export leaves it as it was.
class AsideFile {
 public:
  explicit AsideFile(std::string path) : path_(std::move(path)), aside_(path_ + ".partial") {}
  ~AsideFile() {
    if (file_ == nullptr) return;
    std::fclose(file_);
    std::remove(aside_.c_str());
  }
  AsideFile(const AsideFile&) = delete;
  AsideFile& operator=(const AsideFile&) = delete;

  FILE* open() {
    file_ = std::fopen(aside_.c_str(), "wb");
    return file_;
  }
  // Closes the file and puts it in place; false when either failed.
  bool commit() {
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    if (closed && std::rename(aside_.c_str(), path_.c_str()) == 0) return true;
    std::remove(aside_.c_str());
    return false;
  }

 private:
  std::string path_;
  std::string aside_;
  FILE* file_ = nullptr;
};

class Output {
 public:
  explicit Output(FILE* file) : file_(file) { buffer_.reserve(kOutputBuffer); }
  std::string& line() { return buffer_; }
  // Writes the buffer out once it is large; false when the write failed.
  bool flush(bool force = false) {
    if (!force && buffer_.size() < kOutputBuffer - 4096) return true;
    const bool ok = std::fwrite(buffer_.data(), 1, buffer_.size(), file_) == buffer_.size();
    buffer_.clear();
    return ok;
  }

 private:
  FILE* file_;
  std::string buffer_;
};

}  // namespace

int runExport(const std::vector<std::string>& arguments) {
  CLI::App app;
  ExportArguments given;
  defineExport(app, given);
  if (std::optional<int> status = parseCommand(app, kExportText, arguments, kExitUsage)) {
    return *status;
  }
  const std::string& dbPath = given.dbPath;
  const bool csv = given.csv;
  const bool json = given.json;
  const int logNo = given.logNo;
  if (!csv && !json) {
    std::fputs("vantbrook: export: --csv or --json is required\n", stderr);
    return kExitUsage;
  }
  fleet::ExportFilter filter;
  filter.selection.meters = given.meters;
  filter.selection.lines = given.lines;
  if (logNo != 0) filter.logNo = logNo;
  for (auto [text, field] :
       {std::pair{&given.from, &filter.from}, std::pair{&given.to, &filter.to}}) {
    if (text->empty()) continue;
    *field = parseMeterTime(*text);
    if (!*field) {
      std::fprintf(stderr, "vantbrook: export: not a time: %s\n", text->c_str());
      return kExitUsage;
    }
  }
  if (filter.from && filter.to && *filter.from > *filter.to) {
    std::fprintf(stderr, "vantbrook: export: --from %s is after --to %s\n", given.from.c_str(),
                 given.to.c_str());
    return kExitUsage;
  }

  std::string error;
  std::unique_ptr<fleet::Store> store = fleet::Store::openForReading(dbPath, &error);
  if (!store) {
    std::fprintf(stderr, "vantbrook: %s\n", error.c_str());
    return kExitStoreFailed;
  }
  std::string unknown;
  if (!checkSelection(*store, filter.selection, &unknown, &error)) {
    std::fprintf(stderr, "vantbrook: cannot read %s: %s\n", dbPath.c_str(), error.c_str());
    return kExitStoreFailed;
  }
  if (!unknown.empty()) {
    std::fprintf(stderr, "vantbrook: export: %s\n", unknown.c_str());
    return kExitUsage;
  }
  const std::string& outputPath = given.outputPath;
  std::unique_ptr<AsideFile> aside;
  FILE* file = stdout;
  if (!outputPath.empty()) {
    aside = std::make_unique<AsideFile>(outputPath);
    file = aside->open();
    if (file == nullptr) {
      std::fprintf(stderr, "vantbrook: cannot write %s: %s\n", outputPath.c_str(),
                   std::strerror(errno));
      return kExitStoreFailed;
    }
  }
  Output out(file);
  bool writeOk = true;
  bool first = true;
  std::string& text = out.line();
  const bool totals = logNo == kTotalsLogger;
  if (csv) {
    text += totals ? "meter,logger,epoch,rsn,time,total1,total2,total3,total4,total5,total6,"
                     "total7,total8,extra1,extra2,crcValid\n"
                   : "meter,logger,epoch,rsn,time,flow,pressure,converted\n";
  } else {
    text += "[";
  }
  // CSV fields are quoted only when they need it; meter ids rarely do.
  auto csvText = [](const std::string& field) {
    if (field.find_first_of(",\"\n\r") == std::string::npos) return field;
    std::string quoted = "\"";
    for (char c : field) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
  };
  TimeText times;
  std::string lastMeter;
  std::string meterText;  // the last meter id as the output writes it
  auto begin = [&](const char* meterId, int logger, int epoch, uint32_t rsn,
                   std::optional<uint32_t> time) {
    if (lastMeter != meterId) {
      lastMeter = meterId;
      meterText = csv ? csvText(lastMeter) : jsonQuotedUtf8(lastMeter);
    }
    if (csv) {
      text += meterText;
      text += ',';
      appendInteger(&text, logger);
      text += ',';
      appendInteger(&text, epoch);
      text += ',';
      appendInteger(&text, rsn);
      text += ',';
      if (time) times.append(&text, *time);
    } else {
      text += first ? "\n{\"meter\":" : ",\n{\"meter\":";
      text += meterText;
      text += ",\"logger\":";
      appendInteger(&text, logger);
      text += ",\"epoch\":";
      appendInteger(&text, epoch);
      text += ",\"rsn\":";
      appendInteger(&text, rsn);
      if (time) {
        text += ",\"time\":\"";
        times.append(&text, *time);
        text += '"';
      } else {
        text += ",\"time\":null";
      }
    }
    first = false;
  };
  bool read = false;
  if (totals) {
    read = store->forEachTotals(filter, [&](const fleet::TotalsRow& row) {
      begin(row.meter, kTotalsLogger, row.epoch, row.rsn, row.time);
      for (int k = 0; k < 8; ++k) {
        text += csv ? "," : ",\"total" + std::to_string(k + 1) + "\":";
        text += std::to_string(row.totals[k]);
      }
      text += (csv ? "," : ",\"extra1\":") + std::to_string(row.extra1);
      text += (csv ? "," : ",\"extra2\":") + std::to_string(row.extra2);
      text += (csv ? "," : ",\"crcValid\":") + std::to_string(row.crcValid ? 1 : 0);
      text += csv ? "\n" : "}";
      writeOk = out.flush();
      return writeOk;
    }, &error);
  } else {
    read = store->forEachPair(filter, [&](const fleet::PairRow& row) {
      begin(row.meter, row.logNo, row.epoch, row.rsn, row.time);
      const char* absent = csv ? "" : "null";
      text += csv ? "," : ",\"flow\":";
      if (row.converted) {
        row.flow ? appendReal(&text, *row.flow) : void(text += absent);
      } else {
        row.rawFlow ? appendInteger(&text, *row.rawFlow) : void(text += absent);
      }
      text += csv ? "," : ",\"pressure\":";
      if (row.converted) {
        row.pressure ? appendReal(&text, *row.pressure) : void(text += absent);
      } else {
        row.rawPressure ? appendInteger(&text, *row.rawPressure) : void(text += absent);
      }
      if (csv) {
        text += row.converted ? ",1\n" : ",0\n";
      } else {
        text += row.converted ? ",\"converted\":true}" : ",\"converted\":false}";
      }
      writeOk = out.flush();
      return writeOk;
    }, &error);
  }
  if (json) text += first ? "]\n" : "\n]\n";
  writeOk = writeOk && out.flush(true);
  if (!read) {
    std::fprintf(stderr, "vantbrook: cannot read %s: %s\n", dbPath.c_str(), error.c_str());
    return kExitStoreFailed;
  }
  if (!writeOk || std::fflush(file) != 0 || (aside && !aside->commit())) {
    std::fprintf(stderr, "vantbrook: cannot write the export%s%s: %s\n",
                 outputPath.empty() ? "" : " to ", outputPath.c_str(), std::strerror(errno));
    return kExitStoreFailed;
  }
  return kExitOk;
}

}  // namespace vb::cli
