// The built driver modules, loaded as the link library loads them.
#include <gtest/gtest.h>

#include <string>

#include "platform/dynlib.h"
#include "vantbrook/portdriver.h"

namespace {

// The entries of one loaded module.
struct DriverModule {
  vb::platform::DynamicLibrary library;
  PortOpenFn openPort = nullptr;
  PortOpenWithSettingsFn openPortWithSettings = nullptr;
  PortSendFn sendData = nullptr;
  PortReceiveFn receiveData = nullptr;
  PortErrorFn getPortError = nullptr;
  PortHandleFn getPortHandle = nullptr;
  PortAbortFn abort = nullptr;
  PortCloseFn closePort = nullptr;
  PortReleaseFn releaseConnection = nullptr;

  template <typename Fn>
  void bind(Fn* slot, const char* decoratedName) {
    *slot = reinterpret_cast<Fn>(
        library.symbol(vb::platform::exportName(decoratedName).c_str()));
    EXPECT_NE(nullptr, *slot) << decoratedName;
  }

  void load(const char* path) {
    ASSERT_TRUE(library.open(path)) << library.error();
    bind(&openPort, "_OpenPort@16");
    bind(&openPortWithSettings, "_OpenPortWithSettings@24");
    bind(&sendData, "_SendData@12");
    bind(&receiveData, "_ReceiveData@16");
    bind(&getPortError, "_GetPortError@4");
    bind(&getPortHandle, "_GetPortHandle@4");
    bind(&abort, "_Abort@4");
    bind(&closePort, "_ClosePort@4");
    bind(&releaseConnection, "_ReleaseConnection@4");
  }
};

class DriverModules : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override { ASSERT_NO_FATAL_FAILURE(module_.load(GetParam())); }
  DriverModule module_;
};

TEST_P(DriverModules, ExportsNoReceiverThreadHooks) {
  EXPECT_EQ(nullptr, module_.library.symbol("StartReadThread"));
  EXPECT_EQ(nullptr, module_.library.symbol("CloseReadThread"));
}

TEST_P(DriverModules, UnknownPortNumberFailsTheOpenAndLeavesAClosableConnection) {
  int32_t slot = -1;
  EXPECT_EQ(0, module_.openPort(&slot, 9, "none", "1234"));
  ASSERT_NE(-1, slot);
  EXPECT_STREQ("Port number not recognised", module_.getPortError(slot));
  EXPECT_EQ(-1, module_.getPortHandle(slot));
  EXPECT_EQ(1, module_.abort(slot));
  EXPECT_EQ(1, module_.closePort(slot));
  EXPECT_EQ(0, module_.closePort(slot));
}

TEST_P(DriverModules, NoneAndForeignHandlesAreRefused) {
  EXPECT_EQ(-1, module_.getPortHandle(-1));
  EXPECT_EQ(-1, module_.releaseConnection(-1));
  EXPECT_EQ(0, module_.abort(-1));
  int32_t slot = 5;
  EXPECT_EQ(0, module_.openPortWithSettings(&slot, 1, "none", "1234", 9600, 0));
  EXPECT_EQ(5, slot);
}

INSTANTIATE_TEST_SUITE_P(Built, DriverModules, ::testing::Values(PNETPORT_MODULE, DIALPORT_MODULE),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           return std::string(info.index == 0 ? "pnetport" : "dialport");
                         });

// Both modules in one process keep their connections apart: each binds its
// own calls to itself and has its own handle table.
TEST(DriverModulesTogether, ConnectionsOfOneModuleAreUnknownToTheOther) {
  DriverModule pad;
  DriverModule modem;
  ASSERT_NO_FATAL_FAILURE(pad.load(PNETPORT_MODULE));
  ASSERT_NO_FATAL_FAILURE(modem.load(DIALPORT_MODULE));
  int32_t slot = -1;
  EXPECT_EQ(0, pad.openPort(&slot, 0, "pnet", "1234"));
  EXPECT_EQ(0, modem.closePort(slot));
  EXPECT_STREQ("Port number not recognised", pad.getPortError(slot));
  EXPECT_EQ(1, pad.closePort(slot));
}

}  // namespace
