#include "trace.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace vb::request {
namespace {
std::atomic<TraceSink> g_sink{nullptr};
}

void Trace(const char* format, ...) {
  TraceSink sink = g_sink.load(std::memory_order_acquire);
  if (sink == nullptr) return;
  char line[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  sink(line);
}

void SetTraceSink(TraceSink sink) { g_sink.store(sink, std::memory_order_release); }

}  // namespace vb::request
