// Bad host input: each row sets one field of the request (or one host
// record) to an extreme and runs the request against a healthy simulated
// meter. Whatever the row, the request returns 0 or 1 with a well-formed
// ResultRecord (a known code, a source, a terminated message), gives the host
// back its data pointer and length, and writes nothing outside the host's
// records, each of which sits between guard bytes. Rows that must be refused
// name the code and, where it is fixed, the message.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "guarded.h"
#include "metersim/simulator.h"
#include "platform/devicemap.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "test_meter_clock.h"
#include "vantbrook/vantbrook.h"

namespace vb::hostinput {
namespace {

constexpr uint32_t kPairs = 50;
constexpr uint32_t kTotals = 20;
constexpr size_t kEntryRoom = 64;

// Every record a host hands over, each between its own guards.
struct Host {
  Guarded<RequestRecord> request;
  Guarded<ResultRecord> result;
  Guarded<DibRecord> dib;
  Guarded<DownloadRecord> download;
  Guarded<DataHeaderRecord> pairHeader;
  Guarded<RawPair> pairs{kEntryRoom};
  Guarded<TotalsHeaderRecord> totalsHeader;
  Guarded<TotalsRecord> totals{kEntryRoom};
  Guarded<VersionRecord> versions;
  std::unique_ptr<Guarded<uint8_t>> message;
  bool passNullDib = false;

  Host() {
    RequestRecord& r = *request;
    r.portNumber = 1;
    std::memcpy(r.protocol, "COM1", 4);
    r.receiveTimeout = 3000;
    r.frameTimeout = 1000;
    r.linkHandle = -1;
    r.portHandle = -1;
    r.logNo = 1;
    r.specifier = 2;
    r.commandAttempts = 2;
    r.reconnectAttempts = 1;
    r.resumeLimit = 2;
    r.requestCode = VB_REQ_DIB;
  }

  void Pairs(int16_t code) {
    request->requestCode = code;
    request->logNo = 1;
    *download = DownloadRecord{pairHeader.get(), pairs.get(), kEntryRoom};
    request->download = download.get();
  }
  void Totals(int16_t code) {
    request->requestCode = code;
    request->logNo = 3;
    *download = DownloadRecord{totalsHeader.get(), totals.get(), kEntryRoom};
    request->download = download.get();
  }
  // A host buffer of exactly `length` bytes holding text without a NUL.
  void Message(uint32_t length, const char* text) {
    message = std::make_unique<Guarded<uint8_t>>(length);
    for (uint32_t i = 0; i < length; ++i) message->get()[i] = static_cast<uint8_t>(text[i % std::strlen(text)]);
    request->requestCode = VB_REQ_MESSAGE;
    request->data = message->get();
    request->dataLength = length;
  }

