// The entry of the request library: request codes, logNo check, host record
// checks, work-buffer sizing and the host's data pointer and length, which
// come back unchanged from every request.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "quiet_line.h"
#include "request_builder.h"
#include "vantbrook/vantbrook.h"
#include "work_buffer.h"

namespace vb::request::testing {
namespace {

class EntryTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(line_.open()); }
  void TearDown() override { SetByteAllocatorForTesting(nullptr); }

  // Runs a request that must not reach the meter.
  int32_t RunOffline(RequestRecord& request, ResultRecord& result) {
    const int32_t returned = VantbrookRequest(&dib_, &request, &result);
    EXPECT_EQ(request.linkHandle, -1);
    EXPECT_EQ(request.connectCount, 0);
    EXPECT_EQ(line_.bytesSent(), 0u) << "nothing may be sent";
    return returned;
  }

  QuietLine line_;
  DibRecord dib_{};
  DataHeaderRecord header_{};
  std::vector<RawPair> entries_ = std::vector<RawPair>(16);
  DownloadRecord download_{&header_, entries_.data(), 16};
  unsigned char hostData_[8] = {1, 2, 3, 4, 5, 6, 7, 8};
};

TEST_F(EntryTest, NoopRequestSucceedsAndLeavesCodeAndMessage) {
  RequestRecord request = MakeRequest(VB_REQ_NOOP);
  request.data = hostData_;
  request.dataLength = sizeof hostData_;
  request.connectCount = 77;
  ResultRecord result = MarkedResult();
  EXPECT_EQ(RunOffline(request, result), 1);
  EXPECT_EQ(result.code, 4242);
  EXPECT_EQ(FieldText(result.message), "host message");
  EXPECT_EQ(FieldText(result.source), "VantbrookRequest");
  EXPECT_EQ(request.data, hostData_);
  EXPECT_EQ(request.dataLength, sizeof hostData_);
}

TEST_F(EntryTest, UnsupportedCodesAreNotImplemented) {
  for (int16_t code : {int16_t{2740}, int16_t{2741}, int16_t{2747}, int16_t{0}, int16_t{2737},
                       int16_t{2750}, int16_t{-1}}) {
    SCOPED_TRACE(code);
    RequestRecord request = MakeRequest(code);
    request.data = hostData_;
    request.dataLength = 3;
    ResultRecord result = MarkedResult();
    EXPECT_EQ(RunOffline(request, result), 0);
    EXPECT_EQ(result.code, VB_NOT_IMPLEMENTED);
    EXPECT_EQ(FieldText(result.source), "Vantbrook");
    EXPECT_EQ(FieldText(result.message), "Not implemented");
    EXPECT_EQ(request.data, hostData_);
    EXPECT_EQ(request.dataLength, 3u);
  }
}

TEST_F(EntryTest, LoggerNumberOutsideOneToThreeIsRefusedBeforeAnyLink) {
  for (int16_t code : {int16_t{VB_REQ_DOWNLOAD_CONVERTED}, int16_t{VB_REQ_DOWNLOAD_RAW},
                       int16_t{VB_REQ_HEADER}}) {
    for (int16_t logNo : {int16_t{0}, int16_t{4}, int16_t{-1}}) {
      SCOPED_TRACE(::testing::Message() << code << " logNo " << logNo);
      RequestRecord request = MakeRequest(code);
      request.logNo = logNo;
      request.download = &download_;
      ResultRecord result = MarkedResult();
      EXPECT_EQ(RunOffline(request, result), 0);
      EXPECT_EQ(result.code, VB_LOGNO_MISMATCH);
      EXPECT_EQ(FieldText(result.source), "Vantbrook");
      EXPECT_EQ(FieldText(result.message), "LogNo received differs from that sent");
    }
  }
}

struct HostRecordCase {
  const char* name;
  int16_t code;
  void (*spoil)(RequestRecord& request, DownloadRecord& download, DibRecord** dib);
  const char* message;
};

