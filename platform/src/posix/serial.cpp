// A serial device over termios with the read and write time-outs of a
// Windows communications port, and a purge that ends blocked reads and
// writes at once.
//
// The descriptor is always non-blocking; every wait is a poll() on the line
// and on a cancel descriptor (an eventfd) of the same direction. purge()
// advances that direction's cancel generation and signals its eventfd. An
// operation notes the generation when it starts and fails when it sees a
// newer one; a signal left over from a purge that came before the operation
// started is drained and ignored.
//
// A read that has part of what it wants may pause before it waits again, so
// that a line delivering a byte at a time does not wake it for every byte;
// platform/read_gathering.h says when, such that no read ends later for it.
#include "platform/serial.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <utility>

#include "platform/error.h"
#include "platform/read_gathering.h"

namespace vb::platform {

namespace {

using SteadyClock = std::chrono::steady_clock;

struct BaudRate {
  uint32_t bitsPerSecond;
  speed_t code;
};

constexpr BaudRate kBaudRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

std::optional<speed_t> speedCodeFor(uint32_t bitsPerSecond) {
  for (const BaudRate& rate : kBaudRates) {
    if (rate.bitsPerSecond == bitsPerSecond) return rate.code;
  }
  return std::nullopt;
}

uint32_t bitsPerSecondFor(speed_t code) {
  for (const BaudRate& rate : kBaudRates) {
    if (rate.code == code) return rate.bitsPerSecond;
  }
  return 0;
}

struct DataBits {
  uint8_t count;
  tcflag_t flag;
};

constexpr DataBits kDataBits[] = {{5, CS5}, {6, CS6}, {7, CS7}, {8, CS8}};

bool fail(int code) {
  setLastErrorCode(code);
  return false;
}

bool failWithErrno() { return fail(errno); }

// A time limit, or none.
using Deadline = std::optional<SteadyClock::time_point>;

Deadline deadlineAfter(uint64_t totalMs) {
  if (totalMs == 0) return std::nullopt;
  return SteadyClock::now() + std::chrono::milliseconds(totalMs);
}

Deadline earlierOf(const Deadline& first, const Deadline& second) {
  if (!first) return second;
  if (!second) return first;
  return std::min(*first, *second);
}

// Milliseconds from now to the deadline as a poll() time-out; -1 for none.
int pollTimeoutMs(const Deadline& deadline) {
  if (!deadline) return -1;
  const auto now = SteadyClock::now();
  if (*deadline <= now) return 0;
  // Round up so a wait never ends just before its deadline.
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - now).count();
  return static_cast<int>(std::min<int64_t>(left, 0x7FFFFFFF));
}

bool reached(const Deadline& deadline) {
  return deadline && SteadyClock::now() >= *deadline;
}

// One direction's cancellation: a generation counter and the eventfd that
// wakes an operation blocked in poll().
struct CancelSignal {
  int fd = -1;
  std::atomic<uint64_t> generation{0};

