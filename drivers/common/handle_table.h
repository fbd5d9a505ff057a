// A thread-safe table that issues 32-bit handles for objects, so that a
// caller holds a number instead of an address. A handle that was never
// issued, or whose object was removed, finds nothing.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

namespace vb::driver {

template <typename Object>
class HandleTable {
 public:
  // Handles start above the descriptor numbers in common use, so that a line
  // descriptor passed by mistake as a connection handle is refused instead
  // of being taken for another connection.
  static constexpr int32_t kFirstHandle = 0x10000;
  static constexpr int32_t kLastHandle = INT32_MAX;

  // Issues a handle for the object; -1 when every handle is in use.
  int32_t issue(std::shared_ptr<Object> object) {
    std::lock_guard<std::mutex> guard(lock_);
    for (int64_t tried = 0; tried <= int64_t{kLastHandle} - kFirstHandle; ++tried) {
      const int32_t handle = next_;
      next_ = (next_ == kLastHandle) ? kFirstHandle : next_ + 1;
      if (objects_.count(handle) == 0) {
        objects_.emplace(handle, std::move(object));
        return handle;
      }
    }
    return -1;
  }

  // The object of a handle, kept alive for as long as the caller holds it;
  // empty for an unknown handle.
  std::shared_ptr<Object> find(int32_t handle) const {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = objects_.find(handle);
    return it == objects_.end() ? nullptr : it->second;
  }

  // Takes the object out of the table; its handle is refused from then on.
  std::shared_ptr<Object> remove(int32_t handle) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = objects_.find(handle);
    if (it == objects_.end()) return nullptr;
    std::shared_ptr<Object> object = std::move(it->second);
    objects_.erase(it);
    return object;
  }

 private:
  mutable std::mutex lock_;
  std::map<int32_t, std::shared_ptr<Object>> objects_;
  int32_t next_ = kFirstHandle;
};

}  // namespace vb::driver
