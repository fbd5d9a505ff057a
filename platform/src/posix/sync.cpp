// Events and re-entrant locks over the standard library's mutexes and
// condition variables.
#include "platform/sync.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <vector>

namespace vb::platform {

namespace {

using SteadyClock = std::chrono::steady_clock;

// The moment a wait of timeoutMs gives up; none when it waits forever.
std::optional<SteadyClock::time_point> deadlineAfter(uint32_t timeoutMs) {
  if (timeoutMs == kWaitForever) return std::nullopt;
  return SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
}

// A thread in waitAny: each of its two events pokes it when set.
struct AnyWaiter {
  std::mutex mutex;
  std::condition_variable changed;
  bool poked = false;
};

}  // namespace

struct Event::State {
  std::mutex mutex;
  std::condition_variable changed;
  bool signalled = false;
  bool manualReset = false;
  std::vector<AnyWaiter*> anyWaiters;

  // Takes the signal for a waiter that found it set (caller holds mutex).
  void consume() {
    if (!manualReset) signalled = false;
  }
  void removeWaiter(AnyWaiter* waiter) {
    anyWaiters.erase(std::remove(anyWaiters.begin(), anyWaiters.end(), waiter),
                     anyWaiters.end());
  }
};

Event::Event(Reset mode, bool initiallySet) : state_(std::make_shared<State>()) {
  state_->manualReset = mode == Reset::Manual;
  state_->signalled = initiallySet;
}

Event::~Event() = default;

void Event::set() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->signalled = true;
  // Every waiter re-checks; those that lose the race for an auto-reset
  // signal go back to waiting.
  state_->changed.notify_all();
  for (AnyWaiter* waiter : state_->anyWaiters) {
    std::lock_guard<std::mutex> waiterLock(waiter->mutex);
    waiter->poked = true;
    waiter->changed.notify_one();
  }
}

void Event::reset() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->signalled = false;
}

bool Event::wait(uint32_t timeoutMs) {
  State& state = *state_;
  std::unique_lock<std::mutex> lock(state.mutex);
  const auto isSet = [&state] { return state.signalled; };
  const auto deadline = deadlineAfter(timeoutMs);
  if (deadline) {
    if (!state.changed.wait_until(lock, *deadline, isSet)) return false;
  } else {
    state.changed.wait(lock, isSet);
  }
  state.consume();
  return true;
}

int Event::waitAny(Event& first, Event& second, uint32_t timeoutMs) {
  State& a = *first.state_;
  State& b = *second.state_;
  if (&a == &b) return first.wait(timeoutMs) ? 0 : -1;

  AnyWaiter waiter;
  const auto deadline = deadlineAfter(timeoutMs);
  bool registered = false;
  bool timedOut = false;
  for (;;) {
    {
      std::scoped_lock both(a.mutex, b.mutex);
      int ready = -1;
      if (a.signalled) {
        a.consume();
        ready = 0;
      } else if (b.signalled) {
        b.consume();
        ready = 1;
      }
      if (ready >= 0 || timedOut) {
        if (registered) {
          a.removeWaiter(&waiter);
          b.removeWaiter(&waiter);
        }
        return ready;
      }
      if (!registered) {
        a.anyWaiters.push_back(&waiter);
        b.anyWaiters.push_back(&waiter);
        registered = true;
      }
    }
    std::unique_lock<std::mutex> lock(waiter.mutex);
    const auto poked = [&waiter] { return waiter.poked; };
    if (deadline) {
      timedOut = !waiter.changed.wait_until(lock, *deadline, poked);
    } else {
      waiter.changed.wait(lock, poked);
    }
    waiter.poked = false;
  }
}

struct RecursiveLock::Impl {
  std::recursive_mutex mutex;
};

RecursiveLock::RecursiveLock() : impl_(std::make_unique<Impl>()) {}
RecursiveLock::~RecursiveLock() = default;
void RecursiveLock::lock() { impl_->mutex.lock(); }
void RecursiveLock::unlock() { impl_->mutex.unlock(); }
bool RecursiveLock::try_lock() { return impl_->mutex.try_lock(); }

}  // namespace vb::platform
