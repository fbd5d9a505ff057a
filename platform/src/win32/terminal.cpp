// Console queries and the interrupt handling of command-line hosts: Ctrl-C,
// Ctrl-Break and closing the console reach a console control handler, which
// only sets a flag that the program polls.
#include "platform/terminal.h"

#include <windows.h>

#include <signal.h>

#include <atomic>

namespace vb::platform {

namespace {

std::atomic<int> interruptSignalNumber{0};
std::atomic<bool> handlerInstalled{false};

HANDLE handleOf(StandardStream stream) {
  switch (stream) {
    case StandardStream::Input:
      return GetStdHandle(STD_INPUT_HANDLE);
    case StandardStream::Output:
      return GetStdHandle(STD_OUTPUT_HANDLE);
    case StandardStream::Error:
      return GetStdHandle(STD_ERROR_HANDLE);
  }
  return INVALID_HANDLE_VALUE;
}

// Ctrl-C counts as the interrupt signal, the rest as a termination request,
// so the exit statuses match the POSIX build's.
BOOL WINAPI onConsoleControl(DWORD event) {
  const int signalNumber = event == CTRL_C_EVENT ? SIGINT : SIGTERM;
  int expected = 0;
  // A second interrupt: the user insists; the default handler ends the
  // process at once.
  return interruptSignalNumber.compare_exchange_strong(expected, signalNumber) ? TRUE : FALSE;
}

}  // namespace

bool isTerminal(StandardStream stream) {
  DWORD mode = 0;
  return GetConsoleMode(handleOf(stream), &mode) != 0;
}

int terminalColumns(StandardStream stream) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!GetConsoleScreenBufferInfo(handleOf(stream), &info)) return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
}

void installInterruptHandler() {
  if (handlerInstalled.exchange(true)) return;
  SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

void installReloadHandler() {}

bool takeReloadRequest() { return false; }

bool interruptRequested() { return interruptSignalNumber.load() != 0; }

int interruptSignal() { return interruptSignalNumber.load(); }

}  // namespace vb::platform
