// The render thread: decodes every slot's queued access units and draws one
// frame per tick (about 60 a second) until AppState's renderStop is set.
#pragma once

#include <windows.h>

#include <cstddef>
#include <deque>

#include "video/video_decoder_win.h"

class Renderer;

// Thread procedure for CreateThread; the parameter is ignored. Returns 0
// after a normal stop, 1 when the renderer cannot be initialised.
DWORD WINAPI RenderThreadProc(LPVOID parameter);

// One tick's access-unit step (render thread, inside the render gate): takes
// each slot's queued units, starting at position firstSlot, opens a slot's
// decoder when its codec is known and decodes the units into the renderer
// within the tick's decoding budget. Returns the position to start at next tick.
// `taken` is the thread's working queue: empty between calls and kept from
// tick to tick, so that taking a slot's queue (a swap under its lock) hands the
// slot storage that already exists instead of making a new queue every time.
size_t DecodeQueuedUnits(Renderer& renderer, size_t firstSlot, std::deque<AccessUnit>& taken);
