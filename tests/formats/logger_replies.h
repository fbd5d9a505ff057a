// Header and download replies of the three loggers for the decoder tests,
// and the host records they decode into.
#pragma once

#include <string>
#include <vector>

#include "reply_bytes.h"
#include "vantbrook/records.h"
#include "vantbrook/vantbrook.h"

namespace vb::request::test {

constexpr uint16_t kGetHeader = 12;
constexpr uint16_t kGetData = 13;
constexpr uint32_t kLoggerGap = 4;  // uninterpreted bytes between offsets 10 and 14

const std::string kSite45 = "Reservoir outlet main 450mm, north pump house";

// A data header (loggers 1, 2) with a given bore and height offset, and
// edge values in its other fields.
inline Bytes DataHeaderBytes(uint16_t supplier, float bore = 100.0f,
                             uint16_t heightOffset = 0xFFF6) {
  Bytes header;
  header.u32(0).u16(2).u16(1).u16(supplier).text(kSite45);
  header.u32(0x80000001);  // currentDateTime: negative
  header.u32(100).u32(200).u32(300).u32(400).u32(500);
  header.u32(17);          // firstPairRSN
  header.u32(0xFFFFFFFF);  // lastPairDateTime: taken as sent
  header.u32(41);          // lastPairRSN
  header.u16(900).f32(bore).u16(0xFFFF).u16(3).u16(heightOffset).u32(0x2001);
  return WithByteCount(header);
}

inline Bytes TotalsHeaderBytes(uint16_t supplier) {
  Bytes header;
  header.u32(0).u16(5).u16(3).u16(supplier).text("Totals site");
  header.u32(1000).u32(0xFFFFFFFE).u32(3000);  // priorDateTime negative
  header.text("aux text").f32(2.5f);
  header.u32(4000).u32(7).u32(0xFFFFFFFF).u32(12).u32(0x10);
  return WithByteCount(header);
}

inline Bytes Pairs(const std::vector<std::pair<uint16_t, uint16_t>>& pairs) {
  Bytes bytes;
  for (const auto& pair : pairs) bytes.u16(pair.first).u16(pair.second);
  return bytes;
}

// Pairs flow = i, pressure = 1000 + i for i in 0..count-1.
inline Bytes CountingPairs(uint32_t count) {
  Bytes bytes;
  for (uint32_t i = 0; i < count; ++i) bytes.u16(static_cast<uint16_t>(i)).u16(1000 + i);
  return bytes;
}

// A 40-byte totals record; its CRC is computed independently of the
// library (bitwise CRC-16/MODBUS), low byte first unless swapped.
inline Bytes TotalsRecordBytes(uint32_t cdtf, uint32_t base, bool swapCrc = false) {
  Bytes record;
  record.u32(cdtf);
  for (uint32_t i = 0; i < 8; ++i) record.u32(base + i);
  record.u8(0x5A).u8(0xC3);
  uint16_t crc = 0xFFFF;
  for (uint8_t byte : record.bytes()) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
  }
  if (swapCrc) return record.u8(crc >> 8).u8(crc & 0xFF);
  return record.u8(crc & 0xFF).u8(crc >> 8);
}

inline Bytes LoggerReply(uint16_t command, const Bytes& header, const Bytes& entries) {
  Bytes body = header;
  body.append(entries);
  return Reply(command, kLoggerGap, body);
}

// The host's records for one header or download request, pattern-filled.
// The entries array holds capacity entries plus `spare` more that the
// decoder must never touch.
template <typename Header, typename Entry>
struct LoggerRun {
  DibRecord dib{};
  RequestRecord request{};
  ResultRecord result{};
  DownloadRecord download{};
  Header header;
  std::vector<Entry> entries;
  bool ok = false;

  LoggerRun(int16_t requestCode, uint32_t capacity, uint16_t expectedSupplier = 0,
            uint32_t spare = 0)
      : entries(capacity + spare) {
    FillPattern(&header);
    for (Entry& entry : entries) FillPattern(&entry);
    dib.supplier = expectedSupplier;
    request.requestCode = requestCode;
    download.header = &header;
    download.entries = entries.empty() ? nullptr : entries.data();
    download.capacity = capacity;
    request.download = &download;
  }

  template <typename Decoder>
  bool decode(Decoder decoder, const Bytes& reply, uint32_t room) {
    ReplyBuffer buffer(reply);
    buffer.attach(&request, room);
    ok = decoder(&dib, &request, &result, buffer.size());
    return ok;
  }
};

using PairsRun = LoggerRun<DataHeaderRecord, RawPair>;
using ConvertedRun = LoggerRun<DataHeaderRecord, ConvertedPair>;
using TotalsRun = LoggerRun<TotalsHeaderRecord, TotalsRecord>;

}  // namespace vb::request::test