  bool open() {
    fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    return fd >= 0;
  }
  void close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  void raise() {
    generation.fetch_add(1, std::memory_order_acq_rel);
    const uint64_t one = 1;
    // A full counter already wakes every poller; nothing more to do then.
    [[maybe_unused]] const ssize_t ignored = ::write(fd, &one, sizeof one);
  }
  void drain() const {
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t ignored = ::read(fd, &count, sizeof count);
  }
  bool raisedSince(uint64_t startGeneration) const {
    return generation.load(std::memory_order_acquire) != startGeneration;
  }
};

enum class WaitResult { Ready, TimedOut, Cancelled, Failed };

// Waits until the line reports one of `events` (or a hang-up or error, left
// in *lineEvents), the deadline passes or the direction is cancelled after
// startGeneration. Failed leaves the OS error recorded.
WaitResult waitForLine(int lineFd, short events, CancelSignal& cancel, uint64_t startGeneration,
                       const Deadline& deadline, short* lineEvents) {
  for (;;) {
    if (cancel.raisedSince(startGeneration)) return WaitResult::Cancelled;
    pollfd fds[2] = {{lineFd, events, 0}, {cancel.fd, POLLIN, 0}};
    const int ready = poll(fds, 2, pollTimeoutMs(deadline));
    if (ready < 0) {
      if (errno == EINTR) continue;
      setLastErrorCode(errno);
      return WaitResult::Failed;
    }
    if (ready == 0) {
      if (reached(deadline)) return WaitResult::TimedOut;
      continue;
    }
    if ((fds[1].revents & POLLIN) != 0) {
      cancel.drain();
      if (cancel.raisedSince(startGeneration)) return WaitResult::Cancelled;
    }
    if (fds[0].revents != 0) {
      *lineEvents = fds[0].revents;
      return WaitResult::Ready;
    }
  }
}

// One character's time on the line at its settings; zero when the rate is
// unknown (no pause is then taken, see ReadGathering).
ReadGathering::Duration characterTime(int fd) {
  termios line{};
  if (tcgetattr(fd, &line) != 0) return ReadGathering::Duration::zero();
  speed_t speed = cfgetispeed(&line);
  if (speed == B0) speed = cfgetospeed(&line);  // input at the output's rate
  const uint32_t bitsPerSecond = bitsPerSecondFor(speed);
  if (bitsPerSecond == 0) return ReadGathering::Duration::zero();
  uint32_t bits = 1 + ((line.c_cflag & CSTOPB) != 0 ? 2 : 1) + ((line.c_cflag & PARENB) != 0);
  for (const DataBits& data : kDataBits) {
    if ((line.c_cflag & CSIZE) == data.flag) bits += data.count;
  }
  return std::chrono::duration_cast<ReadGathering::Duration>(std::chrono::seconds(bits)) /
         bitsPerSecond;
}

// What is left of the earlier of two limits from now; the longest pause when
// there is none.
ReadGathering::Duration timeLeft(const Deadline& deadline, SteadyClock::time_point now) {
  if (!deadline) return ReadGathering::kLongestPause;
  return std::max<ReadGathering::Duration>(*deadline - now, ReadGathering::Duration::zero());
}

// Sleeps for the pause (in whole milliseconds, rounded down), or less when the
// direction is cancelled meanwhile (the caller then sees the cancellation).
void pauseUnlessCancelled(const CancelSignal& cancel, ReadGathering::Duration pause) {
  const auto pauseMs = std::chrono::duration_cast<std::chrono::milliseconds>(pause).count();
  pollfd fd{cancel.fd, POLLIN, 0};
  while (poll(&fd, 1, static_cast<int>(pauseMs)) < 0 && errno == EINTR) {
  }
}

}  // namespace

bool isSupportedBaud(uint32_t bitsPerSecond) { return speedCodeFor(bitsPerSecond).has_value(); }

struct SerialDevice::Impl {
  int fd = -1;
  bool owns = false;
  int adoptedFlags = 0;  // file status flags of an adopted descriptor, restored on release
  CancelSignal readCancel;
  CancelSignal writeCancel;
  std::mutex readMutex;
  std::mutex writeMutex;
  mutable std::mutex settingsMutex;
  SerialTimeouts timeouts;
  bool dtr = true;
  bool rts = true;
  ReadGathering gathering;  // the reader's, under readMutex

  bool openCancelSignals() {
    if (readCancel.open() && writeCancel.open()) return true;
    setLastErrorCode(errno);
    readCancel.close();
    writeCancel.close();
    return false;
  }

  // Lets go of the descriptor, restoring an adopted one's flags.
  int letGo() {
    readCancel.close();
    writeCancel.close();
    const int released = fd;
    if (released >= 0 && !owns) fcntl(released, F_SETFL, adoptedFlags);
    fd = -1;
    owns = false;
    gathering.restart();
    return released;
  }

