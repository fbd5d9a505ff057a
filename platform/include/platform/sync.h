// Events and re-entrant locks: the waiting primitives the link receiver,
// the transmitter and the drivers are built on.
#pragma once

#include <cstdint>
#include <memory>

namespace vb::platform {

// Waits forever when given as a time-out.
inline constexpr uint32_t kWaitForever = 0xFFFFFFFFu;

// A signalling event. Auto-reset: a successful wait clears it (one waiter is
// released per set). Manual-reset: it stays set until reset().
class Event {
 public:
  enum class Reset { Auto, Manual };
  explicit Event(Reset mode, bool initiallySet = false);
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void set();
  void reset();
  // True when the event was (or became) set within timeoutMs.
  bool wait(uint32_t timeoutMs);
  // True when set, without waiting (consumes it when auto-reset).
  bool tryWait() { return wait(0); }

  // Waits for the first of two events. Returns 0 or 1 for the event that
  // was set (the first is preferred when both are), -1 on time-out. Only the
  // returned event is consumed.
  static int waitAny(Event& first, Event& second, uint32_t timeoutMs);

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// A re-entrant lock (the owning thread may take it again).
class RecursiveLock {
 public:
  RecursiveLock();
  ~RecursiveLock();
  RecursiveLock(const RecursiveLock&) = delete;
  RecursiveLock& operator=(const RecursiveLock&) = delete;
  void lock();
  void unlock();
  bool try_lock();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Scope guard for RecursiveLock.
class LockGuard {
 public:
  explicit LockGuard(RecursiveLock& lock) : lock_(lock) { lock_.lock(); }
  ~LockGuard() { lock_.unlock(); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  RecursiveLock& lock_;
};

}  // namespace vb::platform
