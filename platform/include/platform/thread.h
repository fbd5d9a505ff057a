// Threads with a bounded join, so a caller can give up waiting for a thread
// that does not end without blocking forever.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace vb::platform {

class Thread {
 public:
  Thread();
  // A thread still running at destruction is detached; whoever started it
  // must make sure what it uses outlives it (see joinFor).
  ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts body on a new thread. False (with the OS error recorded, see
  // error.h) when the thread cannot be created.
  bool start(std::function<void()> body);
  // True from a successful start until the thread has been joined.
  bool started() const;
  // Waits up to timeoutMs for the thread to end; true when it has ended
  // (and has been joined).
  bool joinFor(uint32_t timeoutMs);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Number of threads of this process (for leak checks in tests and soaks).
int processThreadCount();
// Number of open file descriptors of this process.
int processOpenDescriptorCount();
// Resident memory of this process in kilobytes.
long processResidentKilobytes();
// User plus system CPU time this process has used so far, in seconds, all
// threads together; negative when it cannot be read.
double processCpuSeconds();

}  // namespace vb::platform
