// The audio output as a whole: start and stop with and without a playback
// device, playing frames, a default-device change, and the callback objects.
#include <windows.h>
#include <mfapi.h>
#include <mmdeviceapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "audio/audio_callbacks_win.h"
#include "audio/audio_output_win.h"
#include "tests/audio_clip.h"

class AudioOutputProbe {
 public:
  static DeviceNotify* Notify(AudioOutput& a) { return a.deviceNotify; }
  static size_t BlocksHeld(AudioOutput& a) { return PcmBlockCount(a.pcm.submitted); }
  static uint64_t BlocksMade(AudioOutput& a) {
    std::lock_guard<std::mutex> lock(a.pcm.submitted.lock);
    return a.pcm.submitted.nextId - 1;
  }
};

namespace {

class MediaFoundation {
 public:
  MediaFoundation() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    MFStartup(MF_VERSION, MFSTARTUP_NOSOCKET);
  }
  ~MediaFoundation() {
    MFShutdown();
    CoUninitialize();
  }
};

bool HasPlaybackEndpoint() {
  IMMDeviceEnumerator* enumerator = nullptr;
  if (FAILED(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                              IID_PPV_ARGS(&enumerator)))) {
    return false;
  }
  IMMDevice* device = nullptr;
  const HRESULT hr = enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &device);
  if (device != nullptr) device->Release();
  enumerator->Release();
  return SUCCEEDED(hr);
}

template <typename F>
bool WaitFor(F condition, int timeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    Sleep(10);
  }
  return true;
}

void PlayClip(AudioOutput& out, const AacClip& clip, int32_t slot) {
  for (const auto& f : clip.frames) {
    out.PushFrame(slot, f.data(), f.size());
    Sleep(20);
  }
}

}  // namespace

// Without a playback device (no sound server under Wine, or a machine with
// no sound device) Start fails quietly and every call stays harmless.
TEST(AudioOutputWin, StartFailsQuietlyWithoutDevice) {
  MediaFoundation mf;
  if (HasPlaybackEndpoint()) GTEST_SKIP() << "a playback device exists here";
  AudioOutput out;
  EXPECT_FALSE(out.Start());
  EXPECT_EQ(out.EngineGeneration(), 0u);
  out.SetMuted(false);
  out.SetActiveSlot(0);
  out.SetFormat(48000, 2, {0x11, 0x90});
  const uint8_t frame[3] = {1, 2, 3};
  out.PushFrame(0, frame, sizeof frame);
  out.Stop();
  out.Stop();
}

