#include "app/slot_plan.h"

#include <algorithm>

void SortCamerasByName(std::vector<CameraEntry>& cameras, const NameCompare& compare) {
  std::stable_sort(cameras.begin(), cameras.end(), [&](const CameraEntry& a, const CameraEntry& b) {
    return compare(a.Name, b.Name) < 0;
  });
}

std::vector<int32_t> PlanSlots(const std::vector<CameraEntry>& cameras) {
  std::vector<int32_t> plan;
  for (size_t i = 0; i < cameras.size(); ++i) {
    if (cameras[i].Url.empty()) continue;
    if (plan.size() >= kMaxTiles) break;
    plan.push_back(static_cast<int32_t>(i));
  }
  return plan;
}

int32_t FindSelectedSlot(const std::vector<std::string>& names, const std::string& selected) {
  for (size_t p = 0; p < names.size(); ++p) {
    if (names[p] == selected) return static_cast<int32_t>(p);
  }
  return 0;
}
