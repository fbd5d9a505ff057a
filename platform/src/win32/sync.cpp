// Events and re-entrant locks over Win32 event objects and critical sections.
#include "platform/sync.h"

#include <windows.h>

#include <new>

namespace vb::platform {

struct Event::State {
  HANDLE handle = nullptr;
  ~State() {
    if (handle != nullptr) CloseHandle(handle);
  }
};

Event::Event(Reset mode, bool initiallySet) : state_(std::make_shared<State>()) {
  state_->handle = CreateEventA(nullptr, mode == Reset::Manual, initiallySet, nullptr);
  if (state_->handle == nullptr) throw std::bad_alloc();
}

Event::~Event() = default;

void Event::set() { SetEvent(state_->handle); }

void Event::reset() { ResetEvent(state_->handle); }

// kWaitForever is INFINITE, so time-outs pass through unchanged.
static_assert(kWaitForever == INFINITE);

bool Event::wait(uint32_t timeoutMs) {
  return WaitForSingleObject(state_->handle, timeoutMs) == WAIT_OBJECT_0;
}

int Event::waitAny(Event& first, Event& second, uint32_t timeoutMs) {
  if (first.state_ == second.state_) return first.wait(timeoutMs) ? 0 : -1;
  // The lowest signalled index wins and only that event is consumed.
  const HANDLE handles[2] = {first.state_->handle, second.state_->handle};
  switch (WaitForMultipleObjects(2, handles, FALSE, timeoutMs)) {
    case WAIT_OBJECT_0:
      return 0;
    case WAIT_OBJECT_0 + 1:
      return 1;
    default:
      return -1;
  }
}

struct RecursiveLock::Impl {
  CRITICAL_SECTION section;
  Impl() { InitializeCriticalSection(&section); }
  ~Impl() { DeleteCriticalSection(&section); }
};

RecursiveLock::RecursiveLock() : impl_(std::make_unique<Impl>()) {}
RecursiveLock::~RecursiveLock() = default;
void RecursiveLock::lock() { EnterCriticalSection(&impl_->section); }
void RecursiveLock::unlock() { LeaveCriticalSection(&impl_->section); }
bool RecursiveLock::try_lock() { return TryEnterCriticalSection(&impl_->section) != 0; }

}  // namespace vb::platform