  std::string BrokenGuards() {
    std::string broken;
    const auto check = [&broken](bool intact, const char* name) {
      if (!intact) broken += std::string(" ") + name;
    };
    check(request.intact(), "request");
    check(result.intact(), "result");
    check(dib.intact(), "dib");
    check(download.intact(), "download");
    check(pairHeader.intact(), "pairHeader");
    check(pairs.intact(), "pairs");
    check(totalsHeader.intact(), "totalsHeader");
    check(totals.intact(), "totals");
    check(versions.intact(), "versions");
    if (message) check(message->intact(), "message");
    return broken;
  }
};

struct HostCase {
  const char* name;
  void (*prepare)(Host& host);
  std::set<int32_t> codes;  // empty: any well-formed outcome
  const char* message = nullptr;
};

void PrintTo(const HostCase& row, std::ostream* out) { *out << row.name; }

const std::set<int32_t> kRefused = {VB_COMMAND_NOT_SUCCESSFUL};
const std::set<int32_t> kLogNo = {VB_LOGNO_MISMATCH};
const std::set<int32_t> kNoBuffer = {VB_CANNOT_ALLOCATE_MEMORY};
const std::set<int32_t> kPortError = {VB_PORT_DRIVER_ERROR};
const std::set<int32_t> kNotImplemented = {VB_NOT_IMPLEMENTED};
const std::set<int32_t> kSuccess = {VB_OK};

template <int16_t Code, int16_t LogNo>
void LogNoCase(Host& host) {
  host.Pairs(Code);
  host.request->logNo = LogNo;
}

template <int16_t Specifier>
void SpecifierCase(Host& host) {
  host.Pairs(VB_REQ_DOWNLOAD_RAW);
  host.request->specifier = Specifier;
}

template <int16_t Code>
void RequestCodeCase(Host& host) {
  host.request->requestCode = Code;
}

template <int16_t Code>
void NullDownloadCase(Host& host) {
  host.request->requestCode = Code;
  host.request->download = nullptr;
}

template <int16_t PortNumber, char First>
void DriverPortCase(Host& host) {
  const char protocol[4] = {First, First == 'p' ? 'n' : 'i', First == 'p' ? 'e' : 'a',
                            First == 'p' ? 't' : 'l'};
  std::memcpy(host.request->protocol, protocol, 4);
  host.request->portNumber = PortNumber;
}

template <char Port>
void ComProtocolCase(Host& host) {
  const char protocol[4] = {'C', 'O', 'M', Port};
  std::memcpy(host.request->protocol, protocol, 4);
}

template <int32_t Start, int32_t End, int16_t Specifier>
void RangeCase(Host& host) {
  host.Pairs(VB_REQ_DOWNLOAD_RAW);
  host.request->specifier = Specifier;
  host.request->rangeStart = Start;
  host.request->rangeEnd = End;
}

constexpr int32_t kMin32 = INT32_MIN;
constexpr int32_t kMax32 = INT32_MAX;

const HostCase kCases[] = {
    // Texts filled to the end of their fields without a NUL.
    {"UnterminatedPassword_Download",
     [](Host& h) {
       h.Pairs(VB_REQ_DOWNLOAD_RAW);
       std::memset(h.request->password, 'p', sizeof h.request->password);
     },
     kSuccess},
    {"UnterminatedAddress_Dib",
     [](Host& h) { std::memset(h.request->address, 'A', sizeof h.request->address); }, kSuccess},
    {"UnterminatedAddress_PadDriver",
     [](Host& h) {
       std::memcpy(h.request->protocol, "pnet", 4);
       std::memset(h.request->address, '7', sizeof h.request->address);
     },
     kPortError},
    {"ProtocolOfFourNuls", [](Host& h) { std::memset(h.request->protocol, 0, 4); }, kPortError},
    {"ProtocolOfHighBytes", [](Host& h) { std::memset(h.request->protocol, 0xFF, 4); }, kPortError},
    {"ProtocolWithPathSeparator", [](Host& h) { std::memcpy(h.request->protocol, "../x", 4); },
     kPortError},
    {"Com0", ComProtocolCase<'0'>, kPortError},
    {"Com9", ComProtocolCase<'9'>, kPortError},
    {"PortNumber0_Pad", DriverPortCase<0, 'p'>, kPortError, "Port number not recognised"},
    {"PortNumber9_Pad", DriverPortCase<9, 'p'>, kPortError, "Port number not recognised"},
    {"PortNumber0_Modem", DriverPortCase<0, 'd'>, kPortError, "Port number not recognised"},
    {"PortNumber9_Modem", DriverPortCase<9, 'd'>, kPortError, "Port number not recognised"},
    {"PortNumberNegative_Pad", DriverPortCase<-32768, 'p'>, kPortError,
     "Port number not recognised"},
    // Capacities whose reply room does not fit in 32 bits.
    {"CapacityAllOnes_Pairs",
     [](Host& h) {
       h.Pairs(VB_REQ_DOWNLOAD_RAW);
       h.download->capacity = 0xFFFFFFFFu;
     },
     kNoBuffer, "Could not allocate memory for buffer"},
    {"CapacityAllOnes_Converted",
     [](Host& h) {
       h.Pairs(VB_REQ_DOWNLOAD_CONVERTED);
       h.download->capacity = 0xFFFFFFFFu;
     },
     kNoBuffer, "Could not allocate memory for buffer"},
    {"CapacityOverflow_Totals",
     [](Host& h) {
       h.Totals(VB_REQ_DOWNLOAD_RAW);
       h.download->capacity = 0x06666666u;
     },
     kNoBuffer, "Could not allocate memory for buffer"},
    // Missing host records.
    {"NullDownload_Converted", NullDownloadCase<VB_REQ_DOWNLOAD_CONVERTED>, kRefused},
    {"NullDownload_Raw", NullDownloadCase<VB_REQ_DOWNLOAD_RAW>, kRefused},
    {"NullDownload_Header", NullDownloadCase<VB_REQ_HEADER>, kRefused},
    {"NullDownload_Versions", NullDownloadCase<VB_REQ_VERSIONS>, kRefused},
    {"NullHeader_Download",
     [](Host& h) {
       h.Pairs(VB_REQ_DOWNLOAD_RAW);
       h.download->header = nullptr;
     },
     kRefused, "No header record given"},
    {"NullEntriesWithCapacity",
     [](Host& h) {
       h.Pairs(VB_REQ_DOWNLOAD_RAW);
       h.download->entries = nullptr;
     },
     kRefused, "No entry array given"},
    {"NullEntriesNoCapacity",
     [](Host& h) {
       h.Totals(VB_REQ_DOWNLOAD_RAW);
       h.download->entries = nullptr;
       h.download->capacity = 0;
     },
     {VB_MESSAGE_TRUNCATED}},
    {"NullDib", [](Host& h) { h.passNullDib = true; }, kRefused, "No DIB record given"},
    // Host data pointer and length that disagree.
    {"NullDataWithLength_Message",
     [](Host& h) {
       h.request->requestCode = VB_REQ_MESSAGE;
       h.request->dataLength = 100;
     },
     kRefused, "No message buffer given"},
    {"NullDataWithLength_Dib", [](Host& h) { h.request->dataLength = 0xFFFFFFFFu; }, kSuccess},
    {"NullDataWithLength_Restart",
     [](Host& h) {
       h.Pairs(VB_REQ_DOWNLOAD_RAW);
       h.request->specifier = 1002;
       h.request->dataLength = 50;
     },
     {}},
    {"ShortRestartParameters",
     [](Host& h) {
       h.Pairs(VB_REQ_DOWNLOAD_RAW);
       h.message = std::make_unique<Guarded<uint8_t>>(3);
       h.request->data = h.message->get();
       h.request->dataLength = 3;
       h.request->specifier = 1002;
     },
     kRefused, "Restart parameters need 6 bytes of host data, got 3"},
    {"EmptyMessageText",
     [](Host& h) {
       h.Message(8, "x");
       std::memset(h.message->get(), 0, 8);
     },
     {}},
    // Logger numbers outside 1..3.
    {"LogNoMin_Converted", LogNoCase<VB_REQ_DOWNLOAD_CONVERTED, INT16_MIN>, kLogNo},
    {"LogNoMinusOne_Raw", LogNoCase<VB_REQ_DOWNLOAD_RAW, -1>, kLogNo},
    {"LogNo0_Header", LogNoCase<VB_REQ_HEADER, 0>, kLogNo},
    {"LogNo4_Raw", LogNoCase<VB_REQ_DOWNLOAD_RAW, 4>, kLogNo},
    {"LogNoMax_Header", LogNoCase<VB_REQ_HEADER, INT16_MAX>, kLogNo},
    {"LogNoIgnoredByDib", [](Host& h) { h.request->logNo = INT16_MIN; }, kSuccess},
    // Selections outside 0..5 with and without the restart flag.
    {"SpecifierMin", SpecifierCase<INT16_MIN>, {}},
    {"SpecifierMinusOne", SpecifierCase<-1>, {}},
    {"Specifier6", SpecifierCase<6>, {}},
    {"Specifier999", SpecifierCase<999>, {}},
    {"Specifier1006", SpecifierCase<1006>, {}},
    {"SpecifierMax", SpecifierCase<INT16_MAX>, {}},
    {"RangeExtremesByTime", RangeCase<kMin32, kMax32, 0>, {VB_OK, VB_NO_DATA_IN_RANGE}},
    {"RangeReversedByTime", RangeCase<kMax32, kMin32, 0>, {VB_OK, VB_NO_DATA_IN_RANGE}},
    {"RangeExtremesByRsn", RangeCase<kMin32, kMax32, 1>, {VB_OK, VB_NO_DATA_IN_RANGE}},
    {"RangeReversedByRsn", RangeCase<kMax32, kMin32, 1>, {VB_OK, VB_NO_DATA_IN_RANGE}},
    // Request codes nobody serves.
    {"RequestCodeMin", RequestCodeCase<INT16_MIN>, kNotImplemented, "Not implemented"},
    {"RequestCode0", RequestCodeCase<0>, kNotImplemented, "Not implemented"},
    {"RequestCode2737", RequestCodeCase<2737>, kNotImplemented, "Not implemented"},
    {"RequestCode2750", RequestCodeCase<2750>, kNotImplemented, "Not implemented"},
    {"RequestCodeMax", RequestCodeCase<INT16_MAX>, kNotImplemented, "Not implemented"},
    // Time-outs, attempts and limits at their ends on a healthy line.
    {"ReceiveTimeoutMax", [](Host& h) { h.request->receiveTimeout = 0xFFFFFFFFu; }, kSuccess},
    {"AttemptsAndLimitsMax",
     [](Host& h) {
       h.Pairs(VB_REQ_DOWNLOAD_RAW);
       h.request->commandAttempts = 0xFFFFFFFFu;
       h.request->reconnectAttempts = 0xFFFFFFFFu;
       h.request->resumeLimit = 0xFFFFFFFFu;
     },
     kSuccess},
    {"ReceiveTimeoutZero", [](Host& h) { h.request->receiveTimeout = 0; }, {}},
    {"FrameTimeoutZero", [](Host& h) { h.request->frameTimeout = 0; }, {}},
    // Handles the library never issued.
    {"StaleLinkHandle", [](Host& h) { h.request->linkHandle = 12345; }, kPortError},
    {"LinkHandleMax", [](Host& h) { h.request->linkHandle = INT32_MAX; }, kPortError},
    {"UnopenedPortHandle", [](Host& h) { h.request->portHandle = 9999; }, kPortError},
    {"NegativePortHandle", [](Host& h) { h.request->portHandle = -2; }, kPortError},
    // Odd values of the remaining fields.
    {"HoldConnectionNotOne", [](Host& h) { h.request->holdConnection = 7; }, kSuccess},
    {"SetTimeModeHighByte",
     [](Host& h) {
       h.Pairs(VB_REQ_DOWNLOAD_RAW);
       h.request->setTimeMode = static_cast<char>(0xFF);
     },
     kSuccess},
    {"ConnectCountAndReservedGarbage",
     [](Host& h) {
       h.request->connectCount = INT32_MIN;
       std::memset(h.request->reserved, 0xFF, sizeof h.request->reserved);
       h.request->linkReserved = INT32_MIN;
     },
     kSuccess},
};

class HostInput : public ::testing::TestWithParam<HostCase> {
 protected:
  static void SetUpTestSuite() {
    metersim::Options options;
    options.pairsPerLogger = kPairs;
    options.totalsRecords = kTotals;
    sim_ = new metersim::Simulator(vb::test::WithMeterClock(options));
    ASSERT_TRUE(sim_->start()) << sim_->error();
    ASSERT_TRUE(platform::setComDevicePath(1, sim_->devicePath()));
  }
  static void TearDownTestSuite() {
    delete sim_;
    sim_ = nullptr;
  }

