#pragma once
// The arithmetic of the main window's saved size and position.
#include <cstdint>

inline constexpr int32_t kMinSavedWidth = 240;
inline constexpr int32_t kMinSavedHeight = 160;
inline constexpr int32_t kDefaultWidth = 520;
inline constexpr int32_t kDefaultHeight = 330;

// The width / height to create the window with from the saved value: truncated;
// below the minimum, not finite or beyond what an int holds gives the default.
int32_t StartupWidth(double saved);
int32_t StartupHeight(double saved);

// The saved top-left corner, truncated, when there is a usable one: false when
// either value is NaN (never placed), not finite, beyond what an int holds, or
// when the right or bottom edge (corner + size) would not fit in an int.
bool StartupPosition(double left, double top, int32_t width, int32_t height, int32_t* outLeft,
                     int32_t* outTop);

// Workspace coordinates (those of the window placement's normal rectangle) are
// screen coordinates shifted by the work area's offset inside its monitor (a
// taskbar at the left or top). These convert one coordinate pair each way.
struct PointOffset {
  int32_t x = 0;
  int32_t y = 0;
};
// offset = work area's left/top minus the monitor's left/top.
PointOffset WorkspaceOffset(int32_t monitorLeft, int32_t monitorTop, int32_t workLeft,
                            int32_t workTop);
