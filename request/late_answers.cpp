#include "late_answers.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <mutex>

namespace vb::request {
namespace {

// Marker, class and command echo: what two answers to one message share.
constexpr uint32_t kAnswerHeadLength = 4;

struct OwedAnswers {
  int32_t key;
  uint32_t length;
  std::array<uint8_t, kAnswerHeadLength> head;
  uint32_t count;
};

std::mutex& TableLock() {
  static std::mutex lock;
  return lock;
}

// Never destroyed: a host thread may still use it while the process exits.
std::map<int32_t, OwedAnswers>& Table() {
  static auto* table = new std::map<int32_t, OwedAnswers>();
  return *table;
}

bool SameShape(const OwedAnswers& owed, const Reply& reply) {
  return reply.length == owed.length && reply.Holds(0, kAnswerHeadLength) &&
         std::memcmp(reply.bytes, owed.head.data(), kAnswerHeadLength) == 0;
}

}  // namespace

int32_t AnswerKey(const uint8_t* sent, uint32_t sentLength) {
  if (sentLength < kReplyCommandOffset + 2 || sent[0] != kMessageMarker) return kUnframedMessage;
  return GetU16(sent + kReplyCommandOffset);
}

void ExpectFurtherAnswers(int32_t link, int32_t key, const Reply& taken, uint32_t sends) {
  if (sends < 2 || !taken.Holds(0, kAnswerHeadLength)) return;
  std::lock_guard<std::mutex> guard(TableLock());
  auto found = Table().find(link);
  if (found != Table().end() && found->second.key == key && SameShape(found->second, taken)) {
    found->second.count += sends - 1;
    return;
  }
  OwedAnswers owed{key, taken.length, {}, sends - 1};
  std::copy_n(taken.bytes, kAnswerHeadLength, owed.head.begin());
  Table()[link] = owed;
}

bool TakeFurtherAnswer(int32_t link, int32_t key, const Reply& reply) {
  std::lock_guard<std::mutex> guard(TableLock());
  auto found = Table().find(link);
  if (found == Table().end()) return false;
  OwedAnswers& owed = found->second;
  if (!SameShape(owed, reply)) {
    Table().erase(found);
    return false;
  }
  if (key == owed.key) return false;
  if (--owed.count == 0) Table().erase(found);
  return true;
}

void ForgetFurtherAnswers(int32_t link) {
  std::lock_guard<std::mutex> guard(TableLock());
  Table().erase(link);
}

}  // namespace vb::request
