// When a serial read pauses to let bytes gather, in made-up time: a reader
// that follows the POSIX serial read's loop, reading a line's bytes as the
// link does (a frame header, then its payload, again and again), against
// lines of known arrival times. No read may end later than it would if the
// reader woke for every byte; on a line that keeps its rate the reader must
// wake far less often.
#include "platform/read_gathering.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace vb::platform {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;
using Chunk = ReadGathering::Chunk;
using Duration = ReadGathering::Duration;
using TimePoint = ReadGathering::Clock::time_point;

constexpr microseconds kWakeLatency{30};  // from a byte's arrival to the reader's read
constexpr size_t kHeaderBytes = 9;
constexpr size_t kPayloadBytes = 128;

Duration characterTime(int bitsPerSecond) {
  return Duration(std::chrono::seconds(10)) / bitsPerSecond;
}

// When each byte of the line arrives.
using Arrivals = std::vector<TimePoint>;

struct LineOutcome {
  int wakeUps = 0;
  Duration latestEnd{};  // the most any read ended after it would have
};

// Reads all bytes in reads of a header and a payload by turns, as the serial
// read's loop does: wait for the next byte unless a pause has just let bytes
// gather, take every byte that has come, pause when told to. A reader that
// woke for every byte would end each read as its last byte came (or as the
// read began, if it had come already), plus the wake-up.
LineOutcome readLine(const Arrivals& arrivals, Duration characterTime) {
  ReadGathering gathering;
  LineOutcome outcome;
  TimePoint now{};
  size_t next = 0;
  for (bool header = true; next < arrivals.size(); header = !header) {
    const size_t count = std::min(header ? kHeaderBytes : kPayloadBytes, arrivals.size() - next);
    const size_t end = next + count;
    const TimePoint began = now;
    gathering.beginRead(characterTime);
    bool gathered = false;
    bool first = true;
    while (next < end) {
      if (!gathered) {
        now = std::max(now, arrivals[next] + kWakeLatency);
        ++outcome.wakeUps;
      }
      const bool afterPause = std::exchange(gathered, false);
      size_t taken = 0;
      while (next + taken < end && arrivals[next + taken] <= now) ++taken;
      if (taken == 0) continue;
      next += taken;
      gathering.took(now, taken,
                     afterPause ? Chunk::Gathered : first ? Chunk::FirstOfRead : Chunk::Woken);
      first = false;
      if (next == end) break;
      const Duration pause = gathering.pauseFor(now, end - next, milliseconds(500));
      if (pause >= milliseconds(1)) {
        now += std::chrono::duration_cast<milliseconds>(pause);
        ++outcome.wakeUps;
        gathered = true;
      }
    }
    const TimePoint everyByte = std::max(began, arrivals[end - 1] + kWakeLatency);
    outcome.latestEnd = std::max(outcome.latestEnd, now - everyByte);
  }
  return outcome;
}

constexpr TimePoint kStart = TimePoint{} + milliseconds(3);

// count bytes at the line's rate, handed over in groups of `group` as the
// last byte of each group arrives (a receiver's buffer).
Arrivals paced(size_t count, Duration characterTime, size_t group = 1) {
  Arrivals arrivals(count);
  for (size_t i = 0; i < count; ++i) {
    const size_t groupEnd = std::min(count - 1, (i / group) * group + group - 1);
    arrivals[i] = kStart + characterTime * static_cast<int64_t>(groupEnd);
  }
  return arrivals;
}

// count bytes at the line's rate sent by a writer that wakes every `tick`
// (a sender on a coarse timer): each byte goes at the first tick at or after
// it is due, so some ticks send two.
Arrivals pacedOnTicks(size_t count, Duration characterTime, Duration tick) {
  Arrivals arrivals(count);
  for (size_t i = 0; i < count; ++i) {
    const Duration due = characterTime * static_cast<int64_t>(i);
    arrivals[i] = kStart + ((due + tick - Duration(1)) / tick) * tick;
  }
  return arrivals;
}

// Replies at the line's rate with a silence between them, as a meter answers
// commands: `replies` of `count` bytes each.
Arrivals pacedReplies(size_t replies, size_t count, Duration characterTime, Duration silence) {
  Arrivals arrivals;
  TimePoint start = kStart;
  for (size_t reply = 0; reply < replies; ++reply) {
    for (size_t i = 0; i < count; ++i) {
      arrivals.push_back(start + characterTime * static_cast<int64_t>(i));
    }
    start = arrivals.back() + silence;
  }
  return arrivals;
}

// A line faster than any rate: the writer's pieces reach the reader one after
// another, `spacing` apart; the pieces have the given sizes and a last one
// brings the rest.
Arrivals unpaced(size_t count, const std::vector<size_t>& sizes, Duration spacing) {
  Arrivals arrivals(count);
  size_t piece = 0;
  size_t leftInPiece = sizes.empty() ? count : sizes[0];
  for (size_t i = 0; i < count; ++i) {
    if (leftInPiece == 0) {
      ++piece;
      leftInPiece = piece < sizes.size() ? sizes[piece] : count;
    }
    --leftInPiece;
    arrivals[i] = kStart + spacing * static_cast<int64_t>(piece);
  }
  return arrivals;
}

