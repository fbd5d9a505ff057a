// Issues 32-bit handles for objects that callers may only hold as an int32
// (links, built-in serial ports). A handle that is not in the table (closed,
// stale, never issued) finds nothing and is never dereferenced; an object
// found stays alive for as long as the finder holds it, even if it is
// removed from the table meanwhile.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

namespace vb::link {

template <typename T>
class HandleTable {
 public:
  // Adds an object and returns its new handle (never -1, not reused until
  // the counter wraps past two thousand million handles).
  int32_t insert(std::shared_ptr<T> object) {
    std::lock_guard<std::mutex> guard(mutex_);
    do {
      next_ = next_ == INT32_MAX ? 1 : next_ + 1;
    } while (objects_.count(next_) != 0);
    objects_.emplace(next_, std::move(object));
    return next_;
  }

  // The object of a handle, or nullptr.
  std::shared_ptr<T> find(int32_t handle) const {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = objects_.find(handle);
    return it == objects_.end() ? nullptr : it->second;
  }

  // Takes an object out of the table; nullptr when the handle is unknown.
  std::shared_ptr<T> remove(int32_t handle) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = objects_.find(handle);
    if (it == objects_.end()) return nullptr;
    std::shared_ptr<T> object = std::move(it->second);
    objects_.erase(it);
    return object;
  }

 private:
  mutable std::mutex mutex_;
  std::map<int32_t, std::shared_ptr<T>> objects_;
  int32_t next_ = 0;
};

}  // namespace vb::link
