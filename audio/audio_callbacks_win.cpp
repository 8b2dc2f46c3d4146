#include "audio/audio_callbacks_win.h"

#include <cstdint>

#include "audio/audio_loop.h"

void EngineCb::OnCriticalError(HRESULT) {
  resetEngine->store(true);
}

HRESULT DeviceNotify::QueryInterface(REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (iid == __uuidof(IUnknown) || iid == __uuidof(IMMNotificationClient)) {
    *object = static_cast<IMMNotificationClient*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG DeviceNotify::AddRef() {
  return references.fetch_add(1) + 1;
}

ULONG DeviceNotify::Release() {
  return references.fetch_sub(1) - 1;
}

HRESULT DeviceNotify::OnDefaultDeviceChanged(EDataFlow flow, ERole role, LPCWSTR) {
  if (IsPlaybackDeviceChange(static_cast<int>(flow), static_cast<int>(role))) {
    resetEngine->store(true);
  }
  return S_OK;
}

void FreeOnEnd::OnBufferEnd(void* context) {
  FreePcmBlock(*blocks, static_cast<uint64_t>(reinterpret_cast<uintptr_t>(context)));
}
