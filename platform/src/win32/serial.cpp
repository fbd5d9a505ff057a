// A Windows communications port opened for overlapped input and output. The
// port's own time-outs (COMMTIMEOUTS) are the semantics the interface
// promises, so reads and writes pass them through unchanged: each starts
// with ReadFile or WriteFile and waits for completion in GetOverlappedResult.
//
// A read waits inside the port until its count has come or a time-out ends
// it, so the reader wakes once a read, not once a byte: the POSIX line's
// gathering pause (platform/read_gathering.h) has nothing to save here.
//
// purge() empties both directions with PurgeComm and also cancels the
// handle's pending operations with CancelIoEx: on Windows PurgeComm alone
// ends them; under Wine only the cancel does. A cancelled operation fails
// with ERROR_OPERATION_ABORTED.
#include "platform/serial.h"

#include <windows.h>

#include <algorithm>
#include <iterator>

#include "platform/error.h"
#include "system_text.h"

namespace vb::platform {

namespace {

constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

bool fail(DWORD code) {
  setLastErrorCode(static_cast<int>(code));
  return false;
}

bool failWithLastError() { return fail(GetLastError()); }

// One reader or one writer at a time, as on the POSIX side.
class SectionGuard {
 public:
  explicit SectionGuard(CRITICAL_SECTION& section) : section_(section) {
    EnterCriticalSection(&section_);
  }
  ~SectionGuard() { LeaveCriticalSection(&section_); }
  SectionGuard(const SectionGuard&) = delete;
  SectionGuard& operator=(const SectionGuard&) = delete;

 private:
  CRITICAL_SECTION& section_;
};

// Runs one overlapped transfer to its end; *done is the byte count moved.
// False with the OS error recorded when it could not start or failed.
template <typename Start>
bool transfer(HANDLE handle, HANDLE event, Start start, DWORD* done) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = event;
  ResetEvent(event);
  *done = 0;
  if (!start(&overlapped) && GetLastError() != ERROR_IO_PENDING) return failWithLastError();
  if (!GetOverlappedResult(handle, &overlapped, done, TRUE)) return failWithLastError();
  return true;
}

// The rates a communications port driver is expected to take (CBR_110 ...
// CBR_256000).
constexpr uint32_t kStandardBauds[] = {110,   300,   600,   1200,   2400,   4800,  9600,
                                       14400, 19200, 38400, 57600, 115200, 128000, 256000};

}  // namespace

bool isSupportedBaud(uint32_t bitsPerSecond) {
  return std::find(std::begin(kStandardBauds), std::end(kStandardBauds), bitsPerSecond) !=
         std::end(kStandardBauds);
}

struct SerialDevice::Impl {
  HANDLE handle = INVALID_HANDLE_VALUE;
  bool owns = false;
  HANDLE readEvent = nullptr;
  HANDLE writeEvent = nullptr;
  CRITICAL_SECTION readSection;
  CRITICAL_SECTION writeSection;

  Impl() {
    InitializeCriticalSection(&readSection);
    InitializeCriticalSection(&writeSection);
  }
  ~Impl() {
    DeleteCriticalSection(&readSection);
    DeleteCriticalSection(&writeSection);
  }

  bool isOpen() const { return handle != INVALID_HANDLE_VALUE; }

  // The completion events of the two directions' overlapped records.
  bool openEvents() {
    readEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    writeEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (readEvent != nullptr && writeEvent != nullptr) return true;
    setLastErrorCode(static_cast<int>(GetLastError()));
    closeEvents();
    return false;
  }
  void closeEvents() {
    if (readEvent != nullptr) CloseHandle(readEvent);
    if (writeEvent != nullptr) CloseHandle(writeEvent);
    readEvent = writeEvent = nullptr;
  }

  HANDLE letGo() {
    closeEvents();
    const HANDLE released = handle;
    handle = INVALID_HANDLE_VALUE;
    owns = false;
    return released;
  }
};

SerialDevice::SerialDevice() : impl_(std::make_unique<Impl>()) {}

SerialDevice::~SerialDevice() { close(); }

bool SerialDevice::open(const std::string& path) {
  close();
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return failWithLastError();
  impl_->handle = handle;
  impl_->owns = true;
  if (!impl_->openEvents()) {
    close();
    return false;
  }
  return true;
}

bool SerialDevice::adopt(LineHandle line) {
  close();
  HANDLE handle = win32::toHandle(fieldFromLine(line));
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return fail(ERROR_INVALID_HANDLE);
  if (GetFileType(handle) == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR) {
    return failWithLastError();
  }
  impl_->handle = handle;
  impl_->owns = false;
  if (!impl_->openEvents()) {
    impl_->letGo();
    return false;
  }
  return true;
}

bool SerialDevice::isOpen() const { return impl_->isOpen(); }

bool SerialDevice::ownsLine() const { return impl_->isOpen() && impl_->owns; }

LineHandle SerialDevice::handle() const {
  return impl_->isOpen() ? lineFromField(win32::toField(impl_->handle)) : LineHandle::None;
}

void SerialDevice::close() {
  const bool owned = impl_->owns;
  const HANDLE handle = impl_->letGo();
  if (owned && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
}

LineHandle SerialDevice::release() {
  const HANDLE handle = impl_->letGo();
  return handle == INVALID_HANDLE_VALUE ? LineHandle::None
                                        : lineFromField(win32::toField(handle));
}

bool SerialDevice::getSettings(SerialSettings* out) {
  if (out == nullptr) return fail(ERROR_INVALID_PARAMETER);
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(impl_->handle, &dcb)) return failWithLastError();
  SerialSettings settings;
  settings.baud = dcb.BaudRate;
  settings.dataBits = dcb.ByteSize;
  settings.parity = dcb.Parity == ODDPARITY    ? Parity::Odd
                    : dcb.Parity == EVENPARITY ? Parity::Even
                                               : Parity::None;
  settings.stopBits = dcb.StopBits == TWOSTOPBITS ? 2 : 1;
  settings.dtr = dcb.fDtrControl == DTR_CONTROL_ENABLE;
  settings.rts = dcb.fRtsControl == RTS_CONTROL_ENABLE;
  *out = settings;
  return true;
}

