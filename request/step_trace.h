// Traces "In %s\n" when a step starts and "Leaving %s\n" on every return.
#pragma once

#include "trace.h"

namespace vb::request {

class StepTrace {
 public:
  explicit StepTrace(const char* name) : name_(name) { Trace("In %s\n", name_); }
  ~StepTrace() { Trace("Leaving %s\n", name_); }
  StepTrace(const StepTrace&) = delete;
  StepTrace& operator=(const StepTrace&) = delete;

 private:
  const char* name_;
};

}  // namespace vb::request
