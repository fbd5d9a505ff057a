// Child processes over posix_spawn, with their output read through pipes and
// their end waited for on a pidfd, so no wait ever polls on a timer.
#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/error.h"

extern char** environ;

namespace vb::platform {

namespace {

constexpr size_t kReadChunk = 4096;

uint64_t steadyNowMs() {
  using namespace std::chrono;
  return static_cast<uint64_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// Milliseconds left until deadline, as poll() takes them.
int remainingMs(uint64_t deadline) {
  uint64_t now = steadyNowMs();
  if (now >= deadline) return 0;
  uint64_t left = deadline - now;
  return left > 60000 ? 60000 : static_cast<int>(left);
}

std::string variableName(const std::string& entry) {
  return entry.substr(0, entry.find('='));
}

// Our environment with the given entries replacing those of the same name.
std::vector<std::string> mergedEnvironment(const std::vector<std::string>& extra) {
  std::vector<std::string> merged;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    std::string text(*entry);
    bool replaced = false;
    for (const std::string& override : extra) {
      if (variableName(override) == variableName(text)) replaced = true;
    }
    if (!replaced) merged.push_back(text);
  }
  merged.insert(merged.end(), extra.begin(), extra.end());
  return merged;
}

std::vector<char*> pointerList(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Closes both ends of a pipe that were not handed on.
struct PipePair {
  int fds[2] = {-1, -1};
  ~PipePair() {
    for (int fd : fds) {
      if (fd >= 0) ::close(fd);
    }
  }
  bool open() { return ::pipe2(fds, O_CLOEXEC) == 0; }
  int takeReadEnd() {
    int fd = fds[0];
    fds[0] = -1;
    return fd;
  }
};

// A descriptor that becomes readable when the process ends (-1 when the
// kernel offers none; then waits fall back to short polls).
int openPidDescriptor(int pid) {
#ifdef SYS_pidfd_open
  long fd = ::syscall(SYS_pidfd_open, pid, 0);
  if (fd >= 0) {
    ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
    return static_cast<int>(fd);
  }
#else
  (void)pid;
#endif
  return -1;
}

}  // namespace

ChildProcess::ChildProcess() = default;

ChildProcess::~ChildProcess() {
  if (running()) {
    sendSignal(SIGKILL);
    reap(true);
  }
  closePipes();
}

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& arguments,
                         const ProcessOptions& options) {
  if (pid_ > 0) {
    setLastErrorCode(EBUSY);
    return false;
  }
  PipePair output;
  PipePair errors;
  if (!output.open() || (options.captureStandardError && !errors.open())) {
    setLastErrorCode(errno);
    return false;
  }

  std::vector<std::string> argumentTexts;
  argumentTexts.push_back(program);
  argumentTexts.insert(argumentTexts.end(), arguments.begin(), arguments.end());
  std::vector<std::string> environmentTexts = mergedEnvironment(options.environment);
  std::vector<char*> argv = pointerList(argumentTexts);
  std::vector<char*> envp = pointerList(environmentTexts);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, output.fds[1], STDOUT_FILENO);
  if (options.captureStandardError) {
    posix_spawn_file_actions_adddup2(&actions, errors.fds[1], STDERR_FILENO);
  }
  if (!options.workingDirectory.empty()) {
    posix_spawn_file_actions_addchdir_np(&actions, options.workingDirectory.c_str());
  }
  // The child starts with no signal blocked and Ctrl-C at its default, even
  // when this process routes its interrupts to a waiting thread; SIGPIPE
  // too, which a library of this process (the MQTT client's) may ignore.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  sigset_t interrupts;
  sigemptyset(&interrupts);
  sigaddset(&interrupts, SIGINT);
  sigaddset(&interrupts, SIGTERM);
  sigaddset(&interrupts, SIGPIPE);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &interrupts);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  int failure =
      ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), envp.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (failure != 0) {
    setLastErrorCode(failure);
    return false;
  }
  pid_ = pid;
  exited_ = false;
  exitStatus_ = -1;
  output_.clear();
  errorOutput_.clear();
  outputFd_ = output.takeReadEnd();
  if (options.captureStandardError) errorFd_ = errors.takeReadEnd();
  return true;
}

