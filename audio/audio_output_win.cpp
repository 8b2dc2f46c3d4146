#include "audio/audio_output_win.h"

#include <windows.h>
#include <initguid.h>
#include <mmdeviceapi.h>
#include <xaudio2.h>

#include <future>
#include <mutex>

#include "audio/audio_callbacks_win.h"
#include "audio/frame_queue.h"

#ifndef XAUDIO2_VOICE_NOSAMPLESPLAYED
#define XAUDIO2_VOICE_NOSAMPLESPLAYED 0x0100
#endif

namespace {

using CreateWithVersionFn = HRESULT(WINAPI*)(IXAudio2**, UINT32, XAUDIO2_PROCESSOR, DWORD);
using CreateFn = HRESULT(WINAPI*)(IXAudio2**, UINT32, XAUDIO2_PROCESSOR);

constexpr XAUDIO2_PROCESSOR kDefaultProcessor = static_cast<XAUDIO2_PROCESSOR>(1);
constexpr DWORD kNtddiWin10 = 0x0A000010;
constexpr float kMaxFrequencyRatio = 2.0f;

// xaudio2_9.dll and its entry point stay loaded for the life of the process.
std::mutex libraryLock;
HMODULE xaudioModule = nullptr;
CreateWithVersionFn createWithVersion = nullptr;
CreateFn createPlain = nullptr;

HRESULT LoadXAudio2() {
  std::lock_guard<std::mutex> lock(libraryLock);
  if (createWithVersion != nullptr || createPlain != nullptr) return S_OK;
  if (xaudioModule == nullptr) {
    xaudioModule = LoadLibraryExW(L"xaudio2_9.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (xaudioModule == nullptr) return HRESULT_FROM_WIN32(GetLastError());
  }
  createWithVersion = reinterpret_cast<CreateWithVersionFn>(
      reinterpret_cast<void*>(GetProcAddress(xaudioModule, "XAudio2CreateWithVersionInfo")));
  if (createWithVersion == nullptr) {
    createPlain = reinterpret_cast<CreateFn>(
        reinterpret_cast<void*>(GetProcAddress(xaudioModule, "XAudio2Create")));
  }
  if (createWithVersion == nullptr && createPlain == nullptr) {
    return HRESULT_FROM_WIN32(GetLastError());
  }
  return S_OK;
}

// Whether a default playback endpoint exists. Without one there is nothing to
// play on (and some XAudio2 implementations fail badly when asked for a
// mastering voice then). An enumerator that cannot be asked leaves the
// decision to XAudio2.
HRESULT CheckPlaybackEndpoint() {
  IMMDeviceEnumerator* enumerator = nullptr;
  HRESULT result = S_OK;
  if (SUCCEEDED(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                                 IID_PPV_ARGS(&enumerator)))) {
    IMMDevice* device = nullptr;
    result = enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &device);
    if (device != nullptr) device->Release();
    enumerator->Release();
  }
  return result;
}

}  // namespace

AudioOutput::~AudioOutput() {
  Stop();
}

bool AudioOutput::Start() {
  if (thread.joinable()) return true;
  engineCallback = new EngineCb(&shared.resetEngine);
  deviceNotify = new DeviceNotify(&shared.resetEngine);
  voiceCallback = new FreeOnEnd(&pcm.submitted);
  shared.stop.store(false);
  shared.resetEngine.store(false);
  // The engine is made on the audio thread, inside the COM apartment it is
  // used and released in; Start waits for the outcome.
  std::promise<bool> created;
  std::future<bool> outcome = created.get_future();
  thread = std::thread([this, &created] { AudioThreadProc(created); });
  if (outcome.get()) return true;
  thread.join();
  delete voiceCallback;
  delete deviceNotify;
  delete engineCallback;
  voiceCallback = nullptr;
  deviceNotify = nullptr;
  engineCallback = nullptr;
  return false;
}

void AudioOutput::Stop() {
  if (thread.joinable()) {
    shared.stop.store(true);
    thread.join();
  }
  ReleaseAacDecoder(aac);  // both normally done by the audio thread already
  DestroyEngine();
  delete voiceCallback;
  delete deviceNotify;
  delete engineCallback;
  voiceCallback = nullptr;
  deviceNotify = nullptr;
  engineCallback = nullptr;
}

void AudioOutput::PushFrame(int32_t slotIndex, const uint8_t* data, size_t size) {
  ::PushFrame(shared.frames, slotIndex, data, size);
}

void AudioOutput::SetActiveSlot(int32_t slotIndex) {
  ::SetActiveSlot(shared.frames, slotIndex);
  shared.flushRequested.store(true);
}

void AudioOutput::SetMuted(bool muted) {
  if (::SetMuted(shared.frames, muted)) shared.flushRequested.store(true);
}

void AudioOutput::AudioThreadProc(std::promise<bool>& created) {
  const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  const bool ok = CreateEngine();
  created.set_value(ok);  // Start's promise: not to be touched after this
  if (!ok) {
    if (SUCCEEDED(init)) CoUninitialize();
    return;
  }
  if (SUCCEEDED(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                                 IID_PPV_ARGS(&deviceEnumerator)))) {
    deviceEnumerator->RegisterEndpointNotificationCallback(deviceNotify);
  } else {
    deviceEnumerator = nullptr;
  }

  RunAudioLoop(shared, *this);

  // Decoder and engine belong to this thread's apartment: release them
  // before it closes.
  ReleaseAacDecoder(aac);
  DestroyEngine();
  if (deviceEnumerator != nullptr) {
    deviceEnumerator->UnregisterEndpointNotificationCallback(deviceNotify);
    deviceEnumerator->Release();
    deviceEnumerator = nullptr;
  }
  if (SUCCEEDED(init)) CoUninitialize();
}