  static metersim::Simulator* sim_;
};

metersim::Simulator* HostInput::sim_ = nullptr;

TEST_P(HostInput, IsAnsweredSafely) {
  const HostCase& row = GetParam();
  Host host;
  row.prepare(host);
  std::memset(host.result.get(), 'Z', sizeof(ResultRecord));
  host.result->code = -12345;
  unsigned char* const data = host.request->data;
  const uint32_t dataLength = host.request->dataLength;

  const int32_t returned = VantbrookRequest(host.passNullDib ? nullptr : host.dib.get(),
                                            host.request.get(), host.result.get());
  const ResultRecord& result = *host.result;
  const std::string message(result.message, strnlen(result.message, sizeof result.message));
  const std::string outcome = "returned " + std::to_string(returned) + " code " +
                              std::to_string(result.code) + " message \"" + message + "\"";
  SCOPED_TRACE(outcome);
  RecordProperty("outcome", outcome);

  EXPECT_EQ(host.BrokenGuards(), "");
  EXPECT_TRUE(returned == 0 || returned == 1);
  EXPECT_GE(result.code, 0);
  EXPECT_LT(result.code, VB_RESULT_CODE_COUNT);
  EXPECT_EQ(returned == 1, result.code == VB_OK);
  EXPECT_NE(result.source[0], '\0');
  EXPECT_NE(std::memchr(result.source, '\0', sizeof result.source), nullptr);
  EXPECT_NE(std::memchr(result.message, '\0', sizeof result.message), nullptr);
  EXPECT_EQ(host.request->data, data);
  EXPECT_EQ(host.request->dataLength, dataLength);
  if (!row.codes.empty()) {
    EXPECT_EQ(row.codes.count(result.code), 1u);
  }
  if (row.message != nullptr) {
    EXPECT_EQ(message, row.message);
  }
  if (host.request->holdConnection != 1) {
    EXPECT_TRUE(host.request->linkHandle == -1 || host.request->linkHandle == 12345 ||
                host.request->linkHandle == INT32_MAX);
  }
}

INSTANTIATE_TEST_SUITE_P(Fields, HostInput, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<HostCase>& info) {
                           return std::string(info.param.name);
                         });

// A message request whose host buffer is too small for the meter's answer,
// and even for the commands around it, never writes past that buffer.
TEST_F(HostInput, MessageIntoOneToTwelveBytes) {
  for (uint32_t length = 1; length <= 12; ++length) {
    SCOPED_TRACE(length);
    Host host;
    host.Message(length, "PING-METER-");
    const int32_t returned = VantbrookRequest(host.dib.get(), host.request.get(), host.result.get());
    EXPECT_EQ(host.BrokenGuards(), "");
    EXPECT_EQ(returned == 1, host.result->code == VB_OK);
    EXPECT_NE(std::memchr(host.result->message, '\0', sizeof host.result->message), nullptr);
    EXPECT_EQ(host.request->dataLength, length);
  }
}

// An unterminated password is sent as its 41 characters and a NUL, never
// with bytes from the fields after it.
TEST_F(HostInput, UnterminatedPasswordIsSentWithinItsField) {
  Host host;
  host.Pairs(VB_REQ_DOWNLOAD_RAW);
  std::memset(host.request->password, 'p', sizeof host.request->password);
  host.request->connectCount = 0x41414141;
  sim_->clearReceived();
  ASSERT_EQ(VantbrookRequest(host.dib.get(), host.request.get(), host.result.get()), 1)
      << host.result->message;
  bool sawUnlock = false;
  for (const metersim::ReceivedMessage& received : sim_->received()) {
    const std::vector<uint8_t>& bytes = received.bytes;
    if (received.control || bytes.size() < 10 || bytes[1] != metersim::kClassMeter ||
        bytes[2] != metersim::kCmdUnlock) {
      continue;
    }
    sawUnlock = true;
    const std::vector<uint8_t> expected = [] {
      std::vector<uint8_t> password(VB_PASSWORD_FIELD, 'p');
      password.push_back(0);
      return password;
    }();
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 10, bytes.end()), expected);
  }
  EXPECT_TRUE(sawUnlock);
}

