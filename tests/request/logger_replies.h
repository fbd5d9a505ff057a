// Meter replies as bytes on the wire, for scripted far ends: the identity
// block and a pair logger's header with its pairs.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vb::request::testing {

// Appends little-endian fields and NUL-terminated texts.
class WireWriter {
 public:
  WireWriter& u16(uint16_t value) { return put(value, 2); }
  WireWriter& u32(uint32_t value) { return put(value, 4); }
  WireWriter& f32(float value);
  WireWriter& text(const std::string& value);
  WireWriter& bytes(const std::vector<uint8_t>& value);
  const std::vector<uint8_t>& data() const { return bytes_; }

 private:
  WireWriter& put(uint32_t value, int size);
  std::vector<uint8_t> bytes_;
};

struct DibWire {
  uint32_t strusize = 680;
  uint16_t struvers = 3;
  uint16_t supplier = 7;
  std::string meterId = "MTR-0001";
  uint32_t lastAlt = 1000;
  uint32_t transId = 11;
  uint16_t transpin = 12;
  uint32_t flowsId = 13;
  uint32_t pressId = 14;
  float calibore = 100.0f;
  uint16_t auxWord = 15;
  std::vector<std::string> texts = std::vector<std::string>(15, "text");
  size_t padding = 0;  // filler bytes after the last text
};

// The complete reply to GetDIB (command 11).
std::vector<uint8_t> EncodeDibReply(const DibWire& dib, uint16_t status = 0);

struct PairHeaderWire {
  uint16_t supplier = 7;
  std::string siteId = "Site";
  uint32_t firstRsn = 1;
  uint32_t statusFlags = 0;
  float calibratedBore = 100.0f;
  int16_t heightOffset = 0;
};

// The complete reply to GetHeader (12) or GetData (13) of a pair logger.
std::vector<uint8_t> EncodePairReply(uint16_t command, const PairHeaderWire& header,
                                     const std::vector<std::pair<uint16_t, uint16_t>>& pairs,
                                     uint16_t status = 0);

}  // namespace vb::request::testing
