// The process-wide sound engine: keeps the AAC frames of the one audible slot,
// decodes them on its own thread with the Media Foundation AAC decoder and
// plays the PCM through XAudio2 2.9 (loaded at run time). Survives a change of
// the default playback device and an engine critical error by re-creating the
// engine. UI thread: Start, Stop, SetActiveSlot, SetMuted, SetFormat;
// RTSP session threads: PushFrame; everything else runs on the audio thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <future>
#include <thread>
#include <vector>

#include "audio/aac_decoder_win.h"
#include "audio/audio_loop.h"
#include "audio/pcm_blocks.h"

struct IXAudio2;
struct IXAudio2MasteringVoice;
struct IXAudio2SourceVoice;
struct IMMDeviceEnumerator;
class EngineCb;
class DeviceNotify;
class FreeOnEnd;

class AudioOutput : private AudioPlatform, private PcmSink, private PcmVoice {
 public:
  AudioOutput() = default;
  ~AudioOutput();  // Stop()
  AudioOutput(const AudioOutput&) = delete;
  AudioOutput& operator=(const AudioOutput&) = delete;

  // Starts the audio thread, which creates the engine; false (no thread, and no sound until
  // the program restarts) when there is no XAudio2 or no playback device.
  bool Start();
  // Ends the audio thread and releases decoder, voices and engine. Idempotent.
  void Stop();
  // Queues a copy of one raw AAC frame when slotIndex is the audible slot and
  // sound is not muted.
  void PushFrame(int32_t slotIndex, const uint8_t* data, size_t size);
  // Switches the audible slot (-1: none); drops what the old one left queued.
  void SetActiveSlot(int32_t slotIndex);
  // Mutes (dropping everything queued) or unmutes.
  void SetMuted(bool muted);
  // The audible stream's AAC description; an equal one changes nothing.
  void SetFormat(uint32_t sampleRate, uint32_t channels,
                 const std::vector<uint8_t>& audioSpecificConfig);

  // Number of engines created so far; a device change shows as a new one.
  uint32_t EngineGeneration() const { return engineGeneration.load(); }

 private:
  friend class AudioOutputProbe;  // Windows unit tests

  void AudioThreadProc(std::promise<bool>& created);
  bool CreateEngineOnce(long& result);
  void DestroyEngine();
  void DestroySourceVoice();

  // AudioPlatform, run by the audio thread's loop.
  bool CreateEngine() override;
  bool EnsureSourceVoice(uint32_t rate, uint32_t channels) override;
  bool HasSourceVoice() override { return sourceVoice != nullptr; }
  void FlushPlayback() override;
  bool OpenDecoder(const DecoderSetup& setup) override;
  bool HasDecoder() override { return aac.decoder != nullptr; }
  void DecodeFrame(const std::vector<uint8_t>& frame) override;
  void FeedVoice() override;
  void PcmFormat(uint32_t& rate, uint32_t& channels) override;
  void SleepMs(uint32_t ms) override;

  // PcmSink: decoded PCM waits for the source voice.
  void OnPcmFormat(uint32_t rate, uint32_t channels) override;
  void OnPcm(const uint8_t* data, size_t size) override;

  // PcmVoice: the source voice.
  bool SubmitPcm(const PcmBlock& block) override;
  size_t QueuedPcmBuffers() override;

  std::thread thread;
  AudioShared shared;  // stop, flush and reset flags, the frame queue, the stream description
  AacDecoder aac;      // the decoder, its set-up and its PCM output format
  IXAudio2* xaudio = nullptr;
  IXAudio2MasteringVoice* masteringVoice = nullptr;
  IXAudio2SourceVoice* sourceVoice = nullptr;
  uint32_t voiceRate = 0;
  uint32_t voiceChannels = 0;
  EngineCb* engineCallback = nullptr;
  IMMDeviceEnumerator* deviceEnumerator = nullptr;
  DeviceNotify* deviceNotify = nullptr;
  FreeOnEnd* voiceCallback = nullptr;
  PcmPlayback pcm;  // decoded PCM waiting, and the blocks the source voice holds
  std::atomic<uint32_t> engineGeneration{0};
};
