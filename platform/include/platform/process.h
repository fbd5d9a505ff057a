// Child processes, as the demo tooling and the end-to-end tests use them: a
// program started with its standard output (and optionally its standard
// error) captured, its first line read as it appears, a signal sent to it,
// and its end waited for with a time limit.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vb::platform {

struct ProcessOptions {
  // Extra environment entries "NAME=VALUE"; they replace inherited entries of
  // the same name.
  std::vector<std::string> environment;
  // Capture standard error too (otherwise the child shares ours).
  bool captureStandardError = false;
  // Working directory of the child; empty keeps ours.
  std::string workingDirectory;
};

class ChildProcess {
 public:
  ChildProcess();
  // A child still running is killed and reaped; the pipes are closed.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts program (a path) with the given arguments (not including the
  // program name). False with the OS error recorded when it cannot start.
  bool start(const std::string& program, const std::vector<std::string>& arguments,
             const ProcessOptions& options = ProcessOptions());
  bool running() const { return pid_ > 0 && !exited_; }
  int pid() const { return pid_; }

  // Waits up to timeoutMs for a complete line on standard output (or on the
  // captured standard error) and returns it without its line break. False
  // when the time runs out or the output ends first. Output after the line
  // stays buffered.
  bool readLine(std::string* line, uint32_t timeoutMs);
  bool readErrorLine(std::string* line, uint32_t timeoutMs);

  // Sends SIGINT (as Ctrl-C does), SIGTERM, or SIGHUP (a service's
  // "reload"). False when no child runs.
  bool interrupt();
  bool terminate();
  bool hangUp();

  // Waits up to timeoutMs for the child to end, collecting its output
  // meanwhile. True once it has ended and been reaped.
  bool waitFor(uint32_t timeoutMs);

  // Exit code of an ended child; 128 + the signal number when a signal ended
  // it; -1 while it runs.
  int exitStatus() const { return exitStatus_; }
  // Everything read so far from standard output (lines returned by readLine
  // excluded) and from standard error.
  const std::string& standardOutput() const { return output_; }
  const std::string& standardError() const { return errorOutput_; }

 private:
  bool sendSignal(int signal);
  // Reads what is available from the pipes within timeoutMs; false when
  // nothing more can come (both pipes at their end). lastPumpRead_ tells
  // whether this call found anything to read.
  bool pump(uint32_t timeoutMs);
  bool readLineFrom(std::string* buffer, std::string* line, uint32_t timeoutMs);
  bool reap(bool block);
  void closePipes();

  int pid_ = -1;
  bool exited_ = false;
  int exitStatus_ = -1;
  int outputFd_ = -1;
  int errorFd_ = -1;
  bool lastPumpRead_ = false;
  std::string output_;
  std::string errorOutput_;
};

// True while a process with this id exists (a zombie counts as gone).
bool processAlive(int pid);

// Processor seconds (user and system) another process of this host has
// used so far; a negative value when it cannot be read.
double processCpuSecondsOf(int pid);

// This process's id, and the name of the host it runs on (empty when the
// system gives none).
int currentProcessId();
std::string hostName();

// Users, for the test tools that start a server which refuses to run as the
// superuser.
struct UserIds {
  uint32_t user = 0;
  uint32_t group = 0;  // the user's own group
};
bool runsAsSuperuser();
// Nothing when the system has no such user.
std::optional<UserIds> userIds(const std::string& name);
// Hands a file or folder to a user; false with the OS error recorded.
bool changeOwner(const std::string& path, const UserIds& owner);

}  // namespace vb::platform