  SerialTimeouts currentTimeouts() const {
    std::lock_guard<std::mutex> lock(settingsMutex);
    return timeouts;
  }

  bool setModemLine(int line, bool on) {
    int bits = line;
    if (ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits) == 0) return true;
    // A pseudo-terminal has no modem lines: that is not a failure.
    return errno == ENOTTY || errno == EINVAL || failWithErrno();
  }
};

SerialDevice::SerialDevice() : impl_(std::make_unique<Impl>()) {}

SerialDevice::~SerialDevice() { close(); }

bool SerialDevice::open(const std::string& path) {
  close();
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return failWithErrno();
  int error = 0;
  if (!isatty(fd)) {
    error = ENOTTY;
  } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    // Another user holds the device (TIOCEXCL alone does not stop root).
    error = errno == EWOULDBLOCK ? EBUSY : errno;
  } else if (ioctl(fd, TIOCEXCL) != 0) {
    error = errno;
  }
  if (error != 0) {
    ::close(fd);
    return fail(error);
  }
  impl_->fd = fd;
  impl_->owns = true;
  if (!impl_->openCancelSignals()) {
    close();
    return false;
  }
  return true;
}

bool SerialDevice::adopt(LineHandle line) {
  close();
  const int fd = fieldFromLine(line);
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return failWithErrno();
  if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return failWithErrno();
  impl_->fd = fd;
  impl_->owns = false;
  impl_->adoptedFlags = flags;
  if (!impl_->openCancelSignals()) {
    close();
    return false;
  }
  return true;
}

bool SerialDevice::isOpen() const { return impl_->fd >= 0; }

bool SerialDevice::ownsLine() const { return impl_->fd >= 0 && impl_->owns; }

LineHandle SerialDevice::handle() const { return lineFromField(impl_->fd); }

void SerialDevice::close() {
  const bool owned = impl_->owns;
  const int fd = impl_->letGo();
  if (owned && fd >= 0) {
    // The exclusive mark outlives this descriptor while the far side of a
    // pseudo-terminal holds it open; lift it so the device can be reopened.
    ioctl(fd, TIOCNXCL);
    ::close(fd);
  }
}

LineHandle SerialDevice::release() { return lineFromField(impl_->letGo()); }

bool SerialDevice::getSettings(SerialSettings* out) {
  if (out == nullptr) return fail(EINVAL);
  termios line{};
  if (tcgetattr(impl_->fd, &line) != 0) return failWithErrno();
  SerialSettings settings;
  settings.baud = bitsPerSecondFor(cfgetospeed(&line));
  settings.dataBits = 8;
  for (const DataBits& bits : kDataBits) {
    if ((line.c_cflag & CSIZE) == bits.flag) settings.dataBits = bits.count;
  }
  if ((line.c_cflag & PARENB) == 0) {
    settings.parity = Parity::None;
  } else {
    settings.parity = (line.c_cflag & PARODD) != 0 ? Parity::Odd : Parity::Even;
  }
  settings.stopBits = (line.c_cflag & CSTOPB) != 0 ? 2 : 1;
  int modemLines = 0;
  if (ioctl(impl_->fd, TIOCMGET, &modemLines) == 0) {
    settings.dtr = (modemLines & TIOCM_DTR) != 0;
    settings.rts = (modemLines & TIOCM_RTS) != 0;
  } else {
    std::lock_guard<std::mutex> lock(impl_->settingsMutex);
    settings.dtr = impl_->dtr;
    settings.rts = impl_->rts;
  }
  *out = settings;
  return true;
}

