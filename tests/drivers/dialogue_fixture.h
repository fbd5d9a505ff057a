// A connection attached to a scripted device, for the call dialogues.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "driver_port.h"
#include "scripted_device.h"
#include "serial_line.h"

namespace vb::drivertest {

// How a dialogue is expected to end.
struct DialogueCase {
  const char* name;
  std::vector<ScriptStep> script;
  std::string address;
  int result;
  // The error text afterwards; with textIsPrefix only its beginning.
  std::string text;
  bool textIsPrefix;
  // Everything the driver sent.
  std::string sent;
  // Whether the dialogue lasts until the script's last step.
  bool scriptCompletes = true;
};

// Cases print by name.
inline void PrintTo(const DialogueCase& c, std::ostream* out) { *out << c.name; }

inline std::string caseName(const ::testing::TestParamInfo<DialogueCase>& info) {
  return info.param.name;
}

class DialogueTest : public ::testing::TestWithParam<DialogueCase> {
 protected:
  explicit DialogueTest(const driver::LineTraits& traits) : port_(traits) {}

  void SetUp() override {
    ASSERT_TRUE(device_.start());
    ASSERT_EQ(1, driver::AttachLine(port_, device_.slaveHandle()));
  }
  // The line is the device's; the connection only lets go of it.
  void TearDown() override { port_.line().release(); }

  void expectOutcome(int result) {
    const DialogueCase& c = GetParam();
    EXPECT_EQ(c.result, result);
    if (c.textIsPrefix) {
      EXPECT_EQ(0u, port_.errorText().rfind(c.text, 0)) << port_.errorText();
    } else {
      EXPECT_EQ(c.text, port_.errorText());
    }
    EXPECT_EQ(c.sent, device_.sent(c.sent.size()));
    EXPECT_EQ(c.scriptCompletes, device_.scriptDone());
  }

  ScriptedDevice device_;
  driver::DriverPort port_;
};

}  // namespace vb::drivertest
