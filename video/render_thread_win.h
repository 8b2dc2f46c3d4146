// The render thread: decodes every slot's queued access units and draws one
// frame per tick (about 60 a second) until AppState's renderStop is set.
#pragma once

#include <windows.h>

// Thread procedure for CreateThread; the parameter is ignored. Returns 0
// after a normal stop, 1 when the renderer cannot be initialised.
DWORD WINAPI RenderThreadProc(LPVOID parameter);
