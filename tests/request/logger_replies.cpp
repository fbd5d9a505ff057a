#include "logger_replies.h"

#include <cstring>

#include "scripted_meter.h"

namespace vb::request::testing {

WireWriter& WireWriter::put(uint32_t value, int size) {
  for (int i = 0; i < size; ++i) bytes_.push_back(static_cast<uint8_t>(value >> (8 * i)));
  return *this;
}

WireWriter& WireWriter::f32(float value) {
  uint32_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  return u32(bits);
}

WireWriter& WireWriter::text(const std::string& value) {
  bytes_.insert(bytes_.end(), value.begin(), value.end());
  bytes_.push_back(0);
  return *this;
}

WireWriter& WireWriter::bytes(const std::vector<uint8_t>& value) {
  bytes_.insert(bytes_.end(), value.begin(), value.end());
  return *this;
}

std::vector<uint8_t> EncodeDibReply(const DibWire& dib, uint16_t status) {
  WireWriter body;
  body.u16(0).u32(dib.strusize).u16(dib.struvers).u16(0).u16(dib.supplier).text(dib.meterId);
  body.u32(dib.lastAlt).u32(dib.transId).u16(dib.transpin).u32(dib.flowsId).u32(dib.pressId);
  body.f32(dib.calibore).u16(dib.auxWord);
  for (const std::string& text : dib.texts) body.text(text);
  body.bytes(std::vector<uint8_t>(dib.padding, 0x5A));
  return MakeReply(11, status, body.data());
}

std::vector<uint8_t> EncodePairReply(uint16_t command, const PairHeaderWire& header,
                                     const std::vector<std::pair<uint16_t, uint16_t>>& pairs,
                                     uint16_t status) {
  WireWriter fields;
  fields.u16(1).u16(1).u16(header.supplier).text(header.siteId);
  for (int i = 0; i < 6; ++i) fields.u32(1000 + i);
  const uint32_t lastRsn = header.firstRsn + static_cast<uint32_t>(pairs.size()) - 1;
  fields.u32(header.firstRsn).u32(2000).u32(lastRsn).u16(60).f32(header.calibratedBore);
  fields.u16(1).u16(1).u16(static_cast<uint16_t>(header.heightOffset)).u32(header.statusFlags);
  WireWriter body;
  body.u32(0).u32(static_cast<uint32_t>(fields.data().size() + 4)).bytes(fields.data());
  for (const auto& pair : pairs) body.u16(pair.first).u16(pair.second);
  return MakeReply(command, status, body.data());
}

}  // namespace vb::request::testing
