#include "rtsp/rtsp_client.h"

#include <chrono>
#include <system_error>

RtspClient::~RtspClient() { Stop(); }

bool RtspClient::Start(const std::string& streamUrl, AccessUnitCallback accessUnit,
                       ConnectionStateCallback connectionState, AudioFrameCallback audioFrame) {
  if (worker.joinable()) return false;
  url = streamUrl;
  onAccessUnit = std::move(accessUnit);
  onConnectionState = std::move(connectionState);
  onAudioFrame = std::move(audioFrame);
  stopRequested.store(false);
  try {
    worker = std::thread(&RtspClient::SessionThreadMain, this);
  } catch (const std::system_error&) {
    return false;  // no thread: the client stays un-started, Stop has nothing to join
  }
  return true;
}

void RtspClient::Stop() {
  stopRequested.store(true);
  CloseSocket();
  if (worker.joinable()) worker.join();
}

AudioFormat RtspClient::GetAudioFormat() const {
  std::lock_guard<std::mutex> lock(audioLock);
  AudioFormat format;
  format.valid = audioValid;
  format.sampleRate = audioSampleRate;
  format.channels = audioChannels;
  format.audioSpecificConfig = audioSpecificConfig;
  return format;
}

void RtspClient::CloseSocket() {
  NetSocket s = socket.exchange(kInvalidNetSocket);
  if (s != kInvalidNetSocket) NetClose(s);
}

void RtspClient::SessionThreadMain() {
  NetStartup();
  while (!stopRequested.load()) {
    RunSession();
    if (stopRequested.load()) break;
    for (int waited = 0; waited < timings_.reconnectDelayMs && !stopRequested.load(); waited += 100)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

void RtspClient::RunSession() {
  // The connection and handshake land with the message reader.
}
