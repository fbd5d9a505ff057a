// The process figures tests and benchmarks use to find leaked threads,
// handles and memory, and to measure processor time.
#include <windows.h>

#include <tlhelp32.h>

#include "platform/error.h"
#include "platform/thread.h"

#define PSAPI_VERSION 2
#include <psapi.h>

namespace vb::platform {

int processThreadCount() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) {
    setLastErrorCode(static_cast<int>(GetLastError()));
    return -1;
  }
  const DWORD self = GetCurrentProcessId();
  int count = 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == self) ++count;
  }
  CloseHandle(snapshot);
  return count;
}

int processOpenDescriptorCount() {
  DWORD count = 0;
  if (!GetProcessHandleCount(GetCurrentProcess(), &count)) return -1;
  return static_cast<int>(count);
}

long processResidentKilobytes() {
  PROCESS_MEMORY_COUNTERS counters{};
  if (!K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return -1;
  return static_cast<long>(counters.WorkingSetSize / 1024);
}

double processCpuSeconds() {
  FILETIME created{}, exited{}, kernel{}, user{};
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return -1.0;
  const auto seconds = [](const FILETIME& t) {
    const uint64_t ticks = (uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime;
    return static_cast<double>(ticks) / 1e7;  // 100-nanosecond units
  };
  return seconds(kernel) + seconds(user);
}

}  // namespace vb::platform
