// Pseudo-terminal pairs in raw mode.
#include "platform/pty.h"

#include <errno.h>
#include <fcntl.h>
#include <pty.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <utility>

#include "platform/error.h"

namespace vb::platform {

namespace {

bool makeRawAndPrivate(int fd) {
  termios settings{};
  if (tcgetattr(fd, &settings) != 0) return false;
  cfmakeraw(&settings);
  if (tcsetattr(fd, TCSANOW, &settings) != 0) return false;
  const int flags = fcntl(fd, F_GETFD);
  return flags >= 0 && fcntl(fd, F_SETFD, flags | FD_CLOEXEC) == 0;
}

}  // namespace

PseudoTerminal::~PseudoTerminal() { close(); }

PseudoTerminal::PseudoTerminal(PseudoTerminal&& other) noexcept
    : master_(std::exchange(other.master_, -1)),
      slave_(std::exchange(other.slave_, -1)),
      slavePath_(std::move(other.slavePath_)) {}

PseudoTerminal& PseudoTerminal::operator=(PseudoTerminal&& other) noexcept {
  if (this != &other) {
    close();
    master_ = std::exchange(other.master_, -1);
    slave_ = std::exchange(other.slave_, -1);
    slavePath_ = std::move(other.slavePath_);
  }
  return *this;
}

bool PseudoTerminal::open() {
  close();
  if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) {
    setLastErrorCode(errno);
    master_ = slave_ = -1;
    return false;
  }
  char path[128] = {};
  if (ptsname_r(master_, path, sizeof path) != 0 || !makeRawAndPrivate(master_) ||
      !makeRawAndPrivate(slave_)) {
    setLastErrorCode(errno);
    close();
    return false;
  }
  slavePath_ = path;
  return true;
}

LineHandle PseudoTerminal::releaseMaster() { return lineFromField(std::exchange(master_, -1)); }

LineHandle PseudoTerminal::releaseSlave() { return lineFromField(std::exchange(slave_, -1)); }

void PseudoTerminal::closeSlave() { closeLine(releaseSlave()); }

void PseudoTerminal::close() {
  closeSlave();
  closeLine(releaseMaster());
  slavePath_.clear();
}

}  // namespace vb::platform
