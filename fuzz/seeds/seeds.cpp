// fuzz_seeds <directory>: writes <directory>/<target>/seed-N for every fuzz
// target, each input laid out as that target reads it: its settings first,
// then a real reply of the simulated meter, the frames that carry one, or a
// real device reply of the PAD and modem dialogues.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "frame.h"
#include "metersim/meter_model.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace ms = vb::metersim;
namespace fs = std::filesystem;

class Corpus {
 public:
  explicit Corpus(fs::path root) : root_(std::move(root)) {}

  void add(const std::string& target, const Bytes& input) {
    const fs::path folder = root_ / target;
    fs::create_directories(folder);
    const fs::path file = folder / ("seed-" + std::to_string(counts_[target]++));
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(input.data()), static_cast<std::streamsize>(input.size()));
  }
  size_t total() const {
    size_t n = 0;
    for (const auto& entry : counts_) n += entry.second;
    return n;
  }

 private:
  fs::path root_;
  std::map<std::string, int> counts_;
};

Bytes Cat(Bytes front, const Bytes& back) {
  front.insert(front.end(), back.begin(), back.end());
  return front;
}

Bytes U16(uint16_t value) { return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)}; }

Bytes Le32(uint32_t value) { return Cat(U16(static_cast<uint16_t>(value)), U16(static_cast<uint16_t>(value >> 16))); }

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

// A reply of the model to one command.
Bytes Ask(ms::MeterModel& model, uint8_t messageClass, uint16_t command, const Bytes& data) {
  const ms::Answer answer = model.handle(ms::buildCommand(messageClass, command, 0, data));
  return answer.replies.empty() ? Bytes{} : answer.replies.front().bytes;
}

// The frames that carry a message, as the link builds them, or as long
// frames of the given size.
Bytes Frames(const Bytes& message, uint32_t longSize = 0) {
  Bytes line;
  uint32_t position = 0;
  std::vector<uint8_t> frame(vb::link::kMaxFrameLength);
  while (position < message.size()) {
    const uint32_t left = static_cast<uint32_t>(message.size()) - position;
    size_t built = 0;
    if (longSize != 0) {
      built = vb::link::BuildLongFrame(message.data() + position, left, longSize, &position,
                                       frame.data(), frame.size());
    } else {
      const uint32_t offer = left < vb::link::kFrameDataSize ? left : vb::link::kFrameDataSize;
      built = vb::link::BuildFrame(message.data() + position, offer, &position,
                                   vb::link::FrameKind::kData, frame.data(), frame.size());
    }
    if (built == 0) break;
    line.insert(line.end(), frame.begin(), frame.begin() + static_cast<long>(built));
  }
  return line;
}

Bytes ControlFrame(uint8_t character, uint32_t argument) {
  std::vector<uint8_t> frame(vb::link::kMaxBuiltFrame);
  const size_t built = vb::link::BuildControlFrame(character, argument, frame.data(), frame.size());
  return Bytes(frame.begin(), frame.begin() + static_cast<long>(built));
}

