// The meter's eight version texts.
#include <gtest/gtest.h>

#include <string>

#include "formats/versions.h"
#include "reply_bytes.h"

namespace vb::request {
namespace {

using test::Bytes;

constexpr uint16_t kGetVersions = 1;
const std::string k60(60, 'v');

struct VersionCase {
  const char* name;
  std::vector<std::string> sent;
  std::vector<std::string> stored;  // eight
};

const VersionCase kVersionCases[] = {
    {"eight short texts in order",
     {"boot 1.0", "app 2.3", "radio 4", "logger 1.1", "dib 3", "cal 7", "hw B", "serial 9"},
     {"boot 1.0", "app 2.3", "radio 4", "logger 1.1", "dib 3", "cal 7", "hw B", "serial 9"}},
    {"60 characters: 39 kept, the next text still found",
     {"one", k60, "three", "4", "5", "6", "7", "8"},
     {"one", k60.substr(0, 39), "three", "4", "5", "6", "7", "8"}},
    {"reply ending after the third text", {"a", "b", "c"}, {"a", "b", "c", "", "", "", "", ""}},
    {"no texts at all", {}, {"", "", "", "", "", "", "", ""}},
};

TEST(VersionTexts, StoresTheTextsOfTheReply) {
  for (const VersionCase& c : kVersionCases) {
    SCOPED_TRACE(c.name);
    Bytes body;
    for (const std::string& text : c.sent) body.text(text);
    test::ReplyBuffer buffer(test::Reply(kGetVersions, 2, body));
    VersionRecord versions;
    test::FillPattern(&versions);
    DibRecord dib{};
    RequestRecord request{};
    ResultRecord result{};
    request.download = &versions;
    // The command transaction leaves the received length in dataLength.
    buffer.attach(&request, buffer.size());
    ASSERT_TRUE(ProcessVersionInfo(&dib, &request, &result, buffer.size()));
    for (int i = 0; i < 8; ++i) EXPECT_EQ(std::string(versions.text[i]), c.stored[i]) << i;
  }
}

TEST(VersionTexts, ShortReplyHeaderReadsNothing) {
  Bytes reply;
  reply.u8(0xFF).u8(2).u16(kGetVersions).u16(0).u8(0x10);  // cut inside the byte count
  test::ReplyBuffer buffer(reply);
  VersionRecord versions;
  test::FillPattern(&versions);
  DibRecord dib{};
  RequestRecord request{};
  ResultRecord result{};
  request.download = &versions;
  buffer.attach(&request, 334);
  ASSERT_TRUE(ProcessVersionInfo(&dib, &request, &result, buffer.size()));
  for (const auto& text : versions.text) EXPECT_STREQ(text, "");
}

}  // namespace
}  // namespace vb::request
