// Terminal queries and the interrupt handling of command-line hosts.
//
// SIGINT and SIGTERM are blocked in every thread and taken by one waiting
// thread with sigwait(), so no read, poll or wait of the link's threads is
// ever cut short by EINTR; the program only sees a flag.
#include "platform/terminal.h"

#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace vb::platform {

namespace {

std::atomic<int> interruptSignalNumber{0};
std::atomic<bool> handlerInstalled{false};
std::atomic<bool> reloadHandlerInstalled{false};
std::atomic<unsigned> reloadRequests{0};

sigset_t reloadSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGHUP);
  return set;
}

int descriptorOf(StandardStream stream) {
  switch (stream) {
    case StandardStream::Input:
      return STDIN_FILENO;
    case StandardStream::Output:
      return STDOUT_FILENO;
    case StandardStream::Error:
      return STDERR_FILENO;
  }
  return -1;
}

sigset_t interruptSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

void waitForInterrupts(sigset_t signals) {
  // A reload signal is never this thread's to take: it keeps its default
  // action elsewhere, or goes to the reload thread.
  sigset_t reload = reloadSignals();
  ::pthread_sigmask(SIG_BLOCK, &reload, nullptr);
  for (;;) {
    int signalNumber = 0;
    if (::sigwait(&signals, &signalNumber) != 0) continue;
    int expected = 0;
    if (interruptSignalNumber.compare_exchange_strong(expected, signalNumber)) continue;
    // A second interrupt: the user insists. End now with the default action.
    ::signal(signalNumber, SIG_DFL);
    ::pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
    ::raise(signalNumber);
  }
}

}  // namespace

bool isTerminal(StandardStream stream) { return ::isatty(descriptorOf(stream)) == 1; }

int terminalColumns(StandardStream stream) {
  struct winsize size {};
  if (::ioctl(descriptorOf(stream), TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

void installInterruptHandler() {
  if (handlerInstalled.exchange(true)) return;
  sigset_t signals = interruptSignals();
  // Threads started from here on inherit the blocked set.
  ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::thread(waitForInterrupts, signals).detach();
}

void installReloadHandler() {
  if (reloadHandlerInstalled.exchange(true)) return;
  sigset_t signals = reloadSignals();
  ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::thread([signals] {
    for (;;) {
      int signalNumber = 0;
      if (::sigwait(&signals, &signalNumber) == 0) ++reloadRequests;
    }
  }).detach();
}

bool takeReloadRequest() {
  unsigned pending = reloadRequests.load();
  while (pending > 0 && !reloadRequests.compare_exchange_weak(pending, pending - 1)) {
  }
  return pending > 0;
}

bool interruptRequested() { return interruptSignalNumber.load() != 0; }

int interruptSignal() { return interruptSignalNumber.load(); }

}  // namespace vb::platform