bool SerialDevice::setSettings(const SerialSettings& settings) {
  if (settings.baud == 0 || settings.dataBits < 5 || settings.dataBits > 8 ||
      (settings.stopBits != 1 && settings.stopBits != 2)) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(impl_->handle, &dcb)) return failWithLastError();
  dcb.BaudRate = settings.baud;
  dcb.ByteSize = settings.dataBits;
  dcb.Parity = settings.parity == Parity::Odd    ? ODDPARITY
               : settings.parity == Parity::Even ? EVENPARITY
                                                 : NOPARITY;
  dcb.StopBits = settings.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
  // Raw binary: no parity checking on input, no flow control of either
  // kind, no character replacement, errors do not stop the port.
  dcb.fBinary = TRUE;
  dcb.fParity = FALSE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fErrorChar = FALSE;
  dcb.fNull = FALSE;
  dcb.fAbortOnError = FALSE;
  dcb.fDtrControl = settings.dtr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
  dcb.fRtsControl = settings.rts ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
  if (!SetCommState(impl_->handle, &dcb)) return failWithLastError();
  return true;
}

bool SerialDevice::getTimeouts(SerialTimeouts* out) const {
  if (out == nullptr) return fail(ERROR_INVALID_PARAMETER);
  COMMTIMEOUTS port{};
  if (!GetCommTimeouts(impl_->handle, &port)) return failWithLastError();
  out->readIntervalMs = port.ReadIntervalTimeout;
  out->readTotalPerByteMs = port.ReadTotalTimeoutMultiplier;
  out->readTotalConstantMs = port.ReadTotalTimeoutConstant;
  out->writeTotalPerByteMs = port.WriteTotalTimeoutMultiplier;
  out->writeTotalConstantMs = port.WriteTotalTimeoutConstant;
  return true;
}

bool SerialDevice::setTimeouts(const SerialTimeouts& timeouts) {
  COMMTIMEOUTS port{};
  port.ReadIntervalTimeout = timeouts.readIntervalMs;
  port.ReadTotalTimeoutMultiplier = timeouts.readTotalPerByteMs;
  port.ReadTotalTimeoutConstant = timeouts.readTotalConstantMs;
  port.WriteTotalTimeoutMultiplier = timeouts.writeTotalPerByteMs;
  port.WriteTotalTimeoutConstant = timeouts.writeTotalConstantMs;
  return SetCommTimeouts(impl_->handle, &port) || failWithLastError();
}

bool SerialDevice::setQueueSizes(uint32_t inBytes, uint32_t outBytes) {
  return SetupComm(impl_->handle, inBytes, outBytes) || failWithLastError();
}

bool SerialDevice::read(void* buffer, size_t count, size_t* got) {
  if (got != nullptr) *got = 0;
  if (count == 0) return true;
  if (buffer == nullptr || got == nullptr) return fail(ERROR_INVALID_PARAMETER);
  if (!impl_->isOpen()) return fail(ERROR_INVALID_HANDLE);
  SectionGuard guard(impl_->readSection);
  const DWORD wanted = static_cast<DWORD>(std::min<size_t>(count, MAXDWORD));
  DWORD done = 0;
  const bool ok = transfer(
      impl_->handle, impl_->readEvent,
      [&](OVERLAPPED* overlapped) {
        return ReadFile(impl_->handle, buffer, wanted, nullptr, overlapped) != 0;
      },
      &done);
  *got = std::min<size_t>(done, wanted);
  return ok;
}

bool SerialDevice::write(const void* data, size_t count, size_t* written) {
  if (written != nullptr) *written = 0;
  if (count == 0) return true;
  if (data == nullptr || written == nullptr) return fail(ERROR_INVALID_PARAMETER);
  if (!impl_->isOpen()) return fail(ERROR_INVALID_HANDLE);
  SectionGuard guard(impl_->writeSection);
  const DWORD wanted = static_cast<DWORD>(std::min<size_t>(count, MAXDWORD));
  DWORD done = 0;
  const bool ok = transfer(
      impl_->handle, impl_->writeEvent,
      [&](OVERLAPPED* overlapped) {
        return WriteFile(impl_->handle, data, wanted, nullptr, overlapped) != 0;
      },
      &done);
  *written = std::min<size_t>(done, wanted);
  if (!ok) return false;
  // The port's write time-out completes a write early with what it sent.
  return done == count || fail(ERROR_TIMEOUT);
}

bool SerialDevice::bytesQueued(uint32_t* count) {
  if (count == nullptr) return fail(ERROR_INVALID_PARAMETER);
  DWORD errors = 0;
  COMSTAT status{};
  if (!ClearCommError(impl_->handle, &errors, &status)) return failWithLastError();
  *count = status.cbInQue;
  return true;
}

bool SerialDevice::purge() {
  if (!impl_->isOpen()) return fail(ERROR_INVALID_HANDLE);
  const bool purged = PurgeComm(impl_->handle, kPurgeAll) || failWithLastError();
  CancelIoEx(impl_->handle, nullptr);
  return purged;
}

void closeLine(LineHandle line) {
  if (line != LineHandle::None) CloseHandle(win32::toHandle(fieldFromLine(line)));
}

}  // namespace vb::platform
