// The service manager (systemd) that runs a long-lived program: it is told
// when the program is ready, reloading and stopping, is pinged within its
// watchdog interval, and reads the priority of each log line written to
// standard error. When no service manager runs the program, these do
// nothing and log lines carry no priority.
#pragma once

#include <cstdint>
#include <string>

namespace vb::platform {

enum class LogPriority { Error = 3, Warning = 4, Notice = 5, Info = 6, Debug = 7 };

void notifyReady();
void notifyReloading();
void notifyStopping();
// A status line the service manager shows ("12 meters, 3 lines").
void notifyStatus(const std::string& status);
void notifyWatchdog();
// How often the watchdog must be pinged: half the interval the service
// manager set; 0 when it watches nothing.
uint64_t watchdogPingIntervalMs();

// One log line on standard error, with its priority for the journal when
// standard error goes there.
void logLine(LogPriority priority, const std::string& text);

}  // namespace vb::platform