const HostRecordCase kHostRecordCases[] = {
    {"download without record", VB_REQ_DOWNLOAD_RAW,
     [](RequestRecord& r, DownloadRecord&, DibRecord**) { r.download = nullptr; },
     "No download record given"},
    {"header without record", VB_REQ_HEADER,
     [](RequestRecord& r, DownloadRecord&, DibRecord**) { r.download = nullptr; },
     "No download record given"},
    {"download without header", VB_REQ_DOWNLOAD_CONVERTED,
     [](RequestRecord&, DownloadRecord& d, DibRecord**) { d.header = nullptr; },
     "No header record given"},
    {"entries missing for capacity", VB_REQ_DOWNLOAD_RAW,
     [](RequestRecord&, DownloadRecord& d, DibRecord**) { d.entries = nullptr; },
     "No entry array given"},
    {"identity request without DIB", VB_REQ_DIB,
     [](RequestRecord&, DownloadRecord&, DibRecord** dib) { *dib = nullptr; },
     "No DIB record given"},
    {"download without DIB", VB_REQ_DOWNLOAD_RAW,
     [](RequestRecord&, DownloadRecord&, DibRecord** dib) { *dib = nullptr; },
     "No DIB record given"},
    {"versions without record", VB_REQ_VERSIONS,
     [](RequestRecord& r, DownloadRecord&, DibRecord**) { r.download = nullptr; },
     "No version record given"},
    {"message without buffer", VB_REQ_MESSAGE,
     [](RequestRecord& r, DownloadRecord&, DibRecord**) {
       r.data = nullptr;
       r.dataLength = 100;
     },
     "No message buffer given"},
    {"message with empty buffer", VB_REQ_MESSAGE,
     [](RequestRecord& r, DownloadRecord&, DibRecord**) { r.dataLength = 0; },
     "No message buffer given"},
    {"message with empty text", VB_REQ_MESSAGE,
     [](RequestRecord& r, DownloadRecord&, DibRecord**) { r.data[0] = '\0'; },
     "No message text given"},
    {"restart with 5 parameter bytes", VB_REQ_DOWNLOAD_RAW,
     [](RequestRecord& r, DownloadRecord&, DibRecord**) {
       r.specifier = 1002;
       r.dataLength = 5;
     },
     "Restart parameters need 6 bytes of host data, got 5"},
};

TEST_F(EntryTest, MissingHostRecordsAreRefusedBeforeAnyLink) {
  for (const HostRecordCase& c : kHostRecordCases) {
    SCOPED_TRACE(c.name);
    RequestRecord request = MakeRequest(c.code);
    DownloadRecord download = download_;
    request.download = &download;
    request.data = hostData_;
    request.dataLength = sizeof hostData_;
    DibRecord* dib = &dib_;
    c.spoil(request, download, &dib);
    unsigned char* const data = request.data;
    const uint32_t dataLength = request.dataLength;
    ResultRecord result = MarkedResult();
    EXPECT_EQ(VantbrookRequest(dib, &request, &result), 0);
    EXPECT_EQ(result.code, VB_COMMAND_NOT_SUCCESSFUL);
    EXPECT_EQ(FieldText(result.source), "Vantbrook");
    EXPECT_EQ(FieldText(result.message), c.message);
    EXPECT_EQ(request.linkHandle, -1);
    EXPECT_EQ(line_.bytesSent(), 0u);
    EXPECT_EQ(request.data, data);
    EXPECT_EQ(request.dataLength, dataLength);
  }
}

// Work-buffer sizes, seen through an allocator that records each request
// and refuses it, so the request stops before it reaches the meter.
std::vector<size_t> g_requested;
void* RecordAndRefuse(size_t size) {
  g_requested.push_back(size);
  return nullptr;
}

struct SizingCase {
  const char* name;
  int16_t code;
  int16_t logNo;
  uint32_t capacity;
  uint32_t dataLength;
  size_t expectedSize;
};

const SizingCase kSizingCases[] = {
    {"totals download, capacity 100", VB_REQ_DOWNLOAD_CONVERTED, 3, 100, 0, 4572},
    {"totals download, capacity 50", VB_REQ_DOWNLOAD_CONVERTED, 3, 50, 0, 4144},
    {"pair download, capacity 10000", VB_REQ_DOWNLOAD_RAW, 1, 10000, 0, 40332},
    {"pair download, capacity 0", VB_REQ_DOWNLOAD_RAW, 2, 0, 0, 4144},
    {"largest pair capacity that fits", VB_REQ_DOWNLOAD_RAW, 1, 0x3FFFFFAC, 0, 0xFFFFFFFC},
    {"largest totals capacity that fits", VB_REQ_DOWNLOAD_RAW, 3, 0x6666658, 0, 0xFFFFFFFC},
    {"header", VB_REQ_HEADER, 3, 0, 0, 4144},
    {"identity block", VB_REQ_DIB, 1, 0, 0, 4144},
    {"no-op", VB_REQ_NOOP, 1, 0, 0, 4144},
    {"versions", VB_REQ_VERSIONS, 1, 0, 0, 334},
    {"message of 200 bytes", VB_REQ_MESSAGE, 1, 0, 200, 200},
    {"message of 10 bytes gets room for Unlock", VB_REQ_MESSAGE, 1, 0, 10, 52},
};

