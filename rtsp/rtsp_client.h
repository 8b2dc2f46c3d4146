#pragma once
// One camera's RTSP session: a worker thread that connects over TCP, runs
// DESCRIBE / SETUP / PLAY and reads RTP interleaved on the same connection,
// reconnecting 3 s after every failure, forever, until Stop.
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "rtsp/depacketizer.h"
#include "rtsp/net_socket.h"

// The AAC track announced by the camera's SDP.
struct AudioFormat {
  bool valid = false;
  int32_t sampleRate = 0;
  int32_t channels = 0;
  std::vector<uint8_t> audioSpecificConfig;
};

// AccessUnitCallback (rtsp/depacketizer.h): complete video access unit in Annex-B
// form (may be taken over) and its timestamp in 100 ns units.
// AudioFrameCallback (rtsp/depacketizer.h): one raw AAC access unit; the bytes are
// valid only during the call.
// ConnectionStateCallback: true once PLAY has succeeded, false when that streaming
// connection ends.
using ConnectionStateCallback = std::function<void(bool)>;

// Time limits of the session. The defaults are the product's values; tests may
// shorten them with SetTimingsForTest before Start.
struct RtspTimings {
  int socketTimeoutMs = 10000;  // SO_RCVTIMEO / SO_SNDTIMEO
  int keepAliveMs = 25000;      // OPTIONS after more than this since PLAY / the last OPTIONS
  int reconnectDelayMs = 3000;  // wait between attempts, in 100 ms periods
};

// "rtsp://host[:port][/...]": the host and the port (554 when none is given; a
// port text without digits gives 0). False when the scheme is not "rtsp://".
bool ParseRtspUrl(const std::string& url, std::string& host, uint16_t& port);
// The request URI of a track: an absolute "rtsp://" control is used as it is;
// otherwise url + "/" + control. For video an empty control or "*" means url.
std::string ResolveControlUrl(const std::string& url, const std::string& control, bool video);

class RtspClient {
 public:
  RtspClient() = default;
  ~RtspClient();
  RtspClient(const RtspClient&) = delete;
  RtspClient& operator=(const RtspClient&) = delete;

  // Starts the session thread. Called once per object. Returns false (and the
  // client stays un-started) when the thread cannot be created.
  bool Start(const std::string& url, AccessUnitCallback onAccessUnit,
             ConnectionStateCallback onConnectionState, AudioFrameCallback onAudioFrame);
  // Idempotent; joins the session thread. Never call it from a callback.
  void Stop();
  AudioFormat GetAudioFormat() const;
  // 0 = not yet known, 1 = H.264, 2 = H.265.
  int32_t GetVideoCodec() const { return videoCodec.load(); }

  // Test-only: shorter time-outs and delays (a longer value than the product's is
  // ignored). Call before Start.
  void SetTimingsForTest(const RtspTimings& timings);

 private:
  void SessionThreadMain();
  void RunSession();
  void CloseSocket();

  std::string url;
  AccessUnitCallback onAccessUnit;
  ConnectionStateCallback onConnectionState;
  AudioFrameCallback onAudioFrame;
  std::thread worker;
  std::atomic<bool> stopRequested{false};
  std::atomic<int32_t> videoCodec{0};
  std::atomic<NetSocket> socket{kInvalidNetSocket};

  mutable std::mutex audioLock;
  bool audioValid = false;
  int32_t audioSampleRate = 0;
  int32_t audioChannels = 0;
  std::vector<uint8_t> audioSpecificConfig;

  RtspTimings timings_;
};
