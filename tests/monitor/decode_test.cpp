// The monitor's decoding of line traffic built with the link's own frame
// code: what each kind of traffic is reported as.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "frame.h"
#include "monitor.h"

namespace vb::monitor {
namespace {

using Bytes = std::vector<uint8_t>;

// Traffic of one case: chunks in order, each from one side.
struct Traffic {
  std::vector<std::pair<Direction, Bytes>> chunks;

  Traffic& add(Direction from, const Bytes& bytes) {
    chunks.emplace_back(from, bytes);
    return *this;
  }
  Traffic& text(Direction from, const std::string& text) {
    return add(from, Bytes(text.begin(), text.end()));
  }
};

constexpr Direction kHost = Direction::FromHost;
constexpr Direction kMeter = Direction::FromMeter;

// The frames of a message as the meter sends them, 117 message bytes a frame.
std::vector<Bytes> Frames(const Bytes& message) {
  std::vector<Bytes> frames;
  uint32_t position = 0;
  while (position < message.size()) {
    Bytes frame(link::kMaxBuiltFrame + 1);
    const uint32_t offered =
        std::min<uint32_t>(link::kFrameDataSize, static_cast<uint32_t>(message.size()) - position);
    frame.resize(link::BuildFrame(message.data() + position, offered, &position,
                                  link::FrameKind::kData, frame.data(), frame.size()));
    frames.push_back(frame);
  }
  return frames;
}

Bytes Control(uint8_t character, uint32_t argument = 0) {
  Bytes frame(link::kMaxBuiltFrame + 1);
  frame.resize(link::BuildControlFrame(character, argument, frame.data(), frame.size()));
  return frame;
}

// A meter message: marker, class, command, then the rest as given.
Bytes Message(uint8_t messageClass, uint16_t command, const Bytes& rest) {
  Bytes message(4 + rest.size());
  message[0] = 0xFF;
  message[1] = messageClass;
  message[2] = static_cast<uint8_t>(command);
  message[3] = static_cast<uint8_t>(command >> 8);
  std::copy(rest.begin(), rest.end(), message.begin() + 4);
  return message;
}

// A reply to GetDIB of `size` bytes: status 0, then a body of filler.
Bytes DibReply(size_t size) {
  Bytes rest = {0, 0};
  rest.resize(size - 4, 0x41);
  return Message(2, 11, rest);
}

Bytes Joined(const std::vector<Bytes>& parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

struct DecodeCase {
  const char* name;
  std::function<Traffic()> traffic;
  // "kind:text fragment" of the events expected, in order; other events may
  // come between them.
  std::vector<std::string> expected;
  std::vector<std::string> absent;  // kinds that must not appear
};

void PrintTo(const DecodeCase& c, std::ostream* out) { *out << c.name; }

std::vector<Event> Decode(const Traffic& traffic) {
  std::vector<Event> events;
  Monitor monitor([&events](const Event& event) { events.push_back(event); });
  // Chunks come further apart than the quiet time that ends a text without
  // a line end, as the turns of a call set-up dialogue do.
  uint64_t timeMs = 0;
  for (const auto& [from, bytes] : traffic.chunks) {
    timeMs += kQuietMs + 50;
    monitor.observe(from, timeMs, bytes.data(), bytes.size());
  }
  monitor.finish(timeMs + kQuietMs);
  return events;
}

class Decoding : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Decoding, ReportsTheTrafficAsExpected) {
  const std::vector<Event> events = Decode(GetParam().traffic());
  std::string shown;
  for (const Event& event : events) shown += event.kind + ": " + renderText(event) + "\n";
  size_t next = 0;
  for (const std::string& want : GetParam().expected) {
    const std::string kind = want.substr(0, want.find(':'));
    const std::string fragment = want.substr(want.find(':') + 1);
    while (next < events.size() &&
           !(events[next].kind == kind && events[next].text.find(fragment) != std::string::npos)) {
      ++next;
    }
    ASSERT_LT(next, events.size()) << "no " << want << " in order in\n" << shown;
    ++next;
  }
  for (const std::string& kind : GetParam().absent) {
    for (const Event& event : events) EXPECT_NE(event.kind, kind) << shown;
  }
  for (const Event& event : events) {
    EXPECT_EQ(nlohmann::json::parse(renderJson(event))["from"], directionName(event.direction))
        << renderJson(event);
  }
}

const Bytes kCancelSession = Message(3, 3, {4, 0, 0, 0, 0, 0, 5, 0});

INSTANTIATE_TEST_SUITE_P(
    Monitor, Decoding,
    ::testing::Values(
        DecodeCase{"WakeupThenCommand",
                   [] {
                     return Traffic()
                         .text(kHost, "Vey Automation: Merrowtide wakeup\r")
                         .add(kHost, Frames(kCancelSession)[0])
                         .add(kMeter, Control('0'));
                   },
                   {"wakeup:wake-up", "frame:first, last", "message:command CancelSession",
                    "frame:control ACK"},
                   {"unframed"}},
        DecodeCase{"ControlFramesByMeaning",
                   [] {
                     return Traffic()
                         .add(kMeter, Control('1'))
                         .add(kHost, Control('2', 0x1234))
                         .add(kHost, Control('3'))
                         .add(kMeter, Control('7'));
                   },
                   {"frame:control NAK", "frame:control RESEND from 4660", "frame:control ABORT",
                    "frame:control unsupported '7'"},
                   {"unframed"}},
        DecodeCase{"ReplyInOneChunkOrByteByByte",
                   [] {
                     Traffic traffic;
                     traffic.add(kHost, Frames(Message(2, 11, {2, 0, 0, 0, 0, 0}))[0]);
                     for (uint8_t byte : Joined(Frames(DibReply(300)))) {
                       traffic.add(kMeter, {byte});
                     }
                     return traffic;
                   },
                   {"message:command GetDIB", "reply:reply GetDIB, 300 bytes, status 0"},
                   {"gap", "unframed"}},
        DecodeCase{"LostMiddleFrameIsAGapUntilResent",
                   [] {
                     const std::vector<Bytes> frames = Frames(DibReply(300));
                     return Traffic()
                         .add(kHost, Frames(Message(2, 11, {2, 0, 0, 0, 0, 0}))[0])
                         .add(kMeter, frames[0])
                         .add(kMeter, frames[2])
                         .add(kHost, Control('2', 117))
                         .add(kMeter, frames[1]);
                   },
                   {"gap:bytes 117..234 missing", "incomplete:117..234",
                    "frame:control RESEND from 117", "resend:from offset 117",
                    "reply:reply GetDIB, 300 bytes"},
                   {}},
        DecodeCase{"BadPayloadCheckIsDropped",
                   [] {
                     Bytes frame = Frames(kCancelSession)[0];
                     frame[12] ^= 0x04;
                     return Traffic().add(kHost, frame);
                   },
                   {"frame:payload check BAD"},
                   {"message"}},
        DecodeCase{"FrameCutShortByTheNextStart",
                   [] {
                     const Bytes frame = Frames(kCancelSession)[0];
                     return Traffic()
                         .add(kHost, Bytes(frame.begin(), frame.begin() + 14))
                         .add(kHost, frame);
                   },
                   {"frame:cut short after 14 bytes", "message:command CancelSession"},
                   {}},
        DecodeCase{"NoiseIsCounted",
                   [] { return Traffic().add(kMeter, {0x80, 0x02, 0xFE, 0x7F}); },
                   {"unframed:4 bytes outside any frame",
                    "summary:0 good frames, 0 bad, 4 bytes outside any frame"},
                   {}},
        DecodeCase{"ModemDialogue",
                   [] {
                     return Traffic()
                         .text(kHost, "+++")
                         .text(kHost, "ATH\r")
                         .text(kMeter, "ATH\r\r\nOK\r\n")
                         .text(kHost, "ATD0123\r")
                         .text(kMeter, "\r\nNO CARRIER\r\n")
                         .text(kHost, "ATD0123\r")
                         .text(kMeter, "\r\nCONNECT 9600/RLP\r\n");
                   },
                   {"dialogue:escape", "dialogue:hang up", "dialogue:modem ready",
                    "dialogue:dial 0123", "dialogue:no carrier", "dialogue:call connected (9600/RLP)"},
                   {"unframed"}},
        DecodeCase{"PadDialogue",
                   [] {
                     return Traffic()
                         .text(kHost, "\x10" "CLR\r")
                         .text(kMeter, "\r\n*")
                         .text(kHost, "1234\r")
                         .text(kMeter, "1234\r\n")
                         .text(kMeter, "\r\nCLR OCC\r\n")
                         .text(kHost, "1234\r")
                         .text(kMeter, "\r\n1234 COM\r\n");
                   },
                   {"dialogue:recall and clear", "dialogue:PAD prompt",
                    "dialogue:call request to address 1234", "dialogue:number busy",
                    "dialogue:PAD call connected"},
                   {"unframed"}},
        // A reply broken off by a lost call is completed by the frames that
        // resume it, after the control exchanges of the resume.
        DecodeCase{"ResumedReplyCompletes",
                   [] {
                     const std::vector<Bytes> frames = Frames(DibReply(300));
                     return Traffic()
                         .add(kHost, Frames(Message(2, 11, {2, 0, 0, 0, 0, 0}))[0])
                         .add(kMeter, frames[0])
                         .text(kHost, "Vey Automation: Merrowtide wakeup\r")
                         .add(kHost, Frames(Message(3, 1, {2, 0, 0, 0, 0, 0}))[0])
                         .add(kMeter, Frames(Message(3, 1, {0, 0, 0, 0, 0, 0, 9, 0}))[0])
                         .add(kHost, Frames(Message(3, 2, {6, 0, 0, 0, 9, 0, 117, 0, 0, 0}))[0])
                         .add(kMeter, Frames(Message(3, 2, {0, 0, 0, 0, 0, 0, 9, 0}))[0])
                         .add(kMeter, frames[1])
                         .add(kMeter, frames[2]);
                   },
                   {"broken:117 bytes received", "reply:reply QueryPendingReply",
                    "message:RequestResume, 14 bytes, reply id 9 from offset 117",
                    "resumed:offset 117", "reply:reply GetDIB, 300 bytes, status 0"},
                   {"gap"}},
        DecodeCase{"RefusedCommandShowsItsStatus",
                   [] {
                     return Traffic()
                         .add(kHost, Frames(Message(2, 13, Bytes(18, 0)))[0])
                         .add(kMeter, Frames(Message(2, 13, {7, 0, 0, 0, 0, 0}))[0]);
                   },
                   {"reply:reply GetData, 10 bytes, status 7 \"No data in specified range\""},
                   {}}),
    [](const ::testing::TestParamInfo<DecodeCase>& info) { return std::string(info.param.name); });

// A GetData command of logger 1 with its selection and range.
Bytes GetData(uint16_t selection, uint32_t start, uint32_t end) {
  Bytes rest = {14, 0, 0, 0, 0, 0, 1, 0, static_cast<uint8_t>(selection),
                static_cast<uint8_t>(selection >> 8)};
  for (uint32_t value : {start, end}) {
    for (int shift = 0; shift < 32; shift += 8) rest.push_back(static_cast<uint8_t>(value >> shift));
  }
  return Message(2, 13, rest);
}

struct SelectionCase {
  const char* name;
  Bytes command;
  const char* text;  // what the command's line of text says of the selection
  nlohmann::json keys;  // the selection's JSON keys and values
};

void PrintTo(const SelectionCase& c, std::ostream* out) { *out << c.name; }

class GetDataSelection : public ::testing::TestWithParam<SelectionCase> {};

// The sender stays under "from"; the selection is named and its range has
// keys of its own, times as meter times.
TEST_P(GetDataSelection, IsNamedBesideTheSender) {
  const std::vector<Event> events = Decode(Traffic().add(kHost, Frames(GetParam().command)[0]));
  const auto command = std::find_if(events.begin(), events.end(),
                                    [](const Event& event) { return event.kind == "message"; });
  ASSERT_NE(command, events.end());
  EXPECT_NE(command->text.find(GetParam().text), std::string::npos) << command->text;
  const nlohmann::json json = nlohmann::json::parse(renderJson(*command));
  EXPECT_EQ(json["from"], "host") << json;
  EXPECT_EQ(json["command"], "GetData") << json;
  for (const char* key : {"start_time", "end_time", "start_record", "end_record", "start_value",
                          "end_value"}) {
    EXPECT_EQ(json.contains(key), GetParam().keys.contains(key)) << key << " in " << json;
  }
  for (const auto& [key, value] : GetParam().keys.items()) {
    EXPECT_EQ(json.value(key, nlohmann::json()), value) << key << " in " << json;
  }
}

// Meter times 2024-03-01T00:00:00 and 2024-03-02T12:30:00 as the command
// carries them, in seconds since 1990.
constexpr uint32_t kMarchFirst = 1078099200;
constexpr uint32_t kMarchSecondNoonish = kMarchFirst + 86400 + 45000;

INSTANTIATE_TEST_SUITE_P(
    Monitor, GetDataSelection,
    ::testing::Values(
        SelectionCase{"ByTime", GetData(0, kMarchFirst, kMarchSecondNoonish),
                      "selection by time 2024-03-01T00:00:00 to 2024-03-02T12:30:00",
                      {{"selection", "time"},
                       {"selection_code", 0},
                       {"reset", false},
                       {"start_time", "2024-03-01T00:00:00"},
                       {"end_time", "2024-03-02T12:30:00"}}},
        SelectionCase{"ByRecordNumbers", GetData(1, 1001, 1020),
                      "selection by record numbers 1001 to 1020",
                      {{"selection", "record numbers"},
                       {"selection_code", 1},
                       {"reset", false},
                       {"start_record", 1001},
                       {"end_record", 1020}}},
        SelectionCase{"All", GetData(2, 0, 0), "selection all",
                      {{"selection", "all"}, {"selection_code", 2}, {"reset", false}}},
        SelectionCase{"ByRecordNumbersThenReset", GetData(4, 7, 9),
                      "selection by record numbers 7 to 9, then reset",
                      {{"selection", "record numbers"},
                       {"selection_code", 4},
                       {"reset", true},
                       {"start_record", 7},
                       {"end_record", 9}}},
        SelectionCase{"Unknown", GetData(9, 5, 6), "selection 9 (unknown), 5 to 6",
                      {{"selection", "unknown"},
                       {"selection_code", 9},
                       {"start_value", 5},
                       {"end_value", 6}}}),
    [](const ::testing::TestParamInfo<SelectionCase>& info) {
      return std::string(info.param.name);
    });

}  // namespace
}  // namespace vb::monitor