TEST_F(EntryTest, WorkBufferSizesAndAllocationFailure) {
  SetByteAllocatorForTesting(RecordAndRefuse);
  std::vector<unsigned char> message(200, 'x');
  for (const SizingCase& c : kSizingCases) {
    SCOPED_TRACE(c.name);
    g_requested.clear();
    RequestRecord request = MakeRequest(c.code);
    request.logNo = c.logNo;
    download_.capacity = c.capacity;
    request.download = &download_;
    request.data = c.dataLength > 0 ? message.data() : nullptr;
    request.dataLength = c.dataLength;
    ResultRecord result = MarkedResult();
    EXPECT_EQ(RunOffline(request, result), 0);
    EXPECT_EQ(result.code, VB_CANNOT_ALLOCATE_MEMORY);
    EXPECT_EQ(FieldText(result.message), "Could not allocate memory for buffer");
    ASSERT_EQ(g_requested.size(), 1u);
    EXPECT_EQ(g_requested[0], c.expectedSize);
  }
}

TEST_F(EntryTest, DownloadSizeThatWrapsIn32BitsFailsWithoutAllocating) {
  SetByteAllocatorForTesting(RecordAndRefuse);
  const struct {
    int16_t logNo;
    uint32_t capacity;
  } cases[] = {{1, 0x3FFFFFAD}, {2, 0x40000000}, {1, 0xFFFFFFFF}, {3, 0x6666659},
               {3, 0xFFFFFFFF}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "logNo " << c.logNo << " capacity " << c.capacity);
    g_requested.clear();
    RequestRecord request = MakeRequest(VB_REQ_DOWNLOAD_CONVERTED);
    request.logNo = c.logNo;
    download_.capacity = c.capacity;
    request.download = &download_;
    ResultRecord result = MarkedResult();
    EXPECT_EQ(RunOffline(request, result), 0);
    EXPECT_EQ(result.code, VB_CANNOT_ALLOCATE_MEMORY);
    EXPECT_EQ(FieldText(result.source), "Vantbrook");
    EXPECT_EQ(FieldText(result.message), "Could not allocate memory for buffer");
    EXPECT_TRUE(g_requested.empty());
  }
}

TEST_F(EntryTest, ReleaseWithoutOpenLinkFailsAndKeepsTheResult) {
  RequestRecord request = MakeRequest(VB_REQ_RELEASE);
  request.holdConnection = 1;
  ResultRecord result = MarkedResult();
  EXPECT_EQ(RunOffline(request, result), 0);
  EXPECT_EQ(request.holdConnection, 0);
  EXPECT_EQ(result.code, 4242);
  EXPECT_EQ(FieldText(result.message), "host message");
  EXPECT_EQ(FieldText(result.source), "VantbrookRequest");
}

// A zeroed result: a pre-filled code would hide a failure reported with
// code 0.
TEST_F(EntryTest, ALinkHandleThatIsNotOpenIsRefusedForEveryRequest) {
  RequestRecord held = MakeRequest(VB_REQ_HOLD);
  ResultRecord ignored{};
  ASSERT_EQ(VantbrookRequest(&dib_, &held, &ignored), 1) << FieldText(ignored.message);
  const int32_t closedHandle = held.linkHandle;
  held.requestCode = VB_REQ_RELEASE;
  ASSERT_EQ(VantbrookRequest(&dib_, &held, &ignored), 1);
  const uint32_t sentBefore = line_.bytesSent();

  for (int32_t handle : {int32_t{12345}, int32_t{-2}, closedHandle}) {
    for (int16_t code = VB_REQ_DOWNLOAD_CONVERTED; code <= VB_REQ_RELEASE; ++code) {
      SCOPED_TRACE(::testing::Message() << "request " << code << " linkHandle " << handle);
      RequestRecord request = MakeRequest(code);
      request.linkHandle = handle;
      request.download = &download_;
      request.data = hostData_;
      request.dataLength = sizeof hostData_;
      ResultRecord result{};
      EXPECT_EQ(VantbrookRequest(&dib_, &request, &result), 0);
      EXPECT_EQ(result.code, VB_PORT_DRIVER_ERROR);
      EXPECT_EQ(FieldText(result.source), "Vantbrook");
      EXPECT_EQ(FieldText(result.message),
                "Port driver error: linkHandle " + std::to_string(handle) +
                    " is not a link the link library holds open");
      EXPECT_EQ(request.linkHandle, handle);
      EXPECT_EQ(request.data, hostData_);
    }
  }
  EXPECT_EQ(line_.bytesSent(), sentBefore) << "nothing may be sent";
}

TEST(EntryNullRecords, MissingRequestOrResultIsRefused) {
  DibRecord dib{};
  RequestRecord request = MakeRequest(VB_REQ_NOOP);
  ResultRecord result = MarkedResult();
  EXPECT_EQ(VantbrookRequest(&dib, nullptr, &result), 0);
  EXPECT_EQ(VantbrookRequest(&dib, &request, nullptr), 0);
  EXPECT_EQ(result.code, 4242);
}

}  // namespace
}  // namespace vb::request::testing
