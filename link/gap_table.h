// The parts of a message under reception that are known to be missing: up to
// 20 ranges [start, end) of message offsets. Pure bookkeeping without locks;
// the link guards it with its gap lock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>

namespace vb::link {

struct Gap {
  uint32_t start;  // all ones: the entry is free
  uint32_t end;    // all ones: the gap runs to the end of the message
};

class GapTable {
 public:
  static constexpr std::size_t kEntries = 20;
  static constexpr uint32_t kOpen = 0xFFFFFFFFu;

  GapTable() { clear(); }
  // A table holding the given entries in index order, the rest free.
  GapTable(std::initializer_list<Gap> entries);

  void clear();
  const Gap& entry(std::size_t index) const { return entries_[index]; }

  // Forgets what lies below the start point: entries wholly below it are
  // freed, an entry across it starts at it.
  void trim(uint32_t startPoint);
  // True when no entry remains in use after trimming by the start point.
  bool hasNoGaps(uint32_t startPoint);
  // Start of the first entry in index order still in use after trimming
  // (not the lowest start), or all ones.
  uint32_t firstGapStart(uint32_t startPoint);

  // Records a data frame that carried count message bytes at position.
  // lastFrame: this frame holds the end of the message. Moves expected (where
  // the next in-order frame should begin). False when a new gap was needed
  // and the table was full; nothing else changes then.
  bool recordFrame(uint32_t position, uint32_t count, bool lastFrame, uint32_t startPoint,
                   uint32_t& expected);
  // Opens a gap running to the end of the message at expected, unless one
  // already holds it. False when the table is full.
  bool openGapAt(uint32_t expected);

 private:
  static bool isFree(const Gap& gap) { return gap.start == kOpen; }
  static bool contains(const Gap& gap, uint32_t position) {
    return !isFree(gap) && gap.start <= position && position < gap.end;
  }
  static void trimEntry(Gap& gap, uint32_t startPoint);
  Gap* containing(uint32_t position);
  Gap* firstFree();

  std::array<Gap, kEntries> entries_;
};

}  // namespace vb::link
