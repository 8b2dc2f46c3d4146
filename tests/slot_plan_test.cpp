// Which cameras get a tile, in which order, which is selected, and the
// bounded access-unit queue.
#include <gtest/gtest.h>

#include <cctype>
#include <deque>
#include <string>
#include <vector>

#include "app/slot_plan.h"

namespace {

// Case-insensitive ASCII comparison, standing in for the platform's.
int CompareIgnoringCase(const std::string& a, const std::string& b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    int x = std::tolower(static_cast<unsigned char>(a[i]));
    int y = std::tolower(static_cast<unsigned char>(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

CameraEntry Camera(const std::string& name, const std::string& url) {
  CameraEntry entry;
  entry.Name = name;
  entry.Url = url;
  return entry;
}

std::vector<std::string> Names(const std::vector<CameraEntry>& cameras) {
  std::vector<std::string> names;
  for (const CameraEntry& c : cameras) names.push_back(c.Name);
  return names;
}

}  // namespace

TEST(SlotPlan, SortIsCaseInsensitiveAndStable) {
  std::vector<CameraEntry> cameras = {Camera("b", "u1"), Camera("A", "u2"), Camera("c", "u3")};
  SortCamerasByName(cameras, CompareIgnoringCase);
  EXPECT_EQ(Names(cameras), (std::vector<std::string>{"A", "b", "c"}));

  // Equal names keep their order from the file (told apart by address).
  cameras = {Camera("Yard", "1"), Camera("gate", "2"), Camera("yard", "3"), Camera("Yard", "4")};
  SortCamerasByName(cameras, CompareIgnoringCase);
  ASSERT_EQ(cameras.size(), 4u);
  EXPECT_EQ(cameras[0].Url, "2");
  EXPECT_EQ(cameras[1].Url, "1");
  EXPECT_EQ(cameras[2].Url, "3");
  EXPECT_EQ(cameras[3].Url, "4");
}

TEST(SlotPlan, TilesOnlyForAddressesAndAtMostSixteen) {
  std::vector<CameraEntry> cameras;
  for (int i = 0; i < 20; ++i)
    cameras.push_back(Camera("c" + std::to_string(i), "rtsp://x/" + std::to_string(i)));
  cameras.insert(cameras.begin() + 3, Camera("no address", ""));
  std::vector<int32_t> plan = PlanSlots(cameras);
  ASSERT_EQ(plan.size(), 16u);
  EXPECT_EQ(plan[0], 0);
  EXPECT_EQ(plan[2], 2);
  EXPECT_EQ(plan[3], 4) << "the camera without an address is skipped, not counted";
  EXPECT_EQ(plan[15], 16);

  EXPECT_TRUE(PlanSlots({}).empty());
  EXPECT_TRUE(PlanSlots({Camera("a", "")}).empty());
}

TEST(SlotPlan, SelectionMatchesExactlyOrFallsBackToTheFirst) {
  std::vector<std::string> names = {"Drive", "porch", "Porch", "Porch"};
  EXPECT_EQ(FindSelectedSlot(names, "Porch"), 2);
  EXPECT_EQ(FindSelectedSlot(names, "PORCH"), 0) << "letter case matters";
  EXPECT_EQ(FindSelectedSlot(names, "Porch "), 0);
  EXPECT_EQ(FindSelectedSlot(names, ""), 0);
  EXPECT_EQ(FindSelectedSlot({}, "Drive"), 0);
  EXPECT_EQ(FindSelectedSlot({"", "x"}, ""), 0);
}

TEST(SlotPlan, QueueIsEmptiedWhenMoreThan120Wait) {
  std::deque<std::vector<int>> queue;
  for (int i = 0; i < 121; ++i) ASSERT_FALSE(AppendAccessUnit(queue, std::vector<int>{i}));
  ASSERT_EQ(queue.size(), 121u) << "121 units may wait";
  std::vector<int> unit{500, 501};
  EXPECT_TRUE(AppendAccessUnit(queue, std::move(unit))) << "the emptying is reported";
  ASSERT_EQ(queue.size(), 1u) << "the 122nd arrival drops the 121 queued ones";
  EXPECT_EQ(queue.front(), (std::vector<int>{500, 501}));
  EXPECT_TRUE(unit.empty()) << "the bytes are moved, not copied";
}
