#include "formats/reply.h"

#include <cstring>

#include "formats/fields.h"
#include "result.h"
#include "vantbrook/vantbrook.h"

namespace vb::request {

uint32_t ReadableReplyLength(const RequestRecord& request, uint32_t received) {
  if (request.data == nullptr) return 0;
  return received < request.dataLength ? received : request.dataLength;
}

ReplyFields::ReplyFields(const RequestRecord& request, uint32_t received, uint32_t start)
    : message_(request.data),
      readable_(ReadableReplyLength(request, received)),
      cursor_(start),
      // The readers take a bound of 0 as "no bound": an empty reply has no
      // fields at all.
      ended_(readable_ == 0) {}

void ReplyFields::endUnlessMoved(uint32_t before) {
  if (cursor_ == before) ended_ = true;
}

template <typename T>
T ReplyFields::read(T (*reader)(uint32_t&, const uint8_t*, uint32_t), T none) {
  if (ended_) return none;
  const uint32_t before = cursor_;
  const T value = reader(cursor_, message_, readable_);
  endUnlessMoved(before);
  return value;
}

uint8_t ReplyFields::u8() { return read<uint8_t>(ReadU8, 0); }
uint16_t ReplyFields::u16() { return read<uint16_t>(ReadU16, 0); }
uint32_t ReplyFields::u32() { return read<uint32_t>(ReadU32, 0); }
uint32_t ReplyFields::cdtf() { return read<uint32_t>(ReadCdtf, 0); }
float ReplyFields::real() { return read<float>(ReadFloat, 0.0f); }

void ReplyFields::text(char field[VB_TEXT_FIELD]) {
  if (ended_) {
    std::memset(field, 0, VB_TEXT_FIELD);
    return;
  }
  uint32_t before = cursor_;
  ReadString(cursor_, field, message_, readable_);
  endUnlessMoved(before);
}

void ReplyFields::skip(uint32_t size) {
  if (ended_) return;
  if (uint64_t{cursor_} + size > readable_) {
    ended_ = true;
    return;
  }
  cursor_ += size;
}

void ReplyFields::seek(uint32_t offset) {
  cursor_ = offset;
  ended_ = offset >= readable_;
}

bool CheckSupplier(uint16_t expected, uint16_t received, ResultRecord* result) {
  if (expected == 0 || expected == received) return true;
  SetResultF(result, VB_SUPPLIER_MISMATCH, "Mismatch on supplier ID. Expected %d, got %d",
             static_cast<unsigned>(expected), static_cast<unsigned>(received));
  return false;
}

}  // namespace vb::request