bool SerialDevice::setSettings(const SerialSettings& settings) {
  const std::optional<speed_t> speed = speedCodeFor(settings.baud);
  const DataBits* dataBits = nullptr;
  for (const DataBits& bits : kDataBits) {
    if (bits.count == settings.dataBits) dataBits = &bits;
  }
  if (!speed || dataBits == nullptr || (settings.stopBits != 1 && settings.stopBits != 2)) {
    return fail(EINVAL);
  }

  termios line{};
  if (tcgetattr(impl_->fd, &line) != 0) return failWithErrno();
  // Raw binary: no echo, no line editing, no character translation, no
  // parity checking or marking on input, no software or hardware flow
  // control, modem status lines ignored.
  cfmakeraw(&line);
  line.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK | ISTRIP | IGNPAR);
  line.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  line.c_cflag |= CLOCAL | CREAD | dataBits->flag;
  if (settings.parity != Parity::None) line.c_cflag |= PARENB;
  if (settings.parity == Parity::Odd) line.c_cflag |= PARODD;
  if (settings.stopBits == 2) line.c_cflag |= CSTOPB;
  line.c_cc[VMIN] = 1;
  line.c_cc[VTIME] = 0;
  if (cfsetispeed(&line, *speed) != 0 || cfsetospeed(&line, *speed) != 0) {
    return failWithErrno();
  }
  if (tcsetattr(impl_->fd, TCSANOW, &line) != 0) return failWithErrno();
  if (!impl_->setModemLine(TIOCM_DTR, settings.dtr) ||
      !impl_->setModemLine(TIOCM_RTS, settings.rts)) {
    return false;
  }
  std::lock_guard<std::mutex> lock(impl_->settingsMutex);
  impl_->dtr = settings.dtr;
  impl_->rts = settings.rts;
  return true;
}

bool SerialDevice::getTimeouts(SerialTimeouts* out) const {
  if (out == nullptr) return fail(EINVAL);
  if (impl_->fd < 0) return fail(EBADF);
  *out = impl_->currentTimeouts();
  return true;
}

bool SerialDevice::setTimeouts(const SerialTimeouts& timeouts) {
  if (impl_->fd < 0) return fail(EBADF);
  std::lock_guard<std::mutex> lock(impl_->settingsMutex);
  impl_->timeouts = timeouts;
  return true;
}

bool SerialDevice::setQueueSizes(uint32_t, uint32_t) {
  return impl_->fd >= 0 || fail(EBADF);
}

bool SerialDevice::read(void* buffer, size_t count, size_t* got) {
  size_t received = 0;
  if (got != nullptr) *got = 0;
  if (count == 0) return true;
  if (buffer == nullptr || got == nullptr) return fail(EINVAL);
  if (impl_->fd < 0) return fail(EBADF);

  std::lock_guard<std::mutex> readLock(impl_->readMutex);
  CancelSignal& cancel = impl_->readCancel;
  const uint64_t startGeneration = cancel.generation.load(std::memory_order_acquire);
  const SerialTimeouts timeouts = impl_->currentTimeouts();
  const Deadline total = deadlineAfter(uint64_t{timeouts.readTotalPerByteMs} * count +
                                       timeouts.readTotalConstantMs);
  Deadline interval;  // armed by each byte once the first has come
  auto* bytes = static_cast<unsigned char*>(buffer);
  ReadGathering& gathering = impl_->gathering;
  gathering.beginRead(characterTime(impl_->fd));
  bool gathered = false;  // a pause has just let bytes gather: read them without waiting

  while (received < count) {
    short lineEvents = 0;
    if (!gathered) {
      switch (waitForLine(impl_->fd, POLLIN, cancel, startGeneration, earlierOf(total, interval),
                          &lineEvents)) {
        case WaitResult::Cancelled:
          *got = received;
          return fail(ECANCELED);
        case WaitResult::Failed:
          *got = received;
          return false;
        case WaitResult::TimedOut:
          *got = received;
          return true;
        case WaitResult::Ready:
          break;
      }
    } else if (cancel.raisedSince(startGeneration)) {
      *got = received;
      return fail(ECANCELED);
    }
    const bool afterPause = std::exchange(gathered, false);
    const ssize_t n = ::read(impl_->fd, bytes + received, count - received);
    if (n > 0) {
      const auto readAt = SteadyClock::now();
      const ReadGathering::Chunk chunk = afterPause      ? ReadGathering::Chunk::Gathered
                                         : received == 0 ? ReadGathering::Chunk::FirstOfRead
                                                         : ReadGathering::Chunk::Woken;
      received += static_cast<size_t>(n);
      const auto lastByteCame = gathering.took(readAt, static_cast<size_t>(n), chunk);
      if (timeouts.readIntervalMs != 0) {
        interval = lastByteCame + std::chrono::milliseconds(timeouts.readIntervalMs);
      }
      if (received < count) {
        const auto pause = gathering.pauseFor(readAt, count - received,
                                              timeLeft(earlierOf(total, interval), readAt));
        if (pause >= std::chrono::milliseconds(1)) {
          pauseUnlessCancelled(cancel, pause);
          gathered = true;
        }
      }
      continue;
    }
    const bool hungUp = (lineEvents & (POLLHUP | POLLERR)) != 0;
    if (n < 0 && (errno == EINTR || (errno == EAGAIN && !hungUp))) continue;
    // The far side has gone (end of file, or a hang-up that read() does not
    // report as an error): fail rather than poll it again and again.
    *got = received;
    return n < 0 && errno != EAGAIN ? failWithErrno() : fail(EIO);
  }
  *got = received;
  return true;
}