// Decoder settings: expected supplier none, received = reply size, room =
// reply size.
const Bytes kDecoderDefaults = {0, 0, 0, 0, 0, 0, 0};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
    return 2;
  }
  Corpus corpus{fs::path(argv[1])};

  ms::ModelSettings settings;
  settings.pairsPerLogger = 40;
  settings.totalsRecords = 12;
  settings.initialLockLevel = 0;
  ms::MeterModel model(ms::Profile::defaults(), settings);

  const Bytes dib = Ask(model, ms::kClassMeter, ms::kCmdGetDib, {});
  const Bytes versions = Ask(model, ms::kClassMeter, ms::kCmdGetVersions, {});
  std::vector<Bytes> headers;
  std::vector<Bytes> downloads;
  for (uint16_t logNo = 1; logNo <= 3; ++logNo) {
    headers.push_back(Ask(model, ms::kClassMeter, ms::kCmdGetHeader, U16(logNo)));
    downloads.push_back(Ask(model, ms::kClassMeter, ms::kCmdGetData,
                            Cat(Cat(U16(logNo), U16(ms::kSelectAll)), Cat(Le32(0), Le32(0)))));
  }
  const Bytes pending = Ask(model, ms::kClassControl, ms::kCtlQueryPendingReply, {});

  corpus.add("dib", Cat(kDecoderDefaults, dib));
  corpus.add("dib", Cat({1, 0x34, 0x12, 1, 1, 0x10, 0, 0, 0}, dib));
  corpus.add("versions", Cat(Cat({1}, kDecoderDefaults), versions));
  for (size_t i = 0; i < 3; ++i) {
    const uint8_t totals = i == 2 ? 1 : 0;
    corpus.add("header", Cat(Cat({totals, 4, 0}, kDecoderDefaults), headers[i]));
  }
  for (uint8_t converted = 0; converted < 2; ++converted) {
    corpus.add("pairs", Cat(Cat({converted, 1, 40, 0}, kDecoderDefaults), downloads[0]));
    corpus.add("pairs", Cat(Cat({converted, 1, 10, 0}, kDecoderDefaults), downloads[1]));
  }
  corpus.add("totals", Cat(Cat({1, 12, 0, 0}, kDecoderDefaults), downloads[2]));
  corpus.add("totals", Cat(Cat({1, 5, 0, 1}, kDecoderDefaults), downloads[2]));

  // Frames on the line: short frames and each long size, for the frame
  // reader and the receiver.
  const std::vector<Bytes> messages = {dib, versions, headers[0], downloads[0], downloads[2],
                                       pending};
  for (const Bytes& message : messages) {
    const Bytes line = Frames(message);
    corpus.add("frame_parse", Cat(U16(4096), line));
    corpus.add("receiver", Cat({0xE8, 0x03, 0x00, 0x20, 0, 16}, line));
    const Bytes framed = Frames(message, 512);
    corpus.add("receiver", Cat({0xE8, 0x03, 0x00, 0x20, 0, 64}, framed));
    corpus.add("frame_parse", Cat(U16(2048), Frames(message, 1024)));
    if (line.size() > vb::link::kHeaderSize + 2) {
      corpus.add("unstuff", Cat(U16(4096), Bytes(line.begin() + vb::link::kHeaderSize,
                                                 line.end())));
    }
    corpus.add("frame_roundtrip", Cat({4, 128, 0, 0, 0, 0}, message));
    corpus.add("frame_roundtrip", Cat({1, 2, 0, 0, 0, 0}, message));
  }
  for (uint8_t control : {'0', '1', '2', '3', '7'}) {
    corpus.add("receiver", Cat({0xE8, 0x03, 0x00, 0x01, 0, 16}, ControlFrame(control, 128)));
    corpus.add("frame_parse", Cat(U16(16), ControlFrame(control, 0)));
    corpus.add("frame_roundtrip", {0, control, 0x80, 0, 0, 0});
  }

  // Device replies of the PAD and the modem.
  const std::vector<std::string> padReplies = {"*\r\n", "123456789\r\n", "123456789\r\nCOM\r\n",
                                               "ERR\r\n", "CLR DTE\r\n"};
  const std::vector<std::string> modemReplies = {"OK\r\n", "\r\nCONNECT 9600\r\n", "BUSY\r\n",
                                                 "NO CARRIER\r\n", "NO DIALTONE\r\n",
                                                 "ATH\r\r\nOK\r\n"};
  for (const std::string& reply : padReplies) {
    corpus.add("reply_contains", Cat({1, 3, 'C', 'O', 'M'}, Text(reply)));
    corpus.add("dialogues", Cat({0, 0}, Text(reply)));
    corpus.add("dialogues", Cat({1, 9}, Text("123456789" + reply)));
  }
  for (const std::string& reply : modemReplies) {
    corpus.add("reply_contains", Cat({0, 2, 'O', 'K'}, Text(reply)));
    for (uint8_t step = 2; step < 6; ++step) {
      corpus.add("dialogues", Cat({step, 7}, Text("5550100" + reply)));
    }
  }
  std::printf("%zu seeds written to %s\n", corpus.total(), argv[1]);
  return 0;
}
