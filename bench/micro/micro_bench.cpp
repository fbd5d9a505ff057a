// Byte-level costs on one core: CRC-16, building and taking apart the frames
// of a real 10,000-pair download reply, and decoding its pairs (raw and
// converted) and a 1,000-record totals reply. Bytes per second are message
// bytes for building and line bytes (as framed and stuffed) for taking
// apart; items per second are entries.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <type_traits>
#include <vector>

#include "crc16.h"
#include "formats/pairs.h"
#include "formats/totals.h"
#include "frame.h"
#include "reply_size.h"
#include "vantbrook/vantbrook.h"

namespace {

constexpr uint32_t kPairs = 10000;
constexpr uint32_t kTotals = 1000;
constexpr uint64_t kSeed = 1;

const std::vector<uint8_t>& pairsReply() {
  static const std::vector<uint8_t> reply = vb::bench::downloadReply(1, kSeed, kPairs, kTotals);
  return reply;
}

const std::vector<uint8_t>& totalsReply() {
  static const std::vector<uint8_t> reply = vb::bench::downloadReply(3, kSeed, kPairs, kTotals);
  return reply;
}

// The reply cut into the link's own short frames.
std::vector<std::vector<uint8_t>> buildFrames(const std::vector<uint8_t>& message) {
  std::vector<std::vector<uint8_t>> frames;
  uint32_t position = 0;
  while (position < message.size()) {
    const auto remaining = static_cast<uint32_t>(message.size() - position);
    const uint32_t offer =
        remaining < vb::link::kFrameDataSize ? remaining : vb::link::kFrameDataSize;
    std::vector<uint8_t> frame(vb::link::kMaxBuiltFrame);
    frame.resize(vb::link::BuildFrame(message.data() + position, offer, &position,
                                      vb::link::FrameKind::kData, frame.data(), frame.size()));
    frames.push_back(std::move(frame));
  }
  return frames;
}

void Crc16(benchmark::State& state) {
  std::vector<uint8_t> bytes(static_cast<size_t>(state.range(0)));
  std::mt19937 random(1);
  for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random());
  for (auto _ : state) benchmark::DoNotOptimize(vb::Crc16(bytes.data(), bytes.size()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(bytes.size()));
}
BENCHMARK(Crc16)->Arg(128)->Arg(4096);

void FrameBuild(benchmark::State& state) {
  const std::vector<uint8_t>& message = pairsReply();
  std::vector<uint8_t> frame(vb::link::kMaxBuiltFrame);
  for (auto _ : state) {
    uint32_t position = 0;
    while (position < message.size()) {
      const auto remaining = static_cast<uint32_t>(message.size() - position);
      const uint32_t offer =
          remaining < vb::link::kFrameDataSize ? remaining : vb::link::kFrameDataSize;
      benchmark::DoNotOptimize(vb::link::BuildFrame(message.data() + position, offer, &position,
                                                    vb::link::FrameKind::kData, frame.data(),
                                                    frame.size()));
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(message.size()));
}
BENCHMARK(FrameBuild);

// What the receiver does per frame once the bytes are in: synchronise on
// the start byte, check and decode the header, check and un-stuff the
// payload.
void FrameParse(benchmark::State& state) {
  const std::vector<std::vector<uint8_t>> frames = buildFrames(pairsReply());
  size_t lineBytes = 0;
  for (const auto& frame : frames) lineBytes += frame.size();
  std::vector<uint8_t> message(pairsReply().size());
  uint8_t header[vb::link::kHeaderSize];
  for (auto _ : state) {
    for (const auto& frame : frames) {
      std::memcpy(header, frame.data(), vb::link::kHeaderSize);
      const size_t valid = vb::link::SyncHeader(header, vb::link::kHeaderSize);
      if (valid != vb::link::kHeaderSize || !vb::link::CheckHeader(header)) {
        state.SkipWithError("bad header");
        return;
      }
      const vb::link::FrameHeader decoded = vb::link::DecodeHeader(header);
      const uint8_t* rest = frame.data() + vb::link::kHeaderSize;
      if (!vb::link::CheckPayload(rest, decoded.length)) {
        state.SkipWithError("bad payload");
        return;
      }
      const size_t payload = decoded.length - vb::link::kFrameOverhead;
      benchmark::DoNotOptimize(vb::link::Unstuff(rest, payload, message.data() + decoded.position,
                                                 message.size() - decoded.position));
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(lineBytes));
}
BENCHMARK(FrameParse);

template <typename Entry>
void decode(benchmark::State& state, const std::vector<uint8_t>& reply, int16_t logNo, int16_t code,
            uint32_t count) {
  std::vector<uint8_t> buffer = reply;
  std::vector<Entry> entries(count);
  std::conditional_t<std::is_same_v<Entry, TotalsRecord>, TotalsHeaderRecord, DataHeaderRecord>
      header{};
  DownloadRecord download{&header, entries.data(), count};
  RequestRecord request{};
  request.requestCode = code;
  request.logNo = logNo;
  request.data = buffer.data();
  request.dataLength = static_cast<uint32_t>(buffer.size());
  request.download = &download;
  DibRecord dib{};
  ResultRecord result{};
  const auto received = static_cast<uint32_t>(buffer.size());
  for (auto _ : state) {
    const bool ok = logNo == 3 ? vb::request::ProcessSentTotals(&dib, &request, &result, received)
                               : vb::request::ProcessSentData(&dib, &request, &result, received);
    if (!ok || header.count != count) {
      state.SkipWithError("decoding failed");
      return;
    }
    benchmark::DoNotOptimize(entries.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * count);
}

void DecodePairsRaw(benchmark::State& state) {
  decode<RawPair>(state, pairsReply(), 1, VB_REQ_DOWNLOAD_RAW, kPairs);
}
BENCHMARK(DecodePairsRaw);

void DecodePairsConverted(benchmark::State& state) {
  decode<ConvertedPair>(state, pairsReply(), 1, VB_REQ_DOWNLOAD_CONVERTED, kPairs);
}
BENCHMARK(DecodePairsConverted);

void DecodeTotals(benchmark::State& state) {
  decode<TotalsRecord>(state, totalsReply(), 3, VB_REQ_DOWNLOAD_RAW, kTotals);
}
BENCHMARK(DecodeTotals);

}  // namespace

BENCHMARK_MAIN();
