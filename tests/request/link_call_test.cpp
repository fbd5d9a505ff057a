// Link calls: the LinkRecord copied in and out, and the mapping of link
// error codes to result codes, including the re-mapping after the calls
// that never set an error code.
#include <gtest/gtest.h>

#include <cstring>

#include "link_call.h"
#include "platform/devicemap.h"
#include "request_builder.h"

namespace vb::request::testing {
namespace {

TEST(LinkCall, LinkErrorCodesMapToResultCodes) {
  const struct {
    int32_t link;
    int32_t result;
    bool replaced;
  } cases[] = {{0, 0, false},   {1, 11, false},  {2, 12, false}, {3, 16, false},
               {4, 18, false},  {5, 19, false},  {6, 21, false}, {7, 23, false},
               {8, 24, false},  {9, 25, true},   {999, 25, true}, {-1, 25, true},
               {16, 25, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.link);
    bool replaced = !c.replaced;
    EXPECT_EQ(MapLinkError(c.link, &replaced), c.result);
    EXPECT_EQ(replaced, c.replaced);
  }
}

TEST(LinkCall, CallsWithoutErrorCodeMapTheResultCodeAgain) {
  RequestRecord request = MakeRequest(VB_REQ_DIB);
  ResultRecord result = MarkedResult();
  result.code = VB_REQUEST_TIMEOUT;
  std::strcpy(result.source, "Brisel Receive");
  EXPECT_EQ(LinkGetResumePoint(&request, &result), 0xFFFFFFFFu);
  EXPECT_EQ(result.code, VB_UNSPECIFIED_LINK_ERROR);
  EXPECT_EQ(FieldText(result.message), "Unspecified Brisel error");
  EXPECT_EQ(FieldText(result.source), "Brisel Receive");

  result.code = VB_OK;
  std::strcpy(result.message, "kept");
  EXPECT_EQ(LinkGetMsgLength(&request, &result), 0u);
  EXPECT_EQ(result.code, VB_OK);
  EXPECT_EQ(FieldText(result.message), "kept");

  // A meter status 3 that happens to equal a link code maps to 16.
  result.code = VB_WRITE_ACCESS_DENIED;
  EXPECT_EQ(LinkSetStartPoint(&request, &result, 10), 0);
  EXPECT_EQ(result.code, VB_REQUEST_TIMEOUT);
}

TEST(LinkCall, FailedOpenReportsThePortDriverAndKeepsTheSettings) {
  ASSERT_TRUE(platform::setComDevicePath(1, "/nonexistent/vantbrook-com1"));
  RequestRecord request = MakeRequest(VB_REQ_DIB);
  std::memset(request.address, 'A', sizeof request.address);  // fills the field, no NUL
  request.linkReserved = 0x5150;
  unsigned char buffer[4] = {};
  request.data = buffer;
  request.dataLength = 4;
  ResultRecord result = MarkedResult();
  EXPECT_EQ(LinkOpenPort(&request, &result), 0);
  EXPECT_EQ(request.linkHandle, -1);
  EXPECT_EQ(result.code, VB_PORT_DRIVER_ERROR);
  EXPECT_EQ(FieldText(result.source), "Port Driver");
  EXPECT_EQ(std::string(request.address, sizeof request.address), std::string(40, 'A'));
  EXPECT_EQ(std::string(request.protocol, 4), "COM1");
  EXPECT_EQ(request.linkReserved, 0x5150);
  EXPECT_EQ(request.data, buffer);
  EXPECT_EQ(request.dataLength, 4u);
  EXPECT_EQ(request.portHandle, -1);
}

}  // namespace
}  // namespace vb::request::testing
