// The gap table's rules, case by case.
#include "gap_table.h"

#include <gtest/gtest.h>

#include <ostream>
#include <vector>

#include "driver_binding.h"
#include "handle_table.h"
#include "platform/dynlib.h"

namespace vb::link {

bool operator==(const Gap& a, const Gap& b) { return a.start == b.start && a.end == b.end; }
void PrintTo(const Gap& gap, std::ostream* out) {
  *out << "[" << gap.start << ", " << gap.end << ")";
}

namespace {

constexpr uint32_t kOpen = GapTable::kOpen;

std::vector<Gap> inUse(const GapTable& table) {
  std::vector<Gap> gaps;
  for (size_t i = 0; i < GapTable::kEntries; ++i) {
    if (table.entry(i).start != kOpen) gaps.push_back(table.entry(i));
  }
  return gaps;
}

GapTable fullTable() {
  GapTable table;
  uint32_t expected = 0;
  for (uint32_t i = 0; i < GapTable::kEntries; ++i) {
    table.recordFrame(i * 20 + 10, 10, false, 0, expected);
  }
  return table;
}

struct RecordCase {
  const char* name;
  GapTable table;
  uint32_t startPoint;
  uint32_t expected;
  uint32_t position;
  uint32_t count;
  bool lastFrame;
  bool result;
  std::vector<Gap> gaps;
  uint32_t expectedAfter;
};

void PrintTo(const RecordCase& c, std::ostream* out) { *out << c.name; }

class RecordFrameTest : public ::testing::TestWithParam<RecordCase> {};

TEST_P(RecordFrameTest, LeavesTheTableAndExpectedPosition) {
  RecordCase c = GetParam();  // a copy: the case's table is changed
  uint32_t expected = c.expected;
  EXPECT_EQ(c.table.recordFrame(c.position, c.count, c.lastFrame, c.startPoint, expected),
            c.result);
  EXPECT_EQ(inUse(c.table), c.gaps);
  EXPECT_EQ(expected, c.expectedAfter);
}

INSTANTIATE_TEST_SUITE_P(
    GapTable, RecordFrameTest,
    ::testing::Values(
        RecordCase{"InOrderFrameOpensNoGap", {}, 0, 117, 117, 117, false, true, {}, 234},
        RecordCase{"FrameAfterALostOneOpensAGap", {}, 0, 117, 234, 66, true, true,
                   {{117, 234}}, 300},
        RecordCase{"FrameAtGapStartShrinksIt", {{100, 300}}, 0, 300, 100, 50, false, true,
                   {{150, 300}}, 150},
        RecordCase{"FrameInsideGapSplitsIt", {{100, 300}}, 0, 300, 150, 50, false, true,
                   {{100, 150}, {200, 300}}, 100},
        RecordCase{"FrameFillingGapFreesIt", {{100, 200}}, 0, 100, 100, 100, false, true, {},
                   200},
        // Filling the only gap leaves the expected position where in-order
        // data had already brought it.
        RecordCase{"FillingLastGapKeepsExpectedAhead", {{117, 234}}, 0, 300, 117, 117, false,
                   true, {}, 300},
        RecordCase{"LastFrameFreesOpenGapAtItsStart", {{100, kOpen}}, 0, 100, 100, 20, true,
                   true, {}, 120},
        RecordCase{"LastFrameInsideOpenGapEndsIt", {{100, kOpen}}, 0, 100, 150, 20, true, true,
                   {{100, 150}}, 100},
        RecordCase{"FrameAtGapStartWithLastFlagFreesIt", {{100, 400}}, 0, 400, 100, 50, true,
                   true, {}, 400},
        RecordCase{"GapBelowStartPointIsForgotten", {{100, 200}, {300, 400}}, 250, 400, 300,
                   100, false, true, {}, 400},
        RecordCase{"DuplicateFrameMovesExpectedBack", {}, 0, 300, 0, 117, false, true, {}, 117},
        RecordCase{"NoRoomForANewGap", fullTable(), 0, 400, 500, 10, false, false,
                   inUse(fullTable()), 400},
        RecordCase{"NoRoomToSplitChangesNothing", fullTable(), 0, 400, 22, 2, false, true,
                   inUse(fullTable()), 0}),
    [](const ::testing::TestParamInfo<RecordCase>& info) { return info.param.name; });

TEST(GapTable, TrimForgetsGapsBelowTheStartPointAndCutsOneAcrossIt) {
  GapTable table{{0, 100}, {150, 300}, {400, kOpen}};
  table.trim(200);
  EXPECT_EQ(inUse(table), (std::vector<Gap>{{200, 300}, {400, kOpen}}));
}

TEST(GapTable, FirstGapStartFollowsIndexOrderNotTheLowestStart) {
  GapTable table{{300, 400}, {100, 200}};
  EXPECT_EQ(table.firstGapStart(0), 300u);
  EXPECT_FALSE(table.hasNoGaps(0));
  EXPECT_EQ(table.firstGapStart(400), kOpen);
  EXPECT_TRUE(table.hasNoGaps(400));
}

TEST(GapTable, OpenGapAtExpectedOnlyWhenNoGapHoldsIt) {
  GapTable table{{100, 200}};
  EXPECT_TRUE(table.openGapAt(150));
  EXPECT_EQ(inUse(table), (std::vector<Gap>{{100, 200}}));
  EXPECT_TRUE(table.openGapAt(250));
  EXPECT_EQ(inUse(table), (std::vector<Gap>{{100, 200}, {250, kOpen}}));
  GapTable full = fullTable();
  EXPECT_FALSE(full.openGapAt(1000));
}

TEST(HandleTable, HandlesAreNeverMinusOneAndGoneOnceRemoved) {
  HandleTable<int> table;
  const int32_t first = table.insert(std::make_shared<int>(1));
  const int32_t second = table.insert(std::make_shared<int>(2));
  EXPECT_NE(first, -1);
  EXPECT_NE(first, second);
  ASSERT_NE(table.find(first), nullptr);
  EXPECT_EQ(*table.find(first), 1);
  std::shared_ptr<int> removed = table.remove(first);
  ASSERT_NE(removed, nullptr);
  EXPECT_EQ(table.find(first), nullptr);
  EXPECT_EQ(table.remove(first), nullptr);
  EXPECT_EQ(table.find(-1), nullptr);
  // The removed object lives on with whoever still holds it.
  EXPECT_EQ(*removed, 1);
}

TEST(DriverBinding, FileNameIsTheCodeAsItIsWithPortAndTheModuleSuffix) {
  EXPECT_EQ(driverFileName({'p', 'n', 'e', 't'}), platform::moduleFileName("pnetport"));
  EXPECT_EQ(driverFileName({'D', 'i', 'a', 'L'}), platform::moduleFileName("DiaLport"));
}

}  // namespace
}  // namespace vb::link
