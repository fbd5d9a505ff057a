#include "capture.h"

#include <fstream>
#include <sstream>

namespace vb::monitor {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

CaptureWriter::~CaptureWriter() { close(); }

bool CaptureWriter::open(const std::string& path) {
  close();
  file_ = std::fopen(path.c_str(), "w");
  if (file_ == nullptr) return false;
  return std::fprintf(file_, "%s\n", kCaptureHeading) > 0 && std::fflush(file_) == 0;
}

bool CaptureWriter::write(const Chunk& chunk) {
  if (file_ == nullptr) return false;
  const std::string line = formatChunk(chunk);
  return std::fprintf(file_, "%s\n", line.c_str()) > 0 && std::fflush(file_) == 0;
}

void CaptureWriter::close() {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
}

std::string formatChunk(const Chunk& chunk) {
  std::string line = std::to_string(chunk.timeMs) + " " + directionName(chunk.direction) + " ";
  line.reserve(line.size() + chunk.bytes.size() * 2);
  for (uint8_t byte : chunk.bytes) {
    line += kHexDigits[byte >> 4];
    line += kHexDigits[byte & 0x0F];
  }
  return line;
}

bool parseChunk(const std::string& line, Chunk* chunk) {
  std::istringstream fields(line);
  std::string time, sender, hex, extra;
  if (!(fields >> time >> sender >> hex) || (fields >> extra)) return false;
  if (time.empty() || time.find_first_not_of("0123456789") != std::string::npos ||
      time.size() > 15) {
    return false;
  }
  if (sender == "host") {
    chunk->direction = Direction::FromHost;
  } else if (sender == "meter") {
    chunk->direction = Direction::FromMeter;
  } else {
    return false;
  }
  if (hex.size() % 2 != 0) return false;
  chunk->timeMs = std::stoull(time);
  chunk->bytes.clear();
  chunk->bytes.reserve(hex.size() / 2);
  for (size_t i = 0; i < hex.size(); i += 2) {
    const int high = hexValue(hex[i]);
    const int low = hexValue(hex[i + 1]);
    if (high < 0 || low < 0) return false;
    chunk->bytes.push_back(static_cast<uint8_t>(high << 4 | low));
  }
  return true;
}

bool readCapture(const std::string& path, std::vector<Chunk>* chunks, std::string* error) {
  std::ifstream file(path);
  if (!file) {
    *error = "cannot read " + path;
    return false;
  }
  std::string line;
  size_t number = 0;
  while (std::getline(file, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    Chunk chunk;
    if (!parseChunk(line, &chunk)) {
      *error = path + ":" + std::to_string(number) + ": not a capture line";
      return false;
    }
    chunks->push_back(std::move(chunk));
  }
  return true;
}

}  // namespace vb::monitor
