// rtspdump: runs one RTSP session with the product's client and reports what
// arrives.
//
//   rtspdump URL [--seconds N] [--video FILE] [--audio FILE]
//
// Prints, with the seconds since start: every connection change, the codec and
// audio format, one line of statistics per second (access units, fps, bit
// rate, audio frames) and at the end one "summary" line. --video writes the
// access units as an Annex-B elementary stream, --audio the AAC frames with
// ADTS headers. Without --seconds it runs until interrupted. Exit code 0 when
// at least one access unit arrived, 1 otherwise, 2 for a usage error.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "audio/adts.h"
#include "rtsp/rtsp_client.h"

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<bool> g_interrupted{false};

void OnSignal(int) {
  g_interrupted.store(true);
}

struct DumpState {
  Clock::time_point start = Clock::now();
  RtspClient* client = nullptr;
  FILE* videoFile = nullptr;
  FILE* audioFile = nullptr;
  std::mutex lock;  // guards everything below
  AudioFormat audio;
  uint64_t units = 0, unitBytes = 0, audioFrames = 0, audioBytes = 0;
  uint64_t connects = 0, disconnects = 0;
  int64_t lastTimestamp = 0;
};

double Seconds(const DumpState& d) {
  return std::chrono::duration<double>(Clock::now() - d.start).count();
}

const char* CodecName(int32_t codec) {
  return codec == 1 ? "H.264" : codec == 2 ? "H.265" : "unknown";
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (uint8_t b : bytes) {
    text += digits[b >> 4];
    text += digits[b & 15];
  }
  return text;
}

void OnConnection(DumpState& d, bool up) {
  AudioFormat format = d.client->GetAudioFormat();
  std::lock_guard<std::mutex> lock(d.lock);
  if (up) {
    ++d.connects;
    d.audio = format;
    std::printf("[%8.3f] connected codec=%s\n", Seconds(d), CodecName(d.client->GetVideoCodec()));
    if (format.valid)
      std::printf("[%8.3f] audio AAC rate=%d channels=%d config=%s\n", Seconds(d),
                  format.sampleRate, format.channels, Hex(format.audioSpecificConfig).c_str());
  } else {
    ++d.disconnects;
    std::printf("[%8.3f] disconnected\n", Seconds(d));
  }
  std::fflush(stdout);
}

void OnAccessUnit(DumpState& d, std::vector<uint8_t>&& unit, int64_t timestamp) {
  if (d.videoFile != nullptr) std::fwrite(unit.data(), 1, unit.size(), d.videoFile);
  std::lock_guard<std::mutex> lock(d.lock);
  ++d.units;
  d.unitBytes += unit.size();
  d.lastTimestamp = timestamp;
}

void OnAudioFrame(DumpState& d, const uint8_t* data, unsigned size) {
  std::lock_guard<std::mutex> lock(d.lock);
  ++d.audioFrames;
  d.audioBytes += size;
  if (d.audioFile != nullptr && d.audio.valid) {
    std::vector<uint8_t> frame =
        MakeAdtsFrame(AdtsFrequencyIndex(static_cast<uint32_t>(d.audio.sampleRate)),
                      static_cast<uint32_t>(d.audio.channels), data, size);
    std::fwrite(frame.data(), 1, frame.size(), d.audioFile);
  }
}