bool SerialDevice::write(const void* data, size_t count, size_t* written) {
  size_t sent = 0;
  if (written != nullptr) *written = 0;
  if (count == 0) return true;
  if (data == nullptr || written == nullptr) return fail(EINVAL);
  if (impl_->fd < 0) return fail(EBADF);

  std::lock_guard<std::mutex> writeLock(impl_->writeMutex);
  CancelSignal& cancel = impl_->writeCancel;
  const uint64_t startGeneration = cancel.generation.load(std::memory_order_acquire);
  const SerialTimeouts timeouts = impl_->currentTimeouts();
  const Deadline total = deadlineAfter(uint64_t{timeouts.writeTotalPerByteMs} * count +
                                       timeouts.writeTotalConstantMs);
  const auto* bytes = static_cast<const unsigned char*>(data);
  *written = 0;
  while (sent < count) {
    if (cancel.raisedSince(startGeneration)) return fail(ECANCELED);
    const ssize_t n = ::write(impl_->fd, bytes + sent, count - sent);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      *written = sent;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return failWithErrno();
    if (reached(total)) return fail(ETIMEDOUT);
    short lineEvents = 0;
    switch (waitForLine(impl_->fd, POLLOUT, cancel, startGeneration, total, &lineEvents)) {
      case WaitResult::Cancelled:
        return fail(ECANCELED);
      case WaitResult::Failed:
        return false;
      case WaitResult::TimedOut:
        return fail(ETIMEDOUT);
      case WaitResult::Ready:
        if ((lineEvents & POLLOUT) == 0) return fail(EIO);
        break;
    }
  }
  return true;
}

bool SerialDevice::bytesQueued(uint32_t* count) {
  if (count == nullptr) return fail(EINVAL);
  int queued = 0;
  if (ioctl(impl_->fd, FIONREAD, &queued) != 0) return failWithErrno();
  *count = static_cast<uint32_t>(std::max(queued, 0));
  return true;
}

bool SerialDevice::purge() {
  if (impl_->fd < 0) return fail(EBADF);
  const bool flushed = tcflush(impl_->fd, TCIOFLUSH) == 0 || failWithErrno();
  impl_->readCancel.raise();
  impl_->writeCancel.raise();
  return flushed;
}

void closeLine(LineHandle line) {
  const int fd = fieldFromLine(line);
  if (fd >= 0) ::close(fd);
}

}  // namespace vb::platform
