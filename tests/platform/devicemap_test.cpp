// COM numbers to device paths through the environment, read afresh.
#include "platform/devicemap.h"

#include <gtest/gtest.h>

namespace vb::platform {
namespace {

TEST(DeviceMap, MappedPathIsReadAfreshEachTime) {
  ASSERT_TRUE(setComDevicePath(3, "/dev/pts/41"));
  EXPECT_EQ(comDevicePath(3), "/dev/pts/41");
  ASSERT_TRUE(setComDevicePath(3, "/dev/ttyUSB0"));
  EXPECT_EQ(comDevicePath(3), "/dev/ttyUSB0");
  ASSERT_TRUE(setComDevicePath(3, ""));
  EXPECT_EQ(comDevicePath(3), "/dev/ttyS2") << "an empty mapping falls back to the default";
}

TEST(DeviceMap, DefaultsAndRange) {
  ASSERT_TRUE(setComDevicePath(1, ""));
  ASSERT_TRUE(setComDevicePath(8, ""));
  EXPECT_EQ(comDevicePath(1), "/dev/ttyS0");
  EXPECT_EQ(comDevicePath(8), "/dev/ttyS7");
  for (int outside : {-1, 0, 9, 65537}) {
    EXPECT_EQ(comDevicePath(outside), "") << outside;
    EXPECT_FALSE(setComDevicePath(outside, "/dev/null")) << outside;
  }
}

}  // namespace
}  // namespace vb::platform