// With the largest frame time-out the receiver reads the line with a wait of
// frameTimeout / 10 (about five days). Closing the link must still end that
// read at once; a request that has not returned after kPromptMs has hung in
// ClosePort. The request runs on a thread of its own so that a hang fails
// this test instead of stalling the run; its records outlive it.
TEST_F(HostInput, LargestFrameTimeoutStillClosesPromptly) {
  constexpr uint32_t kPromptMs = 30000;
  constexpr int kRequests = 8;
  for (int round = 0; round < kRequests; ++round) {
    SCOPED_TRACE(round);
    auto host = std::make_shared<Host>();
    host->request->frameTimeout = 0xFFFFFFFFu;
    auto finished = std::make_shared<platform::Event>(platform::Event::Reset::Manual);
    auto returned = std::make_shared<std::atomic<int32_t>>(-1);
    platform::Thread caller;
    ASSERT_TRUE(caller.start([host, finished, returned] {
      returned->store(VantbrookRequest(host->dib.get(), host->request.get(), host->result.get()));
      finished->set();
    }));
    ASSERT_TRUE(finished->wait(kPromptMs)) << "the request has not returned: ClosePort hangs";
    EXPECT_EQ(returned->load(), 1) << host->result->message;
    EXPECT_TRUE(caller.joinFor(kPromptMs));
  }
}

TEST(HostInputWithoutRecords, NullRequestOrResultIsRefused) {
  DibRecord dib{};
  RequestRecord request{};
  ResultRecord result{};
  request.requestCode = VB_REQ_NOOP;
  EXPECT_EQ(VantbrookRequest(&dib, nullptr, &result), 0);
  EXPECT_EQ(VantbrookRequest(&dib, &request, nullptr), 0);
  EXPECT_EQ(VantbrookRequest(nullptr, nullptr, nullptr), 0);
}

}  // namespace
}  // namespace vb::hostinput
