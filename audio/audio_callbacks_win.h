// The platform callback objects of the audio output. They run on XAudio2's and
// the device enumerator's threads and only set an atomic flag or free a
// finished PCM block.
#pragma once

#include <windows.h>
#include <mmdeviceapi.h>
#include <xaudio2.h>

#include <atomic>

#include "audio/pcm_blocks.h"

// Engine callback: a critical error (for instance the device went away) asks
// for a new engine.
class EngineCb final : public IXAudio2EngineCallback {
 public:
  explicit EngineCb(std::atomic<bool>* resetEngine) : resetEngine(resetEngine) {}
  void STDMETHODCALLTYPE OnProcessingPassStart() override {}
  void STDMETHODCALLTYPE OnProcessingPassEnd() override {}
  void STDMETHODCALLTYPE OnCriticalError(HRESULT error) override;

 private:
  std::atomic<bool>* resetEngine;
};

// Default-device listener: a new default playback device for the console or
// multimedia role asks for a new engine. Its owner deletes it; Release never does.
class DeviceNotify final : public IMMNotificationClient {
 public:
  explicit DeviceNotify(std::atomic<bool>* resetEngine) : resetEngine(resetEngine) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR, DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow flow, ERole role,
                                                   LPCWSTR deviceId) override;
  HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR, const PROPERTYKEY) override {
    return S_OK;
  }

 private:
  std::atomic<bool>* resetEngine;
  std::atomic<ULONG> references{1};
};

// Source-voice callback: frees each PCM block when the voice has finished it.
// The buffer's context is the block's id (see pcm_blocks.h).
class FreeOnEnd final : public IXAudio2VoiceCallback {
 public:
  explicit FreeOnEnd(PcmBlocks* blocks) : blocks(blocks) {}
  void STDMETHODCALLTYPE OnVoiceProcessingPassStart(UINT32) override {}
  void STDMETHODCALLTYPE OnVoiceProcessingPassEnd() override {}
  void STDMETHODCALLTYPE OnStreamEnd() override {}
  void STDMETHODCALLTYPE OnBufferStart(void*) override {}
  void STDMETHODCALLTYPE OnBufferEnd(void* context) override;
  void STDMETHODCALLTYPE OnLoopEnd(void*) override {}
  void STDMETHODCALLTYPE OnVoiceError(void*, HRESULT) override {}

 private:
  PcmBlocks* blocks;
};
