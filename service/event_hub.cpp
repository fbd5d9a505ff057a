#include "event_hub.h"

#include <algorithm>
#include <chrono>

namespace vb::service {

bool EventHub::Subscription::next(Event* event, uint32_t timeoutMs) {
  std::unique_lock<std::mutex> guard(lock_);
  ready_.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                  [this] { return closed_ || !queue_.empty(); });
  if (queue_.empty()) return false;
  *event = std::move(queue_.front());
  queue_.pop_front();
  return true;
}

bool EventHub::Subscription::closed() const {
  std::lock_guard<std::mutex> guard(lock_);
  return closed_;
}

std::shared_ptr<EventHub::Subscription> EventHub::subscribe() {
  auto subscription = std::make_shared<Subscription>();
  std::lock_guard<std::mutex> guard(lock_);
  subscription->closed_ = closed_;
  subscriptions_.push_back(subscription);
  return subscription;
}

void EventHub::unsubscribe(const std::shared_ptr<Subscription>& subscription) {
  std::lock_guard<std::mutex> guard(lock_);
  subscriptions_.erase(std::remove(subscriptions_.begin(), subscriptions_.end(), subscription),
                       subscriptions_.end());
}

void EventHub::publish(const Event& event) {
  std::lock_guard<std::mutex> guard(lock_);
  for (const std::shared_ptr<Subscription>& subscription : subscriptions_) {
    {
      std::lock_guard<std::mutex> queued(subscription->lock_);
      if (subscription->queue_.size() >= kQueueLimit) subscription->queue_.pop_front();
      subscription->queue_.push_back(event);
    }
    subscription->ready_.notify_one();
  }
}

void EventHub::close() {
  std::lock_guard<std::mutex> guard(lock_);
  closed_ = true;
  for (const std::shared_ptr<Subscription>& subscription : subscriptions_) {
    {
      std::lock_guard<std::mutex> queued(subscription->lock_);
      subscription->closed_ = true;
    }
    subscription->ready_.notify_all();
  }
}

}  // namespace vb::service
