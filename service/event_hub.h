// The service's live events (line activity, attempts ending, alarms raised
// and cleared) handed to every client of the event stream. Each client has
// a queue of its own, bounded so that a client that stops reading costs
// nothing but its oldest events.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vb::service {

struct Event {
  std::string name;  // "activity", "attempt", "alarm"
  std::string data;  // one line of JSON
};

class EventHub {
 public:
  class Subscription {
   public:
    // The next event, waiting up to timeoutMs; false when none came (or the
    // hub closed).
    bool next(Event* event, uint32_t timeoutMs);
    bool closed() const;

   private:
    friend class EventHub;
    mutable std::mutex lock_;
    std::condition_variable ready_;
    std::deque<Event> queue_;
    bool closed_ = false;
  };

  std::shared_ptr<Subscription> subscribe();
  void unsubscribe(const std::shared_ptr<Subscription>& subscription);
  void publish(const Event& event);
  // Ends every subscription: their next() returns false at once.
  void close();

 private:
  static constexpr size_t kQueueLimit = 1000;
  std::mutex lock_;
  std::vector<std::shared_ptr<Subscription>> subscriptions_;
  bool closed_ = false;
};

}  // namespace vb::service
