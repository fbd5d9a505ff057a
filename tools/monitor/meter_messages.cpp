#include "meter_messages.h"

#include <cstring>

#include "common/result.h"
#include "formats/cdtf.h"
#include "formats/dib.h"
#include "formats/fields.h"
#include "formats/pairs.h"
#include "formats/totals.h"
#include "formats/versions.h"
#include "message_frame.h"
#include "meter_time.h"
#include "vantbrook/vantbrook.h"

namespace vb::monitor {

namespace {

// Fields of a message the caller has checked to be long enough, read with
// the reply decoders' bounded readers.
uint16_t GetU16(const uint8_t* at) {
  uint32_t cursor = 0;
  return request::ReadU16(cursor, at, sizeof(uint16_t));
}

uint32_t GetU32(const uint8_t* at) {
  uint32_t cursor = 0;
  return request::ReadU32(cursor, at, sizeof(uint32_t));
}

// The logger whose header and entries are totals records.
constexpr uint16_t kTotalsLogger = 3;
// Header and download commands carry the logger number here.
constexpr uint32_t kLogNoOffset = 10;
constexpr uint32_t kUnlockPasswordOffset = 10;

struct CommandName {
  uint8_t messageClass;
  uint16_t command;
  const char* name;
};

constexpr CommandName kCommandNames[] = {
    {request::kClassMeterCommand, request::kCmdGetVersions, "GetVersions"},
    {request::kClassMeterCommand, request::kCmdSetTime, "SetTime"},
    {request::kClassMeterCommand, request::kCmdUnlock, "Unlock"},
    {request::kClassMeterCommand, request::kCmdLock, "Lock"},
    {request::kClassMeterCommand, request::kCmdGetDib, "GetDIB"},
    {request::kClassMeterCommand, request::kCmdGetHeader, "GetHeader"},
    {request::kClassMeterCommand, request::kCmdGetData, "GetData"},
    {request::kClassMeterCommand, request::kCmdRestartLogger, "RestartLogger"},
    {request::kClassMeterCommand, request::kCmdRestartLoggerWithParameters,
     "RestartLogger with parameters"},
    {request::kClassControl, request::kCtlQueryPendingReply, "QueryPendingReply"},
    {request::kClassControl, request::kCtlRequestResume, "RequestResume"},
    {request::kClassControl, request::kCtlCancelSession, "CancelSession"},
};

std::string commandName(uint8_t messageClass, uint16_t command) {
  for (const CommandName& entry : kCommandNames) {
    if (entry.messageClass == messageClass && entry.command == command) return entry.name;
  }
  return "command " + std::to_string(messageClass) + "/" + std::to_string(command);
}

bool isMeterMessage(const std::vector<uint8_t>& message) {
  return message.size() >= request::kReplyStatusEnd && message[0] == request::kMessageMarker;
}

std::string sizeText(size_t size) { return std::to_string(size) + " bytes"; }

// A request record that points the reply decoders at the message.
RequestRecord decoderRequest(std::vector<uint8_t>& bytes, int16_t requestCode, void* download) {
  RequestRecord record;
  std::memset(&record, 0, sizeof record);
  record.requestCode = requestCode;
  record.data = bytes.data();
  record.dataLength = static_cast<uint32_t>(bytes.size());
  record.download = download;
  record.linkHandle = -1;
  record.portHandle = -1;
  return record;
}

template <size_t N>
std::string fieldText(const char (&field)[N]) {
  return std::string(field, strnlen(field, N));
}

// What a GetData selection asks for, by the number the command carries.
enum class SelectionRange { Time, RecordNumbers, Everything };

struct SelectionKind {
  int16_t code;
  const char* name;
  SelectionRange range;
  bool reset;  // the meter empties the logger once it has sent the selection
};

constexpr SelectionKind kSelectionKinds[] = {
    {request::kSelectByTime, "time", SelectionRange::Time, false},
    {request::kSelectByRsn, "record numbers", SelectionRange::RecordNumbers, false},
    {request::kSelectAll, "all", SelectionRange::Everything, false},
    {request::kSelectByTimeAlso, "time", SelectionRange::Time, false},
    {request::kSelectByRsnAndReset, "record numbers", SelectionRange::RecordNumbers, true},
    {request::kSelectReset, "all", SelectionRange::Everything, true},
};

std::string meterTimeText(uint32_t cdtf) { return cli::formatMeterTime(request::CdtfToHost(cdtf)); }

// The selection's kind under "selection" and its range under keys of its
// own: "from" names the sender of every event.
void describeSelection(uint16_t code, uint32_t start, uint32_t end, MessageReading* reading) {
  const SelectionKind* kind = nullptr;
  for (const SelectionKind& candidate : kSelectionKinds) {
    if (static_cast<uint16_t>(candidate.code) == code) kind = &candidate;
  }
  reading->fields["selection"] = kind ? kind->name : "unknown";
  reading->fields["selection_code"] = code;
  reading->fields["reset"] = kind && kind->reset;
  if (kind == nullptr) {
    reading->fields["start_value"] = start;
    reading->fields["end_value"] = end;
    reading->text += ", selection " + std::to_string(code) + " (unknown), " +
                     std::to_string(start) + " to " + std::to_string(end);
    return;
  }
  switch (kind->range) {
    case SelectionRange::Time:
      reading->fields["start_time"] = meterTimeText(start);
      reading->fields["end_time"] = meterTimeText(end);
      reading->text += ", selection by time " + meterTimeText(start) + " to " + meterTimeText(end);
      break;
    case SelectionRange::RecordNumbers:
      reading->fields["start_record"] = start;
      reading->fields["end_record"] = end;
      reading->text += ", selection by record numbers " + std::to_string(start) + " to " +
                       std::to_string(end);
      break;
    case SelectionRange::Everything:
      reading->text += ", selection all";
      break;
  }
  if (kind->reset) reading->text += ", then reset";
}

void summariseDib(std::vector<uint8_t> bytes, MessageReading* reading) {
  DibRecord dib{};
  ResultRecord result{};
  RequestRecord record = decoderRequest(bytes, VB_REQ_DIB, nullptr);
  if (!request::ProcessDIBData(&dib, &record, &result, record.dataLength)) return;
  reading->fields["meter_id"] = fieldText(dib.meter_id);
  reading->text += ", meter id \"" + fieldText(dib.meter_id) + "\"";
}

void summariseVersions(std::vector<uint8_t> bytes, MessageReading* reading) {
  VersionRecord versions{};
  ResultRecord result{};
  RequestRecord record = decoderRequest(bytes, VB_REQ_VERSIONS, &versions);
  if (!request::ProcessVersionInfo(nullptr, &record, &result, record.dataLength)) return;
  reading->fields["first_version"] = fieldText(versions.text[0]);
  reading->text += ", first version \"" + fieldText(versions.text[0]) + "\"";
}

void addLoggerSummary(uint16_t logNo, uint32_t first, uint32_t last, MessageReading* reading) {
  reading->fields["logger"] = logNo;
  reading->fields["first_rsn"] = first;
  reading->fields["last_rsn"] = last;
  reading->text += ", logger " + std::to_string(logNo) + " records " + std::to_string(first) +
                   ".." + std::to_string(last);
}

void addEntries(uint32_t count, MessageReading* reading) {
  reading->fields["entries"] = count;
  reading->text += ", " + std::to_string(count) + " entries";
}

void summariseLogger(std::vector<uint8_t> bytes, const CommandContext& context,
                     MessageReading* reading) {
  const bool download = context.command == request::kCmdGetData;
  ResultRecord result{};
  DibRecord dib{};
  if (context.logNo == kTotalsLogger) {
    TotalsHeaderRecord header{};
    std::vector<TotalsRecord> entries(bytes.size() / request::kTotalsEntryWireSize + 1);
    DownloadRecord target{&header, entries.data(), static_cast<uint32_t>(entries.size())};
    RequestRecord record =
        decoderRequest(bytes, download ? VB_REQ_DOWNLOAD_RAW : VB_REQ_HEADER, &target);
    if (!request::ProcessSentTotals(&dib, &record, &result, record.dataLength)) return;
    addLoggerSummary(context.logNo, header.firstRecordRSN, header.lastRecordRSN, reading);
    if (download) addEntries(header.count, reading);
    return;
  }
  DataHeaderRecord header{};
  std::vector<RawPair> entries(bytes.size() / request::kPairEntryWireSize + 1);
  DownloadRecord target{&header, entries.data(), static_cast<uint32_t>(entries.size())};
  RequestRecord record =
      decoderRequest(bytes, download ? VB_REQ_DOWNLOAD_RAW : VB_REQ_HEADER, &target);
  if (!request::ProcessSentData(&dib, &record, &result, record.dataLength)) return;
  addLoggerSummary(context.logNo, header.firstPairRSN, header.lastPairRSN, reading);
  if (download) addEntries(header.count, reading);
}

}  // namespace

MessageReading readCommand(const std::vector<uint8_t>& message, CommandContext* context) {
  MessageReading reading;
  reading.fields["size"] = message.size();
  if (message.size() < request::kReplyStatusOffset || message[0] != request::kMessageMarker) {
    *context = CommandContext{};
    reading.fields["command"] = nullptr;
    reading.text = "message passed through, " + sizeText(message.size());
    return reading;
  }
  context->known = true;
  context->messageClass = message[1];
  context->command = GetU16(&message[request::kReplyCommandOffset]);
  context->logNo = message.size() >= kLogNoOffset + 2 ? GetU16(&message[kLogNoOffset]) : 0;
  const std::string name = commandName(context->messageClass, context->command);
  reading.fields["command"] = name;
  reading.text = "command " + name + ", " + sizeText(message.size());
  const bool meterCommand = context->messageClass == request::kClassMeterCommand;
  if (meterCommand && (context->command == request::kCmdGetHeader ||
                       context->command == request::kCmdGetData ||
                       context->command == request::kCmdRestartLogger ||
                       context->command == request::kCmdRestartLoggerWithParameters)) {
    reading.fields["logger"] = context->logNo;
    reading.text += ", logger " + std::to_string(context->logNo);
  }
  if (meterCommand && context->command == request::kCmdGetData &&
      message.size() >= request::kGetDataSent) {
    describeSelection(GetU16(&message[request::kGetDataSelectionOffset]),
                      GetU32(&message[request::kGetDataFromOffset]),
                      GetU32(&message[request::kGetDataToOffset]), &reading);
  }
  if (meterCommand && context->command == request::kCmdUnlock &&
      message.size() > kUnlockPasswordOffset) {
    // The password itself is not shown, only its length.
    const size_t length = strnlen(reinterpret_cast<const char*>(&message[kUnlockPasswordOffset]),
                                  message.size() - kUnlockPasswordOffset);
    reading.fields["password_length"] = length;
    reading.text += ", password of " + std::to_string(length) + " characters";
  }
  if (context->messageClass == request::kClassControl &&
      context->command == request::kCtlRequestResume &&
      message.size() >= request::kRequestResumeSent) {
    const uint16_t id = GetU16(&message[request::kCommandHeaderLength - 2]);
    const uint32_t offset = GetU32(&message[request::kCommandHeaderLength]);
    reading.fields["reply_id"] = id;
    reading.fields["offset"] = offset;
    reading.text += ", reply id " + std::to_string(id) + " from offset " + std::to_string(offset);
  }
  return reading;
}

MessageReading readReply(const std::vector<uint8_t>& message, const CommandContext& context) {
  MessageReading reading;
  reading.fields["size"] = message.size();
  if (!isMeterMessage(message)) {
    reading.fields["command"] = nullptr;
    reading.text = "reply that is no meter message, " + sizeText(message.size());
    return reading;
  }
  const uint16_t echo = GetU16(&message[request::kReplyCommandOffset]);
  const uint16_t status = GetU16(&message[request::kReplyStatusOffset]);
  // Class 2 and 3 share command numbers; the command just sent tells them apart.
  const uint8_t messageClass = context.known && context.command == echo
                                   ? context.messageClass
                                   : request::kClassMeterCommand;
  const std::string name = commandName(messageClass, echo);
  reading.fields["command"] = name;
  reading.fields["status"] = status;
  reading.text = "reply " + name + ", " + sizeText(message.size());
  if (context.known && context.command != echo) {
    reading.fields["expected_command"] = commandName(context.messageClass, context.command);
    reading.text += ", but " + commandName(context.messageClass, context.command) + " was sent";
  }
  if (status != 0) {
    const std::string meaning = request::ResultText(status);
    reading.fields["status_text"] = meaning;
    reading.text += ", status " + std::to_string(status) +
                    (meaning.empty() ? std::string(" (unknown)") : " \"" + meaning + "\"");
    return reading;
  }
  reading.text += ", status 0";
  if (messageClass == request::kClassControl) {
    if ((echo == request::kCtlQueryPendingReply || echo == request::kCtlRequestResume) &&
        message.size() >= request::kControlReplyIdOffset + 2) {
      const uint16_t id = GetU16(&message[request::kControlReplyIdOffset]);
      reading.fields["reply_id"] = id;
      reading.text += ", reply id " + std::to_string(id);
    }
    return reading;
  }
  switch (echo) {
    case request::kCmdGetDib:
      summariseDib(message, &reading);
      break;
    case request::kCmdGetVersions:
      summariseVersions(message, &reading);
      break;
    case request::kCmdGetHeader:
    case request::kCmdGetData:
      if (context.known && context.command == echo) summariseLogger(message, context, &reading);
      break;
    default:
      break;
  }
  return reading;
}

}  // namespace vb::monitor
