// Handles closed on one thread and then used on another are refused, never
// followed: brisel's links through all eight exports, and a port driver's
// connections through its exports after dlopen of the built module.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "metersim/simulator.h"
#include "platform/devicemap.h"
#include "platform/dynlib.h"
#include "platform/thread.h"
#include "vantbrook/brisel.h"
#include "vantbrook/portdriver.h"

namespace vb::concurrency {
namespace {

constexpr uint32_t kJoinWaitMs = 60000;

// Runs body on a thread of its own and waits for it.
template <typename Body>
void OnAnotherThread(Body body) {
  platform::Thread thread;
  ASSERT_TRUE(thread.start(body));
  ASSERT_TRUE(thread.joinFor(kJoinWaitMs));
}

TEST(StaleLinkHandles, ClosedOnOneThreadRefusedOnAnother) {
  metersim::Options options;
  metersim::Simulator sim(options);
  ASSERT_TRUE(sim.start()) << sim.error();
  ASSERT_TRUE(platform::setComDevicePath(3, sim.devicePath()));

  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    LinkRecord record;
    std::memset(&record, 0, sizeof record);
    std::memcpy(record.protocol, "COM3", 4);
    record.port_number = 3;
    record.link = -1;
    record.port_handle = -1;
    record.receive_timeout_ms = 500;
    record.frame_timeout_ms = 500;
    int32_t handle = -1;
    OnAnotherThread([&] {
      ASSERT_EQ(OpenPort(&record), 1) << record.message;
      handle = record.link;
      ASSERT_EQ(ClosePort(&record), 1) << record.message;
    });
    ASSERT_NE(handle, -1);

    OnAnotherThread([&] {
      unsigned char byte = 0x55;
      LinkRecord stale = record;
      stale.link = handle;
      stale.data = &byte;
      stale.length = 1;
      EXPECT_EQ(SendData(&stale), 0);
      EXPECT_EQ(RecvData(&stale), 0);
      EXPECT_EQ(byte, 0x55);
      EXPECT_EQ(GetResumePoint(&stale), 0xFFFFFFFFu);
      EXPECT_EQ(GetMsgLength(&stale), 0u);
      EXPECT_EQ(SetStartPoint(&stale, 10), 0);
      EXPECT_EQ(SetMsgLength(&stale, 10), 0);
      EXPECT_EQ(ClosePort(&stale), 0);
    });
  }
}

// The driver's exports, looked up by name in the built module.
struct DriverExports {
  PortOpenFn openPort = nullptr;
  PortCloseFn closePort = nullptr;
  PortErrorFn getPortError = nullptr;
  PortSendFn sendData = nullptr;
  PortReceiveFn receiveData = nullptr;
  PortHandleFn getPortHandle = nullptr;
  PortAbortFn abort = nullptr;
  PortReleaseFn release = nullptr;
};

TEST(StaleDriverHandles, DestroyedConnectionIsRefusedOnAnotherThread) {
  platform::DynamicLibrary module;
  ASSERT_TRUE(module.open(PNETPORT_MODULE));
  DriverExports driver;
  driver.openPort = reinterpret_cast<PortOpenFn>(module.symbol("OpenPort"));
  driver.closePort = reinterpret_cast<PortCloseFn>(module.symbol("ClosePort"));
  driver.getPortError = reinterpret_cast<PortErrorFn>(module.symbol("GetPortError"));
  driver.sendData = reinterpret_cast<PortSendFn>(module.symbol("SendData"));
  driver.receiveData = reinterpret_cast<PortReceiveFn>(module.symbol("ReceiveData"));
  driver.getPortHandle = reinterpret_cast<PortHandleFn>(module.symbol("GetPortHandle"));
  driver.abort = reinterpret_cast<PortAbortFn>(module.symbol("Abort"));
  driver.release = reinterpret_cast<PortReleaseFn>(module.symbol("ReleaseConnection"));
  ASSERT_NE(driver.openPort, nullptr);
  ASSERT_NE(driver.closePort, nullptr);
  ASSERT_NE(driver.getPortError, nullptr);

  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    // An open that fails still leaves a connection, which ClosePort destroys.
    int32_t slot = -1;
    OnAnotherThread([&] {
      EXPECT_EQ(driver.openPort(&slot, 9, "pnet", "1234"), 0);
      ASSERT_NE(slot, -1);
      EXPECT_STREQ(driver.getPortError(slot), "Port number not recognised");
      driver.closePort(slot);
    });

    OnAnotherThread([&] {
      const char* text = driver.getPortError(slot);
      ASSERT_NE(text, nullptr);
      EXPECT_STREQ(text, "Port handle not recognised");
      EXPECT_EQ(driver.closePort(slot), 0);
      unsigned char byte = 0x55;
      uint32_t count = 1;
      EXPECT_EQ(driver.sendData(slot, &byte, 1), 0);
      EXPECT_EQ(driver.receiveData(slot, &byte, &count, 10), 0);
      EXPECT_EQ(byte, 0x55);
      EXPECT_EQ(driver.getPortHandle(slot), -1);
      EXPECT_EQ(driver.abort(slot), 0);
      EXPECT_EQ(driver.release(slot), -1);
    });
  }
}

}  // namespace
}  // namespace vb::concurrency
