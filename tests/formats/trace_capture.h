// Captures the request library's trace lines for the length of a test.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "trace.h"

namespace vb::request::test {

class TraceCapture {
 public:
  TraceCapture() {
    lines().clear();
    SetTraceSink(&Collect);
  }
  ~TraceCapture() { SetTraceSink(nullptr); }
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;

  const std::vector<std::string>& captured() const { return lines(); }
  bool contains(const std::string& line) const {
    return std::find(lines().begin(), lines().end(), line) != lines().end();
  }

 private:
  static std::vector<std::string>& lines() {
    static std::vector<std::string> captured;
    return captured;
  }
  static void Collect(const char* line) { lines().emplace_back(line); }
};

}  // namespace vb::request::test
