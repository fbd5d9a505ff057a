// The service manager through libsystemd's notification socket; the
// journal reads a "<N>" priority at the start of each line of standard
// error when JOURNAL_STREAM names the stream standard error is.
#include "platform/service_manager.h"

#include <systemd/sd-daemon.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace vb::platform {

namespace {

std::mutex logLock;

bool standardErrorIsJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (stream == nullptr) return false;
  unsigned long long device = 0, inode = 0;
  if (std::sscanf(stream, "%llu:%llu", &device, &inode) != 2) return false;
  struct stat status {};
  return ::fstat(STDERR_FILENO, &status) == 0 && status.st_dev == device &&
         status.st_ino == inode;
}

}  // namespace

void notifyReady() { sd_notify(0, "READY=1"); }
void notifyReloading() { sd_notify(0, "RELOADING=1"); }
void notifyStopping() { sd_notify(0, "STOPPING=1"); }
void notifyStatus(const std::string& status) { sd_notifyf(0, "STATUS=%s", status.c_str()); }
void notifyWatchdog() { sd_notify(0, "WATCHDOG=1"); }

uint64_t watchdogPingIntervalMs() {
  uint64_t microseconds = 0;
  if (sd_watchdog_enabled(0, &microseconds) <= 0) return 0;
  return microseconds / 2000;
}

void logLine(LogPriority priority, const std::string& text) {
  static const bool journal = standardErrorIsJournal();
  std::lock_guard<std::mutex> guard(logLock);
  if (journal) {
    std::fprintf(stderr, "<%d>%s\n", static_cast<int>(priority), text.c_str());
  } else {
    std::fprintf(stderr, "%s\n", text.c_str());
  }
  std::fflush(stderr);
}

}  // namespace vb::platform
