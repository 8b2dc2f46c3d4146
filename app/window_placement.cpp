#include "app/window_placement.h"

#include <cmath>
#include <limits>

namespace {

constexpr double kIntMin = static_cast<double>(std::numeric_limits<int32_t>::min());
constexpr double kIntMax = static_cast<double>(std::numeric_limits<int32_t>::max());

// Truncates when the value is finite and the truncated value fits in an int.
bool TruncateToInt(double value, int32_t* out) {
  if (!std::isfinite(value)) return false;
  double t = std::trunc(value);
  if (t < kIntMin || t > kIntMax) return false;
  *out = static_cast<int32_t>(t);
  return true;
}

int32_t StartupExtent(double saved, int32_t minimum, int32_t fallback) {
  int32_t value = 0;
  if (!TruncateToInt(saved, &value) || value < minimum) return fallback;
  return value;
}

}  // namespace

int32_t StartupWidth(double saved) {
  return StartupExtent(saved, kMinSavedWidth, kDefaultWidth);
}

int32_t StartupHeight(double saved) {
  return StartupExtent(saved, kMinSavedHeight, kDefaultHeight);
}

bool StartupPosition(double left, double top, int32_t width, int32_t height, int32_t* outLeft,
                     int32_t* outTop) {
  int32_t l = 0, t = 0;
  if (!TruncateToInt(left, &l) || !TruncateToInt(top, &t)) return false;
  if (static_cast<int64_t>(l) + width > static_cast<int64_t>(kIntMax) ||
      static_cast<int64_t>(t) + height > static_cast<int64_t>(kIntMax)) {
    return false;
  }
  *outLeft = l;
  *outTop = t;
  return true;
}

PointOffset WorkspaceOffset(int32_t monitorLeft, int32_t monitorTop, int32_t workLeft,
                            int32_t workTop) {
  PointOffset offset;
  offset.x = workLeft - monitorLeft;
  offset.y = workTop - monitorTop;
  return offset;
}