int Usage() {
  std::fprintf(stderr, "usage: rtspdump URL [--seconds N] [--video FILE] [--audio FILE]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  std::string url = argv[1];
  double seconds = 0;
  const char* videoPath = nullptr;
  const char* audioPath = nullptr;
  for (int i = 2; i < argc; ++i) {
    if (i + 1 >= argc) return Usage();
    if (std::strcmp(argv[i], "--seconds") == 0) {
      seconds = std::atof(argv[++i]);
    } else if (std::strcmp(argv[i], "--video") == 0) {
      videoPath = argv[++i];
    } else if (std::strcmp(argv[i], "--audio") == 0) {
      audioPath = argv[++i];
    } else {
      return Usage();
    }
  }

  DumpState d;
  if (videoPath != nullptr && (d.videoFile = std::fopen(videoPath, "wb")) == nullptr) {
    std::fprintf(stderr, "rtspdump: cannot write %s\n", videoPath);
    return 2;
  }
  if (audioPath != nullptr && (d.audioFile = std::fopen(audioPath, "wb")) == nullptr) {
    std::fprintf(stderr, "rtspdump: cannot write %s\n", audioPath);
    if (d.videoFile != nullptr) std::fclose(d.videoFile);
    return 2;
  }
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);

  RtspClient client;
  d.client = &client;
  std::printf("[%8.3f] connecting %s\n", Seconds(d), url.c_str());
  std::fflush(stdout);
  AudioFrameCallback audio;
  if (audioPath != nullptr) {
    audio = [&d](const uint8_t* data, unsigned size) { OnAudioFrame(d, data, size); };
  } else {
    audio = [&d](const uint8_t*, unsigned size) {
      std::lock_guard<std::mutex> lock(d.lock);
      ++d.audioFrames;
      d.audioBytes += size;
    };
  }
  if (!client.Start(
          url,
          [&d](std::vector<uint8_t>&& unit, int64_t ts) { OnAccessUnit(d, std::move(unit), ts); },
          [&d](bool up) { OnConnection(d, up); }, audio)) {
    std::fprintf(stderr, "rtspdump: cannot start the session thread\n");
    return 1;
  }

  uint64_t lastUnits = 0, lastBytes = 0, lastAudio = 0;
  auto nextReport = d.start + std::chrono::seconds(1);
  const auto end =
      d.start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  while (!g_interrupted.load() && (seconds <= 0 || Clock::now() < end)) {
    // Few wake-ups: the next report, the end, or a quarter second to notice an interrupt.
    auto wake = std::min(nextReport, Clock::now() + std::chrono::milliseconds(250));
    if (seconds > 0) wake = std::min(wake, end);
    std::this_thread::sleep_until(wake);
    if (Clock::now() < nextReport) continue;
    nextReport += std::chrono::seconds(1);
    std::lock_guard<std::mutex> lock(d.lock);
    std::printf("[%8.3f] video units=%llu fps=%llu kbit/s=%.1f audio frames/s=%llu ts=%.3f\n",
                Seconds(d), static_cast<unsigned long long>(d.units),
                static_cast<unsigned long long>(d.units - lastUnits),
                static_cast<double>(d.unitBytes - lastBytes) * 8 / 1000,
                static_cast<unsigned long long>(d.audioFrames - lastAudio),
                static_cast<double>(d.lastTimestamp) / 1e7);
    std::fflush(stdout);
    lastUnits = d.units;
    lastBytes = d.unitBytes;
    lastAudio = d.audioFrames;
  }
  client.Stop();

  const double elapsed = Seconds(d);
  if (d.videoFile != nullptr) std::fclose(d.videoFile);
  if (d.audioFile != nullptr) std::fclose(d.audioFile);
  std::lock_guard<std::mutex> lock(d.lock);
  std::printf(
      "summary seconds=%.1f connects=%llu disconnects=%llu codec=%s units=%llu fps=%.2f kbps=%.1f "
      "audio_rate=%d audio_channels=%d audio_frames=%llu\n",
      elapsed, static_cast<unsigned long long>(d.connects),
      static_cast<unsigned long long>(d.disconnects), CodecName(client.GetVideoCodec()),
      static_cast<unsigned long long>(d.units),
      elapsed > 0 ? static_cast<double>(d.units) / elapsed : 0.0,
      elapsed > 0 ? static_cast<double>(d.unitBytes) * 8 / 1000 / elapsed : 0.0,
      d.audio.valid ? d.audio.sampleRate : 0, d.audio.valid ? d.audio.channels : 0,
      static_cast<unsigned long long>(d.audioFrames));
  std::fflush(stdout);
  return d.units > 0 ? 0 : 1;
}
