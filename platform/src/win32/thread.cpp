// Threads with a bounded join over CreateThread and WaitForSingleObject.
#include "platform/thread.h"

#include <windows.h>

#include "platform/error.h"

namespace vb::platform {

namespace {

DWORD WINAPI runBody(void* parameter) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(parameter));
  (*body)();
  return 0;
}

}  // namespace

struct Thread::Impl {
  HANDLE handle = nullptr;
  DWORD id = 0;

  void forget() {
    CloseHandle(handle);
    handle = nullptr;
    id = 0;
  }
};

Thread::Thread() : impl_(std::make_unique<Impl>()) {}

// Closing the handle of a thread still running lets it run on detached.
Thread::~Thread() {
  if (impl_->handle != nullptr) impl_->forget();
}

bool Thread::start(std::function<void()> body) {
  if (impl_->handle != nullptr) {
    setLastErrorCode(ERROR_BUSY);
    return false;
  }
  auto owned = std::make_unique<std::function<void()>>(std::move(body));
  // Created suspended so that its handle and id are recorded before the body
  // runs (the body may use this object; joinFor refuses a join of itself).
  DWORD id = 0;
  HANDLE handle = CreateThread(nullptr, 0, runBody, owned.get(), CREATE_SUSPENDED, &id);
  if (handle == nullptr) {
    setLastErrorCode(static_cast<int>(GetLastError()));
    return false;
  }
  owned.release();
  impl_->handle = handle;
  impl_->id = id;
  ResumeThread(handle);
  return true;
}

bool Thread::started() const { return impl_->handle != nullptr; }

bool Thread::joinFor(uint32_t timeoutMs) {
  if (impl_->handle == nullptr) return true;
  if (impl_->id == GetCurrentThreadId()) {
    setLastErrorCode(ERROR_POSSIBLE_DEADLOCK);
    return false;
  }
  if (WaitForSingleObject(impl_->handle, timeoutMs) != WAIT_OBJECT_0) return false;
  impl_->forget();
  return true;
}

}  // namespace vb::platform
