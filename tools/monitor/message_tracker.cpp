#include "message_tracker.h"

#include <algorithm>
#include <string>
#include <utility>

#include "link_constants.h"

namespace vb::monitor {

namespace {

// The receiving end keeps a message in a buffer of this size; frames beyond
// it are dropped there, and here.
constexpr uint32_t kMessageCapacity = link::kReceiveCapacity;

std::string range(uint32_t from, uint32_t to) {
  return std::to_string(from) + ".." + std::to_string(to);
}

}  // namespace

void MessageTracker::Assembly::hold(uint32_t from, uint32_t to) {
  auto next = held.upper_bound(from);
  if (next != held.begin()) {
    auto before = std::prev(next);
    if (before->second >= from) {
      from = before->first;
      to = std::max(to, before->second);
      next = held.erase(before);
    }
  }
  while (next != held.end() && next->first <= to) {
    to = std::max(to, next->second);
    next = held.erase(next);
  }
  held.emplace(from, to);
}

uint32_t MessageTracker::Assembly::heldBytes() const {
  uint32_t total = 0;
  for (const auto& [from, to] : held) total += to - from;
  return total;
}

bool MessageTracker::Assembly::complete() const {
  return endKnown && !held.empty() && held.begin()->first == 0 && held.begin()->second >= end;
}

std::vector<std::pair<uint32_t, uint32_t>> MessageTracker::Assembly::gaps() const {
  std::vector<std::pair<uint32_t, uint32_t>> missing;
  uint32_t covered = 0;
  for (const auto& [from, to] : held) {
    if (from > covered) missing.emplace_back(covered, from);
    covered = std::max(covered, to);
  }
  if (endKnown && covered < end) missing.emplace_back(covered, end);
  return missing;
}

MessageTracker::MessageTracker(Direction direction, EventSink events, Deliver deliver)
    : direction_(direction), events_(std::move(events)), deliver_(std::move(deliver)) {}

void MessageTracker::emit(uint64_t timeMs, const char* kind, std::string text,
                          nlohmann::ordered_json fields) {
  Event event;
  event.timeMs = timeMs;
  event.direction = direction_;
  event.kind = kind;
  event.text = std::move(text);
  event.fields = std::move(fields);
  events_(event);
}

void MessageTracker::startMessage(uint64_t timeMs, uint32_t position, bool first) {
  if (current_.active && !current_.delivered && !current_.held.empty()) {
    // Kept for a resume: the control exchanges that ask for it come first.
    emit(timeMs, "broken",
         "message broken off with " + std::to_string(current_.heldBytes()) +
             " bytes received" +
             (current_.endKnown ? " of " + std::to_string(current_.end) : std::string()),
         {{"received", current_.heldBytes()}});
    suspended_ = std::move(current_);
  }
  current_ = Assembly{};
  current_.active = true;
  current_.expected = position;
  if (!first && position != 0) {
    emit(timeMs, "joined", "message joined at offset " + std::to_string(position),
         {{"position", position}});
  }
}

void MessageTracker::addFrame(uint64_t timeMs, uint32_t position, const uint8_t* bytes,
                              size_t count, bool first, bool last) {
  const bool inProgress = current_.active && !current_.delivered;
  if (first) {
    startMessage(timeMs, position, true);
  } else if (!inProgress) {
    if (suspended_.active && position > 0) {
      current_ = std::move(suspended_);
      suspended_ = Assembly{};
      current_.expected = position;
      emit(timeMs, "resumed", "message resumed at offset " + std::to_string(position),
           {{"position", position}});
    } else if (current_.delivered && current_.endKnown && position < current_.end) {
      emit(timeMs, "resend",
           "bytes " + range(position, position + static_cast<uint32_t>(count)) +
               " sent again after the message was complete",
           {{"position", position}, {"size", count}});
      return;
    } else {
      startMessage(timeMs, position, false);
    }
  }

  if (position > kMessageCapacity || count > kMessageCapacity - position) {
    emit(timeMs, "overflow",
         "frame at offset " + std::to_string(position) + " ends beyond the " +
             std::to_string(kMessageCapacity) + "-byte receive buffer: dropped",
         {{"position", position}, {"size", count}});
    return;
  }
  const uint32_t to = position + static_cast<uint32_t>(count);
  if (position > current_.expected) {
    emit(timeMs, "gap", "gap: bytes " + range(current_.expected, position) + " missing",
         {{"position", current_.expected}, {"size", position - current_.expected}});
  } else if (position < current_.expected) {
    emit(timeMs, "resend", "bytes from offset " + std::to_string(position) + " sent again",
         {{"position", position}, {"size", count}});
  }
  if (current_.bytes.size() < to) current_.bytes.resize(to);
  std::copy(bytes, bytes + count, current_.bytes.begin() + position);
  current_.hold(position, to);
  current_.expected = to;
  if (last) {
    current_.endKnown = true;
    current_.end = to;
  }
  if (current_.complete()) {
    current_.delivered = true;
    current_.bytes.resize(current_.end);
    deliver_(timeMs, current_.bytes);
    return;
  }
  if (last) {
    const auto missing = current_.gaps();
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    std::string text;
    for (const auto& [from, gapEnd] : missing) {
      list.push_back({from, gapEnd});
      text += (text.empty() ? "" : ", ") + range(from, gapEnd);
    }
    emit(timeMs, "incomplete", "message ends with bytes missing: " + text, {{"missing", list}});
  }
}

}  // namespace vb::monitor