TEST(AudioOutputWin, PlaysSurvivesDeviceChangeAndFreesEveryBlock) {
  MediaFoundation mf;
  if (!HasPlaybackEndpoint()) GTEST_SKIP() << "no playback device here";
  const AacClip clip = LoadAdtsClip("tone_440l_660r_48k_stereo.aac");
  AudioOutput out;
  ASSERT_TRUE(out.Start());
  EXPECT_EQ(out.EngineGeneration(), 1u);
  out.SetMuted(false);
  out.SetActiveSlot(0);
  out.SetFormat(48000, 2, {0x11, 0x90});
  PlayClip(out, clip, 0);
  EXPECT_TRUE(WaitFor([&] { return AudioOutputProbe::BlocksMade(out) >= 10; }, 10000));

  // A new default playback device: a new engine, and playback goes on in it.
  AudioOutputProbe::Notify(out)->OnDefaultDeviceChanged(eRender, eMultimedia, L"{new}");
  EXPECT_TRUE(WaitFor([&] { return out.EngineGeneration() == 2; }, 10000));
  const uint64_t made = AudioOutputProbe::BlocksMade(out);
  PlayClip(out, clip, 0);
  EXPECT_TRUE(WaitFor([&] { return AudioOutputProbe::BlocksMade(out) >= made + 10; }, 10000));

  // Half a second of frames arriving at once (a network stall ending) is
  // played in full, handed to the voice only about 100 ms ahead of playback
  // (five 1024-sample blocks at 48 kHz), and every block is freed after it.
  WaitFor([&] { return AudioOutputProbe::BlocksHeld(out) == 0; }, 5000);
  const uint64_t beforeBurst = AudioOutputProbe::BlocksMade(out);
  for (const auto& f : clip.frames) out.PushFrame(0, f.data(), f.size());
  size_t most = 0;
  WaitFor(
      [&] {
        most = std::max(most, AudioOutputProbe::BlocksHeld(out));
        return AudioOutputProbe::BlocksMade(out) >= beforeBurst + clip.frames.size() - 2 &&
               AudioOutputProbe::BlocksHeld(out) == 0;
      },
      5000);
  EXPECT_GE(AudioOutputProbe::BlocksMade(out), beforeBurst + clip.frames.size() - 2)
      << "the decoder may keep a frame or two, the backlog keeps all";
  EXPECT_LE(most, 6u);
  EXPECT_EQ(AudioOutputProbe::BlocksHeld(out), 0u);

  // A switch of camera while the voice plays: the blocks the flush removed
  // are freed by their end reports, the new camera's sound follows, and no
  // block is left once it has played.
  for (const auto& f : clip.frames) out.PushFrame(0, f.data(), f.size());
  EXPECT_TRUE(WaitFor([&] { return AudioOutputProbe::BlocksHeld(out) >= 4; }, 5000));
  out.SetActiveSlot(1);
  const uint64_t beforeSwitch = AudioOutputProbe::BlocksMade(out);
  PlayClip(out, clip, 1);
  EXPECT_TRUE(WaitFor(
      [&] {
        return AudioOutputProbe::BlocksMade(out) >= beforeSwitch + 10 &&
               AudioOutputProbe::BlocksHeld(out) == 0;
      },
      5000));
  out.SetActiveSlot(0);

  // Frames of another slot or while muted make no PCM.
  out.SetMuted(true);
  Sleep(200);
  const uint64_t mutedMade = AudioOutputProbe::BlocksMade(out);
  PlayClip(out, clip, 0);
  EXPECT_EQ(AudioOutputProbe::BlocksMade(out), mutedMade);

  // Stopped while the voice still holds PCM: the blocks are freed all the same.
  out.SetMuted(false);
  for (const auto& f : clip.frames) out.PushFrame(0, f.data(), f.size());
  EXPECT_TRUE(WaitFor([&] { return AudioOutputProbe::BlocksHeld(out) >= 3; }, 10000));
  out.Stop();
  EXPECT_EQ(AudioOutputProbe::BlocksHeld(out), 0u) << "blocks left in the voice are freed";
  out.Stop();
}

TEST(AudioOutputWin, CallbackObjects) {
  std::atomic<bool> reset{false};
  DeviceNotify notify(&reset);
  IUnknown* unknown = nullptr;
  ASSERT_EQ(notify.QueryInterface(__uuidof(IUnknown), reinterpret_cast<void**>(&unknown)), S_OK);
  EXPECT_EQ(unknown, static_cast<IUnknown*>(&notify));
  EXPECT_EQ(notify.Release(), 1u);
  void* other = &notify;
  EXPECT_EQ(notify.QueryInterface(__uuidof(IMMDeviceEnumerator), &other), E_NOINTERFACE);
  EXPECT_EQ(other, nullptr);
  EXPECT_EQ(notify.AddRef(), 2u);
  EXPECT_EQ(notify.Release(), 1u);
  EXPECT_EQ(notify.Release(), 0u) << "counts down; the owner deletes the object";

  notify.OnDefaultDeviceChanged(eCapture, eConsole, L"x");
  notify.OnDefaultDeviceChanged(eRender, eCommunications, L"x");
  notify.OnDeviceRemoved(L"x");
  EXPECT_FALSE(reset.load());
  notify.OnDefaultDeviceChanged(eRender, eConsole, L"x");
  EXPECT_TRUE(reset.exchange(false));

  EngineCb engine(&reset);
  engine.OnProcessingPassStart();
  EXPECT_FALSE(reset.load());
  engine.OnCriticalError(E_FAIL);
  EXPECT_TRUE(reset.load());

  PcmBlocks blocks;
  FreeOnEnd freeOnEnd(&blocks);
  PcmBlock* block = NewPcmBlock(blocks, std::vector<uint8_t>(4));
  ASSERT_NE(block, nullptr);
  freeOnEnd.OnBufferEnd(reinterpret_cast<void*>(static_cast<uintptr_t>(block->id)));
  EXPECT_EQ(PcmBlockCount(blocks), 0u);
}