struct LineCase {
  std::string name;
  int bitsPerSecond;
  Arrivals arrivals;
};

void PrintTo(const LineCase& line, std::ostream* out) { *out << line.name; }

std::vector<LineCase> lineCases() {
  std::vector<LineCase> cases;
  for (const int rate : {1200, 4800, 9600, 115200}) {
    const Duration byte = characterTime(rate);
    const std::string at = std::to_string(rate);
    const size_t frames = 3 * (kHeaderBytes + kPayloadBytes);
    cases.push_back({"Paced" + at, rate, paced(frames, byte)});
    cases.push_back({"PacedInFours" + at, rate, paced(frames, byte, 4)});
    cases.push_back({"PacedInFourteens" + at, rate, paced(frames, byte, 14)});
    cases.push_back({"PacedOnMillisecondTicks" + at, rate,
                     pacedOnTicks(frames, byte, microseconds(1060))});
    cases.push_back({"PacedReplies" + at, rate, pacedReplies(6, 40, byte, milliseconds(30))});
    cases.push_back({"PacedAtTwiceTheRate" + at, rate, paced(frames, byte / 2)});
    cases.push_back({"PacedOnTicksAtTwiceTheRate" + at, rate,
                     pacedOnTicks(frames, byte / 2, microseconds(1060))});
    cases.push_back({"UnpacedOneThenRest" + at, rate, unpaced(frames, {1}, microseconds(40))});
    cases.push_back({"UnpacedHalves" + at, rate, unpaced(frames, {frames / 2}, microseconds(5))});
    cases.push_back({"UnpacedThreePieces" + at, rate, unpaced(frames, {1, 1}, byte / 3)});
    cases.push_back({"UnpacedByteAtATime" + at, rate,
                     unpaced(frames, std::vector<size_t>(frames, 1), microseconds(20))});
    cases.push_back({"UnpacedPiecesSlowlyApart" + at, rate,
                     unpaced(frames, {1, 1, 1, 1}, byte * 3)});
  }
  return cases;
}

class ReadGatheringTest : public ::testing::TestWithParam<LineCase> {};

TEST_P(ReadGatheringTest, NoReadEndsLaterThanWakingForEveryByte) {
  const LineCase& line = GetParam();
  const LineOutcome outcome = readLine(line.arrivals, characterTime(line.bitsPerSecond));
  EXPECT_LE(outcome.latestEnd, Duration::zero())
      << "a read ended " << outcome.latestEnd.count()
      << " ns later than a reader that woke for every byte";
}

INSTANTIATE_TEST_SUITE_P(Lines, ReadGatheringTest, ::testing::ValuesIn(lineCases()),
                         [](const auto& info) { return info.param.name; });

TEST(ReadGathering, ALineAtItsRateWakesTheReaderFarLessThanEveryByte) {
  const Duration byte = characterTime(9600);
  const size_t frames = 20 * (kHeaderBytes + kPayloadBytes);
  for (const Arrivals& line : {paced(frames, byte), pacedOnTicks(frames, byte, microseconds(1060))}) {
    EXPECT_LT(readLine(line, byte).wakeUps, static_cast<int>(frames / 4));
  }
}

// Six bytes a byte time apart: enough for a stream at 9600 bit/s to count as
// at its rate.
void followSixBytes(ReadGathering& gathering, Duration byte, TimePoint start) {
  gathering.beginRead(byte);
  for (int i = 0; i < 6; ++i) {
    gathering.took(start + byte * i, 1, i == 0 ? Chunk::FirstOfRead : Chunk::Woken);
  }
}

TEST(ReadGathering, PausesStayWithinTheReadsTimeOutsAndNeedARate) {
  const TimePoint start{};
  const Duration byte = characterTime(9600);
  ReadGathering paced;
  followSixBytes(paced, byte, start);
  EXPECT_EQ(paced.pauseFor(start + byte * 5, 100, milliseconds(500)),
            ReadGathering::kLongestPause);
  EXPECT_EQ(paced.pauseFor(start + byte * 5, 100, milliseconds(2)), milliseconds(2));

  ReadGathering unknownRate;
  followSixBytes(unknownRate, Duration::zero(), start);
  EXPECT_EQ(unknownRate.pauseFor(start + byte * 5, 100, milliseconds(500)), Duration::zero());
}

TEST(ReadGathering, BytesGatheredInAPauseCountFromTheEarliestTheyCanHaveCome) {
  const TimePoint start{};
  const Duration byte = characterTime(9600);
  ReadGathering gathering;
  followSixBytes(gathering, byte, start);
  const Duration pause = gathering.pauseFor(start + byte * 5, 100, milliseconds(500));
  // Byte 12 of the stream, at the line's rate less two byte times of lateness;
  // the quiet line's time-out counts from there, not from the pause's end.
  EXPECT_EQ(gathering.took(start + byte * 5 + pause, 7, Chunk::Gathered), start + byte * 10);
}

}  // namespace
}  // namespace vb::platform
