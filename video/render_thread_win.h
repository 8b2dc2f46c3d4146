// The render thread: decodes every slot's queued access units and draws one
// frame per tick (about 60 a second) until AppState's renderStop is set.
#pragma once

#include <windows.h>

#include <cstddef>
#include <deque>

#include "video/decode_policy.h"
#include "video/video_decoder_win.h"

class Renderer;

// Thread procedure for CreateThread; the parameter is ignored. Returns 0
// after a normal stop, 1 when the renderer cannot be initialised.
DWORD WINAPI RenderThreadProc(LPVOID parameter);

// One tick's access-unit step (render thread, inside the render gate): takes
// each slot's queued units, the selected slot's first, opens a slot's decoder
// when its codec is known and decodes what decode_policy.h admits within the
// tick's budget. `schedule` is kept from tick to tick. `taken` is the thread's
// working queue: empty between calls and kept from tick to tick, so that
// taking a slot's queue (a swap under its lock) hands the slot storage that
// already exists instead of making a new queue every time.
TickReport DecodeQueuedUnits(Renderer& renderer, DecodeSchedule& schedule,
                             std::deque<AccessUnit>& taken, TickPart part = TickPart::kAll,
                             const TickReport& before = {});
