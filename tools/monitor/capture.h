// The capture file: what crossed the line, so a watch taken in the field can
// be decoded again at the desk. A text file, one chunk of bytes a line:
//
//   # vantbrook line capture 1
//   <milliseconds since the start> <host|meter> <the bytes in hex>
//
// for example "1250 meter 014C7F2040404029A0301D550D". The sender is the side
// that sent the bytes; lines that begin with '#' are comments, and empty lines
// are skipped. Chunks are in the order they were relayed.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "event.h"

namespace vb::monitor {

inline constexpr char kCaptureHeading[] = "# vantbrook line capture 1";

struct Chunk {
  uint64_t timeMs = 0;
  Direction direction = Direction::FromHost;
  std::vector<uint8_t> bytes;
};

// Writes chunks as they are relayed; every chunk is flushed, so a watch that
// ends abruptly keeps what it saw.
class CaptureWriter {
 public:
  CaptureWriter() = default;
  ~CaptureWriter();
  CaptureWriter(const CaptureWriter&) = delete;
  CaptureWriter& operator=(const CaptureWriter&) = delete;

  // Creates (or empties) the file and writes the heading. False when it cannot.
  bool open(const std::string& path);
  bool write(const Chunk& chunk);
  void close();

 private:
  std::FILE* file_ = nullptr;
};

// Reads a whole capture. False with *error naming the line that is not a
// chunk.
bool readCapture(const std::string& path, std::vector<Chunk>* chunks, std::string* error);

// One line of a capture file, without its line end.
std::string formatChunk(const Chunk& chunk);
// Parses one chunk line. False when it is not one.
bool parseChunk(const std::string& line, Chunk* chunk);

}  // namespace vb::monitor