bool AudioOutput::CreateEngine() {
  long result = S_OK;
  if (!CreateEngineOnce(result)) return false;
  engineGeneration.fetch_add(1);
  return true;
}

bool AudioOutput::CreateEngineOnce(long& result) {
  DestroyEngine();
  result = LoadXAudio2();
  if (FAILED(result)) return false;
  result = CheckPlaybackEndpoint();
  if (FAILED(result)) return false;

  result = createWithVersion != nullptr
               ? createWithVersion(&xaudio, 0, kDefaultProcessor, kNtddiWin10)
               : createPlain(&xaudio, 0, kDefaultProcessor);
  if (FAILED(result)) {
    xaudio = nullptr;
    return false;
  }
  xaudio->RegisterForCallbacks(engineCallback);
  result = xaudio->CreateMasteringVoice(&masteringVoice, 0, 0, 0, nullptr, nullptr,
                                        AudioCategory_GameEffects);
  if (FAILED(result)) {
    masteringVoice = nullptr;
    xaudio->UnregisterForCallbacks(engineCallback);
    xaudio->Release();
    xaudio = nullptr;
    return false;
  }
  return true;
}

void AudioOutput::DestroyEngine() {
  DestroySourceVoice();
  if (masteringVoice != nullptr) {
    masteringVoice->DestroyVoice();
    masteringVoice = nullptr;
  }
  if (xaudio != nullptr) {
    xaudio->UnregisterForCallbacks(engineCallback);
    xaudio->Release();
    xaudio = nullptr;
  }
}

void AudioOutput::DestroySourceVoice() {
  if (sourceVoice != nullptr) {
    sourceVoice->DestroyVoice();
    sourceVoice = nullptr;
  }
  voiceRate = 0;
  voiceChannels = 0;
  // A destroyed voice reports no more finished buffers: free what it held.
  FreeAllPcmBlocks(pcm.submitted);
  SetPcmVoiceFormat(pcm, 0, 0);
}

bool AudioOutput::EnsureSourceVoice(uint32_t rate, uint32_t channels) {
  if (sourceVoice != nullptr && voiceRate == rate && voiceChannels == channels) return true;
  DestroySourceVoice();
  if (xaudio == nullptr || rate == 0 || channels == 0 || channels > 0xFFFF / 2) return false;
  WAVEFORMATEX format = {};
  format.wFormatTag = WAVE_FORMAT_PCM;
  format.nChannels = static_cast<WORD>(channels);
  format.nSamplesPerSec = rate;
  format.wBitsPerSample = 16;
  format.nBlockAlign = static_cast<WORD>(2 * channels);
  format.nAvgBytesPerSec = 2 * channels * rate;
  format.cbSize = 0;
  if (FAILED(xaudio->CreateSourceVoice(&sourceVoice, &format, 0, kMaxFrequencyRatio, voiceCallback,
                                       nullptr, nullptr))) {
    sourceVoice = nullptr;
    return false;
  }
  sourceVoice->Start(0, XAUDIO2_COMMIT_NOW);
  voiceRate = rate;
  voiceChannels = channels;
  SetPcmVoiceFormat(pcm, rate, channels);
  return true;
}

void AudioOutput::FlushPlayback() {
  // The buffers removed from the voice are freed by their end callbacks; the
  // one playing stays in the voice until it ends.
  if (sourceVoice != nullptr) sourceVoice->FlushSourceBuffers();
  DropWaitingPcm(pcm);
  FlushAacDecoder(aac);
}

bool AudioOutput::OpenDecoder(const DecoderSetup& setup) {
  return OpenAacDecoder(aac, setup);
}

void AudioOutput::DecodeFrame(const std::vector<uint8_t>& frame) {
  ::DecodeFrame(aac, frame.data(), frame.size(), *this);
}

void AudioOutput::PcmFormat(uint32_t& rate, uint32_t& channels) {
  rate = aac.outputRate;
  channels = aac.outputChannels;
}

void AudioOutput::SleepMs(uint32_t ms) {
  Sleep(ms);
}

void AudioOutput::OnPcmFormat(uint32_t rate, uint32_t channels) {
  EnsureSourceVoice(rate, channels);
}

void AudioOutput::OnPcm(const uint8_t* data, size_t size) {
  if (shared.frames.muted.load() || sourceVoice == nullptr || size > 0xFFFFFFFFu) return;
  QueuePcm(pcm, data, size);
}

void AudioOutput::FeedVoice() {
  if (sourceVoice != nullptr) FeedPcmVoice(pcm, *this);
}

bool AudioOutput::SubmitPcm(const PcmBlock& block) {
  XAUDIO2_BUFFER buffer = {};
  buffer.Flags = 0;
  buffer.AudioBytes = static_cast<UINT32>(block.bytes.size());
  buffer.pAudioData = block.bytes.data();
  buffer.pContext = reinterpret_cast<void*>(static_cast<uintptr_t>(block.id));
  // From here on the voice's callback may free the block at any time.
  return SUCCEEDED(sourceVoice->SubmitSourceBuffer(&buffer));
}

size_t AudioOutput::QueuedPcmBuffers() {
  XAUDIO2_VOICE_STATE state = {};
  sourceVoice->GetState(&state, XAUDIO2_VOICE_NOSAMPLESPLAYED);
  return state.BuffersQueued;
}
