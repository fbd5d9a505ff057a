#include "gap_table.h"

#include <algorithm>

namespace vb::link {

GapTable::GapTable(std::initializer_list<Gap> entries) {
  clear();
  std::size_t index = 0;
  for (const Gap& gap : entries) {
    if (index == kEntries) break;
    entries_[index++] = gap;
  }
}

void GapTable::clear() { entries_.fill(Gap{kOpen, kOpen}); }

void GapTable::trimEntry(Gap& gap, uint32_t startPoint) {
  if (isFree(gap) || startPoint < gap.start) return;
  if (startPoint >= gap.end) {
    gap = Gap{kOpen, kOpen};
  } else if (gap.start < startPoint) {
    gap.start = startPoint;
  }
}

void GapTable::trim(uint32_t startPoint) {
  for (Gap& gap : entries_) trimEntry(gap, startPoint);
}

bool GapTable::hasNoGaps(uint32_t startPoint) { return firstGapStart(startPoint) == kOpen; }

uint32_t GapTable::firstGapStart(uint32_t startPoint) {
  for (Gap& gap : entries_) {
    trimEntry(gap, startPoint);
    if (!isFree(gap)) return gap.start;
  }
  return kOpen;
}

Gap* GapTable::containing(uint32_t position) {
  for (Gap& gap : entries_) {
    if (contains(gap, position)) return &gap;
  }
  return nullptr;
}

Gap* GapTable::firstFree() {
  for (Gap& gap : entries_) {
    if (isFree(gap)) return &gap;
  }
  return nullptr;
}

bool GapTable::recordFrame(uint32_t position, uint32_t count, bool lastFrame, uint32_t startPoint,
                           uint32_t& expected) {
  const uint32_t frameEnd = position + count;
  Gap* holder = containing(position);
  if (holder == nullptr) {
    if (position > expected) {
      Gap* fresh = firstFree();
      if (fresh == nullptr) return false;
      *fresh = Gap{expected, position};
    }
    expected = frameEnd;
  } else {
    if (position == holder->start) {
      if (holder->end <= frameEnd || lastFrame) {
        *holder = Gap{kOpen, kOpen};
      } else {
        holder->start = frameEnd;
      }
    } else if (holder->end > frameEnd && !lastFrame) {
      Gap* rest = firstFree();
      if (rest != nullptr) {
        *rest = Gap{frameEnd, holder->end};
        holder->end = position;
      }
    } else {
      holder->end = position;
    }
    // Filling a gap never moves the expected position backwards past data
    // that has already arrived in order.
    if (hasNoGaps(startPoint)) {
      expected = std::max(expected, frameEnd);
    } else {
      expected = firstGapStart(startPoint);
    }
  }
  if (lastFrame) {
    while (Gap* gap = containing(position)) *gap = Gap{kOpen, kOpen};
  }
  return true;
}

bool GapTable::openGapAt(uint32_t expected) {
  if (containing(expected) != nullptr) return true;
  Gap* fresh = firstFree();
  if (fresh == nullptr) return false;
  fresh->start = expected;
  fresh->end = kOpen;
  return true;
}

}  // namespace vb::link
