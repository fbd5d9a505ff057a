// Threads with a bounded join, and the process figures tests use to find
// leaked threads, descriptors and memory.
#include "platform/thread.h"

#include <dirent.h>
#include <errno.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/error.h"

namespace vb::platform {

namespace {

// Set by the thread as its last act, so joinFor can wait with a time limit.
struct Completion {
  std::mutex mutex;
  std::condition_variable ended;
  bool finished = false;
};

// Entries of a /proc directory, without "." and "..", or -1.
int countDirectoryEntries(const char* path) {
  DIR* dir = opendir(path);
  if (dir == nullptr) {
    setLastErrorCode(errno);
    return -1;
  }
  int count = 0;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count;
}

}  // namespace

struct Thread::Impl {
  std::thread thread;
  std::shared_ptr<Completion> completion;
};

Thread::Thread() : impl_(std::make_unique<Impl>()) {}

Thread::~Thread() {
  if (!impl_->thread.joinable()) return;
  bool finished;
  {
    std::lock_guard<std::mutex> lock(impl_->completion->mutex);
    finished = impl_->completion->finished;
  }
  if (finished) {
    impl_->thread.join();
  } else {
    impl_->thread.detach();
  }
}

bool Thread::start(std::function<void()> body) {
  if (impl_->thread.joinable()) {
    setLastErrorCode(EBUSY);
    return false;
  }
  // Shared with the thread, which may outlive this object when detached.
  auto completion = std::make_shared<Completion>();
  impl_->completion = completion;
  // The body waits until this object records its thread, so that it may
  // itself use the object (joinFor refuses a join of its own thread).
  std::unique_lock<std::mutex> recording(completion->mutex);
  try {
    impl_->thread = std::thread([completion, body = std::move(body)] {
      { std::lock_guard<std::mutex> recorded(completion->mutex); }
      body();
      std::lock_guard<std::mutex> lock(completion->mutex);
      completion->finished = true;
      completion->ended.notify_all();
    });
  } catch (const std::system_error& error) {
    setLastErrorCode(error.code().value());
    return false;
  }
  return true;
}

bool Thread::started() const { return impl_->thread.joinable(); }

bool Thread::joinFor(uint32_t timeoutMs) {
  if (!impl_->thread.joinable()) return true;
  // A thread cannot wait for its own end.
  if (impl_->thread.get_id() == std::this_thread::get_id()) {
    setLastErrorCode(EDEADLK);
    return false;
  }
  {
    Completion& completion = *impl_->completion;
    std::unique_lock<std::mutex> lock(completion.mutex);
    if (!completion.ended.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                   [&completion] { return completion.finished; })) {
      return false;
    }
  }
  impl_->thread.join();
  return true;
}

int processThreadCount() { return countDirectoryEntries("/proc/self/task"); }

int processOpenDescriptorCount() {
  const int entries = countDirectoryEntries("/proc/self/fd");
  // The listing itself holds one descriptor while it runs.
  return entries < 0 ? entries : entries - 1;
}

long processResidentKilobytes() {
  FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr) {
    setLastErrorCode(errno);
    return -1;
  }
  long totalPages = 0;
  long residentPages = 0;
  const int fields = std::fscanf(statm, "%ld %ld", &totalPages, &residentPages);
  std::fclose(statm);
  if (fields != 2) return -1;
  return residentPages * (sysconf(_SC_PAGESIZE) / 1024);
}

double processCpuSeconds() {
  rusage usage{};
  if (getrusage(RUSAGE_SELF, &usage) != 0) {
    setLastErrorCode(errno);
    return -1.0;
  }
  const auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace vb::platform
