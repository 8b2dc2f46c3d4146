#pragma once
// The layout over AppState (UI thread only): tile rectangles and their slide,
// the wheel zoom and its animation, panning, the navigator, the hit tests and
// the scene handed to the renderer. The arithmetic lives in app/layout.h.
#include <windows.h>

#include "app/layout.h"

// Timer of the slide and zoom animations (15 ms period).
inline constexpr UINT_PTR kAnimationTimerId = 50;
inline constexpr UINT kAnimationTimerMs = 15;

// Recomputes every tile's rectangle for the client area; with animate the
// tiles slide there over 220 ms. Publishes the scene.
void LayoutTiles(bool animate);
// WM_TIMER with kAnimationTimerId: one step of the slide and the zoom.
void OnAnimationTimer();
// Builds the RenderScene from the tiles and the live view and hands it to the
// renderer.
void PublishScene();

// The visible window of the selected tile's picture at the live zoom and pan.
ViewGeometry ComputeViewGeometry();
// Slot position under a client point, or -1.
int HitTestTile(POINT point);
// The navigator and sound-icon boxes inside the selected tile, client
// coordinates; empty with no slots. Whether they take part in hit tests is
// up to the caller (IsNavigatorActive, IsAudioIconActive).
RECT NavigatorRect();
RECT AudioIconRect();
bool IsNavigatorActive();  // the live zoom is above 1.001 (and the grid is not shown)
// The grid is chosen (View > Grid) and no camera is shown alone.
bool GridShown();
bool IsAudioIconActive();  // the selected slot's stream has a valid audio description

// A press or drag at a client point inside the navigator moves the pan there.
void DragNavigator(POINT point);
// WM_MOUSEWHEEL: screenPoint is the message's point (screen coordinates),
// delta the signed high word of wParam. Over the selected tile the wheel
// zooms (WheelZoom); over a strip that has more thumbnails than fit it
// scrolls the strip (ScrollStrip); elsewhere it does nothing.
void MouseWheel(POINT screenPoint, int delta);
void WheelZoom(POINT screenPoint, int delta);
// Scrolls the strip for a wheel movement at a client point; false (and
// nothing changes) unless the strip takes the wheel there. Thumbnails in the
// middle of a slide keep sliding, to their scrolled places.
bool ScrollStrip(POINT point, int delta);
// WM_MOUSEMOVE while panning: moves the picture with the cursor since
// lastCursor and stores the cursor's position there.
void PanWithCursor();

// Copies the live zoom and pan into the selected slot and its camera entry,
// and back.
void StoreViewState();
void LoadViewState();