bool ChildProcess::pump(uint32_t timeoutMs) {
  struct pollfd fds[2];
  int count = 0;
  if (outputFd_ >= 0) fds[count++] = {outputFd_, POLLIN, 0};
  if (errorFd_ >= 0) fds[count++] = {errorFd_, POLLIN, 0};
  if (count == 0) return false;
  int ready = ::poll(fds, static_cast<nfds_t>(count), static_cast<int>(timeoutMs));
  if (ready == 0) {
    lastPumpRead_ = false;
    return true;
  }
  if (ready < 0) return errno == EINTR;
  lastPumpRead_ = true;
  for (int i = 0; i < count; ++i) {
    if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
    char chunk[kReadChunk];
    ssize_t got = ::read(fds[i].fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    bool isOutput = fds[i].fd == outputFd_;
    if (got <= 0) {
      ::close(fds[i].fd);
      (isOutput ? outputFd_ : errorFd_) = -1;
      continue;
    }
    (isOutput ? output_ : errorOutput_).append(chunk, static_cast<size_t>(got));
  }
  return outputFd_ >= 0 || errorFd_ >= 0;
}

bool ChildProcess::readLine(std::string* line, uint32_t timeoutMs) {
  return readLineFrom(&output_, line, timeoutMs);
}

bool ChildProcess::readErrorLine(std::string* line, uint32_t timeoutMs) {
  return readLineFrom(&errorOutput_, line, timeoutMs);
}

bool ChildProcess::readLineFrom(std::string* buffer, std::string* line, uint32_t timeoutMs) {
  uint64_t deadline = steadyNowMs() + timeoutMs;
  for (;;) {
    size_t end = buffer->find('\n');
    if (end != std::string::npos) {
      *line = buffer->substr(0, end);
      if (!line->empty() && line->back() == '\r') line->pop_back();
      buffer->erase(0, end + 1);
      return true;
    }
    int left = remainingMs(deadline);
    if (left == 0 || !pump(static_cast<uint32_t>(left))) return false;
  }
}

bool ChildProcess::sendSignal(int signal) {
  if (!running()) return false;
  if (::kill(pid_, signal) != 0) {
    setLastErrorCode(errno);
    return false;
  }
  return true;
}

bool ChildProcess::interrupt() { return sendSignal(SIGINT); }

bool ChildProcess::terminate() { return sendSignal(SIGTERM); }

bool ChildProcess::hangUp() { return sendSignal(SIGHUP); }

bool ChildProcess::reap(bool block) {
  if (exited_) return true;
  if (pid_ <= 0) return false;
  int status = 0;
  pid_t done;
  do {
    done = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
  } while (done < 0 && errno == EINTR);
  if (done != pid_) return false;
  exited_ = true;
  exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return true;
}

bool ChildProcess::waitFor(uint32_t timeoutMs) {
  if (pid_ <= 0) return false;
  uint64_t deadline = steadyNowMs() + timeoutMs;
  // Drain the pipes first so a child blocked on a full pipe can finish.
  while (outputFd_ >= 0 || errorFd_ >= 0) {
    if (reap(false)) break;
    int left = remainingMs(deadline);
    if (left == 0) return false;
    pump(static_cast<uint32_t>(left));
  }
  if (reap(false)) {
    // Collect what the child wrote just before it ended.
    while (pump(0) && lastPumpRead_) {
    }
    return true;
  }
  int pidFd = openPidDescriptor(pid_);
  for (;;) {
    if (reap(false)) break;
    int left = remainingMs(deadline);
    if (left == 0) break;
    if (pidFd >= 0) {
      struct pollfd ended = {pidFd, POLLIN, 0};
      ::poll(&ended, 1, left);
    } else {
      struct pollfd none = {-1, 0, 0};
      ::poll(&none, 1, left < 10 ? left : 10);
    }
  }
  if (pidFd >= 0) ::close(pidFd);
  return exited_;
}

void ChildProcess::closePipes() {
  if (outputFd_ >= 0) ::close(outputFd_);
  if (errorFd_ >= 0) ::close(errorFd_);
  outputFd_ = -1;
  errorFd_ = -1;
}

bool processAlive(int pid) {
  if (pid <= 0) return false;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return false;
  // The state follows the command name, which is in parentheses.
  size_t close = text.rfind(')');
  if (close == std::string::npos || close + 2 >= text.size()) return false;
  char state = text[close + 2];
  return state != 'Z' && state != 'X';
}

double processCpuSecondsOf(int pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return -1;
  // Fields after the command name (in parentheses): utime and stime are the
  // 12th and 13th of them, in clock ticks.
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 1; i <= 13 && fields >> field; ++i) {
    if (i == 12) utime = std::stoull(field);
    if (i == 13) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

int currentProcessId() { return static_cast<int>(::getpid()); }

std::string hostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return std::string();
  return name;
}

bool runsAsSuperuser() { return ::geteuid() == 0; }

std::optional<UserIds> userIds(const std::string& name) {
  std::vector<char> buffer(16384);
  struct passwd entry;
  struct passwd* found = nullptr;
  if (::getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr) {
    return std::nullopt;
  }
  return UserIds{static_cast<uint32_t>(found->pw_uid), static_cast<uint32_t>(found->pw_gid)};
}

bool changeOwner(const std::string& path, const UserIds& owner) {
  if (::chown(path.c_str(), static_cast<uid_t>(owner.user), static_cast<gid_t>(owner.group)) == 0) {
    return true;
  }
  setLastErrorCode(errno);
  return false;
}

}  // namespace vb::platform
