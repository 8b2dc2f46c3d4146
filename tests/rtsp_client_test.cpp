// The RTSP session against a scripted camera on 127.0.0.1: the bytes of every
// request, the order of the handshake, the callbacks, reconnection and Stop.
#include "rtsp/rtsp_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 10000) {
  const auto start = Clock::now();
  while (!condition()) {
    if (MsSince(start) > timeoutMs) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

const char kSdpH264Aac[] =
    "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=cam\r\nt=0 0\r\na=control:*\r\n"
    "m=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n"
    "a=fmtp:96 packetization-mode=1;sprop-parameter-sets=Z0IAHpWoKA9k,aM48gA==\r\n"
    "a=control:stream=0\r\n"
    "m=audio 0 RTP/AVP 97\r\na=rtpmap:97 mpeg4-generic/48000/2\r\n"
    "a=fmtp:97 mode=AAC-hbr;config=1190;sizelength=13;indexlength=3;indexdeltalength=3\r\n"
    "a=control:stream=1\r\n";

const char kSdpH265Only[] =
    "v=0\r\nm=video 0 RTP/AVP 96\r\na=rtpmap:96 "
    "H265/90000\r\na=control:rtsp://elsewhere/track1\r\n";

// One connection as the camera sees it.
struct CameraConnection {
  NetSocket socket = kInvalidNetSocket;
  std::string pending;
  std::vector<std::string>* log = nullptr;
  std::mutex* logLock = nullptr;

  // One request up to its empty line (the client never sends a body).
  bool ReadRequest(std::string& request) {
    for (;;) {
      size_t end = pending.find("\r\n\r\n");
      if (end != std::string::npos) {
        request = pending.substr(0, end + 4);
        pending.erase(0, end + 4);
        std::lock_guard<std::mutex> lock(*logLock);
        log->push_back(request);
        return true;
      }
      uint8_t buffer[4096];
      long long got = NetReceive(socket, buffer, sizeof buffer);
      if (got < 1) return false;
      pending.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(got));
    }
  }

  bool Send(const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
      long long n = NetSend(socket, reinterpret_cast<const uint8_t*>(bytes.data()) + sent,
                            bytes.size() - sent);
      if (n < 1) return false;
      sent += static_cast<size_t>(n);
    }
    return true;
  }
};

std::string Method(const std::string& request) {
  return request.substr(0, request.find(' '));
}

std::string CSeqOf(const std::string& request) {
  size_t at = request.find("CSeq: ");
  return at == std::string::npos ? "" : request.substr(at + 6, request.find("\r\n", at) - at - 6);
}

std::string Response(int status, const std::string& cseq, const std::string& headers = "",
                     const std::string& body = "") {
  std::string text = "RTSP/1.0 " + std::to_string(status) + (status == 200 ? " OK" : " Refused") +
                     "\r\nCSeq: " + cseq + "\r\n" + headers;
  if (!body.empty()) text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  return text + "\r\n" + body;
}

std::string Interleaved(uint8_t channel, const std::string& packet) {
  std::string frame = "$";
  frame += static_cast<char>(channel);
  frame += static_cast<char>(packet.size() >> 8);
  frame += static_cast<char>(packet.size() & 0xFF);
  return frame + packet;
}

// An RTP packet with the marker bit and a single NAL unit (IDR) as payload.
std::string VideoFrame(uint32_t timestamp) {
  std::string p = {'\x80', '\xE0', '\x00', '\x01'};
  for (int shift = 24; shift >= 0; shift -= 8) p += static_cast<char>((timestamp >> shift) & 0xFF);
  p += std::string("\x11\x22\x33\x44", 4);
  p += std::string("\x65\x88\x84", 3);
  return Interleaved(0, p);
}

// One AAC-hbr packet with one 3-byte access unit.
std::string AudioFrame() {
  std::string p = {'\x80', '\xE1', '\x00', '\x01', '\x00', '\x00',
                   '\x00', '\x00', '\x55', '\x66', '\x77', '\x88'};
  p += std::string("\x00\x10\x00\x18\xA1\xA2\xA3", 7);
  return Interleaved(2, p);
}

// How the scripted camera behaves on each connection.
struct CameraScript {
  std::string sdp = kSdpH264Aac;
  std::string sessionHeader = "Session: 0123ABCD;timeout=60\r\n";
  std::string failMethod;  // DESCRIBE, SETUP (video), AUDIOSETUP or PLAY answered 454
  std::function<void(CameraConnection&)> afterPlay;  // then OPTIONS are answered until the end
  std::string optionsBody;                           // body of the OPTIONS answers
  std::string afterOptions;                          // bytes sent right after each OPTIONS answer
  std::function<void(CameraConnection&, const std::string& cseq)>
      describe;  // answers DESCRIBE instead
};

class ScriptedCamera {
 public:
  explicit ScriptedCamera(CameraScript script) : script_(std::move(script)) {
    NetStartup();
    listener_ = NetListenLoopback(0, &port_);
    thread_ = std::thread([this] { Run(); });
  }
  ~ScriptedCamera() {
    stopping_ = true;
    NetClose(listener_);
    thread_.join();
  }

  std::string Url(const std::string& host = "127.0.0.1") const {
    return "rtsp://" + host + ":" + std::to_string(port_) + "/live/cam1?x=1";
  }
  uint16_t Port() const { return port_; }
  int Connections() {
    std::lock_guard<std::mutex> lock(lock_);
    return static_cast<int>(requests_.size());
  }
  std::vector<std::string> Requests(size_t connection) {
    std::lock_guard<std::mutex> lock(lock_);
    return connection < requests_.size() ? requests_[connection] : std::vector<std::string>();
  }
  Clock::time_point AcceptTime(size_t i) {
    std::lock_guard<std::mutex> lock(lock_);
    return accepts_[i];
  }
  Clock::time_point CloseTime(size_t i) {
    std::lock_guard<std::mutex> lock(lock_);
    return closes_[i];
  }

 private:
  void Run() {
    while (!stopping_) {
      NetSocket s = NetAccept(listener_);
      if (s == kInvalidNetSocket) break;
      NetSetTimeouts(s, 20000);
      CameraConnection c;
      c.socket = s;
      c.logLock = &lock_;
      {
        std::lock_guard<std::mutex> lock(lock_);
        accepts_.push_back(Clock::now());
        requests_.emplace_back();
        c.log = &requests_.back();
      }
      Serve(c);
      NetClose(s);
      std::lock_guard<std::mutex> lock(lock_);
      closes_.push_back(Clock::now());
    }
  }

  void Serve(CameraConnection& c) {
    std::string request;
    bool videoSetUp = false;
    while (c.ReadRequest(request)) {
      const std::string method = Method(request);
      const std::string cseq = CSeqOf(request);
      std::string step = method;
      if (method == "SETUP" && videoSetUp) step = "AUDIOSETUP";
      if (step == script_.failMethod) {
        c.Send(Response(454, cseq));
        continue;
      }
      if (method == "DESCRIBE" && script_.describe) {
        script_.describe(c, cseq);
      } else if (method == "DESCRIBE") {
        c.Send(Response(200, cseq, "Content-Type: application/sdp\r\n", script_.sdp));
      } else if (method == "SETUP") {
        videoSetUp = true;
        c.Send(Response(200, cseq, script_.sessionHeader));
      } else if (method == "PLAY") {
        c.Send(Response(200, cseq, "Session: 0123ABCD\r\n"));
        if (script_.afterPlay) script_.afterPlay(c);
        if (c.socket == kInvalidNetSocket) return;
      } else {
        c.Send(Response(200, cseq, "", script_.optionsBody) + script_.afterOptions);
      }
    }
  }

  CameraScript script_;
  NetSocket listener_ = kInvalidNetSocket;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  std::mutex lock_;
  std::vector<std::vector<std::string>> requests_;  // per connection (list nodes stay put)
  std::vector<Clock::time_point> accepts_, closes_;
};

// What the client delivered.
struct Delivered {
  std::mutex lock;
  std::vector<bool> states;
  std::vector<std::vector<uint8_t>> units;
  std::vector<int64_t> timestamps;
  std::vector<std::vector<uint8_t>> audio;

  AccessUnitCallback OnAccessUnit() {
    return [this](std::vector<uint8_t>&& unit, int64_t ts) {
      std::lock_guard<std::mutex> l(lock);
      units.push_back(std::move(unit));
      timestamps.push_back(ts);
    };
  }
  ConnectionStateCallback OnState() {
    return [this](bool up) {
      std::lock_guard<std::mutex> l(lock);
      states.push_back(up);
    };
  }
  AudioFrameCallback OnAudio() {
    return [this](const uint8_t* data, unsigned size) {
      std::lock_guard<std::mutex> l(lock);
      audio.emplace_back(data, data + size);
    };
  }
  size_t StateCount() {
    std::lock_guard<std::mutex> l(lock);
    return states.size();
  }
  size_t UnitCount() {
    std::lock_guard<std::mutex> l(lock);
    return units.size();
  }
  size_t AudioCount() {
    std::lock_guard<std::mutex> l(lock);
    return audio.size();
  }
};

RtspTimings Quick() {
  RtspTimings t;
  t.socketTimeoutMs = 5000;
  t.reconnectDelayMs = 300;
  return t;
}

// Camera closes the connection after one video and one audio frame.
void SendFramesAndHangUp(CameraConnection& c) {
  c.Send(VideoFrame(1000) + AudioFrame() + VideoFrame(1000 + 9000));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  NetClose(c.socket);
  c.socket = kInvalidNetSocket;
}

}  // namespace

TEST(RtspClientUrl, HostPortAndScheme) {
  std::string host;
  uint16_t port = 0;
  ASSERT_TRUE(ParseRtspUrl("rtsp://cam.local/live", host, port));
  EXPECT_EQ(host, "cam.local");
  EXPECT_EQ(port, 554);
  ASSERT_TRUE(ParseRtspUrl("rtsp://192.168.1.1:7447/abc?x=1", host, port));
  EXPECT_EQ(host, "192.168.1.1");
  EXPECT_EQ(port, 7447);
  ASSERT_TRUE(ParseRtspUrl("rtsp://10.0.0.2:7447", host, port));
  EXPECT_EQ(port, 7447);
  ASSERT_TRUE(ParseRtspUrl("rtsp://h:abc/x", host, port));
  EXPECT_EQ(port, 0);
  ASSERT_TRUE(ParseRtspUrl("rtsp://h:65537/x", host, port));
  EXPECT_EQ(port, 1);  // cut to 16 bits
  EXPECT_FALSE(ParseRtspUrl("RTSP://h/x", host, port));
  EXPECT_FALSE(ParseRtspUrl("rtsps://h:7441/x", host, port));
  EXPECT_FALSE(ParseRtspUrl("rtsp:/", host, port));
}

TEST(RtspClientUrl, ControlResolution) {
  const std::string url = "rtsp://h:7447/live/";
  EXPECT_EQ(ResolveControlUrl(url, "rtsp://other/track", true), "rtsp://other/track");
  EXPECT_EQ(ResolveControlUrl(url, "", true), url);
  EXPECT_EQ(ResolveControlUrl(url, "*", true), url);
  EXPECT_EQ(ResolveControlUrl(url, "trackID=1", true), url + "/trackID=1");
  EXPECT_EQ(ResolveControlUrl(url, "rtsp:/", true), url + "/rtsp:/");
  EXPECT_EQ(ResolveControlUrl(url, "*", false), url + "/*");
  EXPECT_EQ(ResolveControlUrl(url, "", false), url + "/");
  EXPECT_EQ(ResolveControlUrl(url, "rtsp://other/a", false), "rtsp://other/a");
}

TEST(RtspClientSession, HandshakeBytesAndMediaWithAudio) {
  CameraScript script;
  script.afterPlay = SendFramesAndHangUp;
  ScriptedCamera camera(script);
  Delivered got;
  RtspClient client;
  client.SetTimingsForTest(Quick());
  ASSERT_TRUE(client.Start(camera.Url(), got.OnAccessUnit(), got.OnState(), got.OnAudio()));
  ASSERT_TRUE(WaitFor([&] { return got.StateCount() >= 2; }));
  ASSERT_TRUE(WaitFor([&] { return camera.Connections() >= 2; }));  // reconnects after the hang-up
  client.Stop();

  const std::string url = camera.Url();
  const std::vector<std::string> r = camera.Requests(0);
  ASSERT_GE(r.size(), 4u);
  EXPECT_EQ(r[0], "DESCRIBE " + url +
                      " RTSP/1.0\r\nCSeq: 1\r\nAccept: application/sdp\r\n"
                      "User-Agent: Orbisfield-Tavik\r\n\r\n");
  EXPECT_EQ(
      r[1],
      "SETUP " + url +
          "/stream=0 RTSP/1.0\r\nCSeq: 2\r\n"
          "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\nUser-Agent: Orbisfield-Tavik\r\n\r\n");
  EXPECT_EQ(
      r[2],
      "SETUP " + url +
          "/stream=1 RTSP/1.0\r\nCSeq: 3\r\nSession: 0123ABCD\r\n"
          "Transport: RTP/AVP/TCP;unicast;interleaved=2-3\r\nUser-Agent: Orbisfield-Tavik\r\n\r\n");
  EXPECT_EQ(r[3], "PLAY " + url +
                      " RTSP/1.0\r\nCSeq: 4\r\nSession: 0123ABCD\r\nRange: npt=now-\r\n"
                      "User-Agent: Orbisfield-Tavik\r\n\r\n");
  // CSeq starts again at 1 on the new connection.
  ASSERT_TRUE(WaitFor([&] { return !camera.Requests(1).empty(); }));
  EXPECT_EQ(CSeqOf(camera.Requests(1)[0]), "1");

  std::lock_guard<std::mutex> l(got.lock);
  ASSERT_GE(got.states.size(), 2u);
  EXPECT_TRUE(got.states[0]);
  EXPECT_FALSE(got.states[1]);
  ASSERT_GE(got.units.size(), 2u);
  const std::vector<uint8_t> idr = {0, 0, 0, 1, 0x65, 0x88, 0x84};
  // The first unit starts with the SDP's SPS and PPS; the second carries only its NAL unit.
  ASSERT_GT(got.units[0].size(), idr.size() + 8);
  EXPECT_EQ(std::vector<uint8_t>(got.units[0].begin(), got.units[0].begin() + 5),
            (std::vector<uint8_t>{0, 0, 0, 1, 0x67}));
  EXPECT_TRUE(std::equal(idr.begin(), idr.end(), got.units[0].end() - 7));
  EXPECT_EQ(got.units[1], idr);
  EXPECT_EQ(got.timestamps[0], 0);
  EXPECT_EQ(got.timestamps[1], 1000000);  // 9000 ticks of 90 kHz = 0.1 s
  ASSERT_GE(got.audio.size(), 1u);
  EXPECT_EQ(got.audio[0], (std::vector<uint8_t>{0xA1, 0xA2, 0xA3}));

  EXPECT_EQ(client.GetVideoCodec(), 1);
  AudioFormat format = client.GetAudioFormat();
  EXPECT_TRUE(format.valid);
  EXPECT_EQ(format.sampleRate, 48000);
  EXPECT_EQ(format.channels, 2);
  EXPECT_EQ(format.audioSpecificConfig, (std::vector<uint8_t>{0x11, 0x90}));
}

TEST(RtspClientSession, NoAudioSetupWithoutCallbackOrAacTrack) {
  for (int variant = 0; variant < 2; ++variant) {
    CameraScript script;
    script.sessionHeader = "session:0123ABCD;timeout=60\r\n";  // lower case, no space
    if (variant == 1) script.sdp = kSdpH265Only;
    ScriptedCamera camera(script);
    Delivered got;
    RtspClient client;
    client.SetTimingsForTest(Quick());
    // Variant 0: AAC announced but no audio callback. Variant 1: callback but no AAC track.
    ASSERT_TRUE(client.Start(camera.Url(), got.OnAccessUnit(), got.OnState(),
                             variant == 0 ? AudioFrameCallback() : got.OnAudio()));
    ASSERT_TRUE(WaitFor([&] { return got.StateCount() >= 1; }));
    const std::vector<std::string> r = camera.Requests(0);
    ASSERT_EQ(r.size(), 3u);
    const std::string videoUri =
        variant == 0 ? camera.Url() + "/stream=0" : "rtsp://elsewhere/track1";
    EXPECT_EQ(r[1].substr(0, r[1].find(" RTSP/1.0")), "SETUP " + videoUri);
    EXPECT_EQ(r[2], "PLAY " + camera.Url() +
                        " RTSP/1.0\r\nCSeq: 3\r\nSession: 0123ABCD\r\n"
                        "Range: npt=now-\r\nUser-Agent: Orbisfield-Tavik\r\n\r\n");
    EXPECT_EQ(client.GetVideoCodec(), variant == 0 ? 1 : 2);
    // The format is announced by the SDP, whether or not audio is taken.
    EXPECT_EQ(client.GetAudioFormat().valid, variant == 0);
    client.Stop();
  }
}

TEST(RtspClientSession, RefusedStepsFailTheAttemptExceptAudio) {
  for (const char* step : {"DESCRIBE", "SETUP", "PLAY"}) {
    SCOPED_TRACE(step);
    CameraScript script;
    script.failMethod = step;
    ScriptedCamera camera(script);
    Delivered got;
    RtspClient client;
    client.SetTimingsForTest(Quick());
    ASSERT_TRUE(client.Start(camera.Url(), got.OnAccessUnit(), got.OnState(), got.OnAudio()));
    // The failed attempt is retried on a new connection, with no callback at all.
    ASSERT_TRUE(WaitFor([&] { return camera.Requests(1).size() >= 1; }));
    client.Stop();
    EXPECT_EQ(got.StateCount(), 0u);
    EXPECT_EQ(Method(camera.Requests(0).back()), step);
  }
  // A refused audio SETUP leaves the audio off; the session goes on without it.
  CameraScript script;
  script.failMethod = "AUDIOSETUP";
  script.afterPlay = [](CameraConnection& c) { c.Send(AudioFrame() + VideoFrame(5)); };
  ScriptedCamera camera(script);
  Delivered got;
  RtspClient client;
  client.SetTimingsForTest(Quick());
  ASSERT_TRUE(client.Start(camera.Url(), got.OnAccessUnit(), got.OnState(), got.OnAudio()));
  ASSERT_TRUE(WaitFor([&] { return got.UnitCount() >= 1; }));
  client.Stop();
  EXPECT_EQ(got.AudioCount(), 0u);
  const std::vector<std::string> r = camera.Requests(0);
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(Method(r[3]), "PLAY");
  EXPECT_EQ(CSeqOf(r[3]), "4");
}

TEST(RtspClientSession, ReconnectsAfterTheFixedDelay) {
  CameraScript script;
  script.afterPlay = SendFramesAndHangUp;
  ScriptedCamera camera(script);
  Delivered got;
  RtspClient client;
  RtspTimings timings = Quick();
  timings.reconnectDelayMs = 800;
  client.SetTimingsForTest(timings);
  ASSERT_TRUE(client.Start(camera.Url(), got.OnAccessUnit(), got.OnState(), nullptr));
  ASSERT_TRUE(WaitFor([&] { return got.StateCount() >= 4; }, 20000));
  client.Stop();
  const int64_t gap = std::chrono::duration_cast<std::chrono::milliseconds>(camera.AcceptTime(1) -
                                                                            camera.CloseTime(0))
                          .count();
  EXPECT_GE(gap, 700);
  std::lock_guard<std::mutex> l(got.lock);
  EXPECT_EQ(got.states[0], true);
  EXPECT_EQ(got.states[1], false);
  EXPECT_EQ(got.states[2], true);
  EXPECT_EQ(got.states[3], false);
  // Each connection starts its timestamps and parameter sets afresh.
  EXPECT_EQ(got.timestamps[2], 0);
  EXPECT_EQ(got.units[2][4], 0x67);
}

TEST(RtspClientSession, SilentCameraEndsByReceiveTimeout) {
  CameraScript script;  // after PLAY the camera says nothing more
  ScriptedCamera camera(script);
  Delivered got;
  RtspClient client;
  RtspTimings timings = Quick();
  timings.socketTimeoutMs = 700;
  client.SetTimingsForTest(timings);
  ASSERT_TRUE(client.Start(camera.Url(), got.OnAccessUnit(), got.OnState(), nullptr));
  ASSERT_TRUE(WaitFor([&] { return got.StateCount() >= 1; }));
  const auto up = Clock::now();
  ASSERT_TRUE(WaitFor([&] { return got.StateCount() >= 2; }));
  EXPECT_GE(MsSince(up), 500);
  ASSERT_TRUE(WaitFor([&] { return camera.Connections() >= 2; }));
  client.Stop();
  // No keep-alive went out on a silent connection (DESCRIBE, SETUP, PLAY only).
  EXPECT_EQ(camera.Requests(0).size(), 3u);
}

TEST(RtspClientSession, KeepAliveWhileStreamingAndAnswerBodiesSkipped) {
  CameraScript script;
  // The OPTIONS answers carry a body that looks like an interleaved frame.
  script.optionsBody = VideoFrame(77);
  script.afterOptions = VideoFrame(999000);
  script.afterPlay = [](CameraConnection& c) {
    for (int i = 0; i < 30; ++i) {
      if (!c.Send(VideoFrame(static_cast<uint32_t>(i) * 3000))) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(40));
    }
  };
  ScriptedCamera camera(script);
  Delivered got;
  RtspClient client;
  RtspTimings timings = Quick();
  timings.keepAliveMs = 300;
  client.SetTimingsForTest(timings);
  ASSERT_TRUE(client.Start(camera.Url(), got.OnAccessUnit(), got.OnState(), nullptr));
  // The answers are read after the 30 frames; each is followed by one more frame.
  const int64_t marker = int64_t{999000} * 1000 / 9;
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> l(got.lock);
    return !got.timestamps.empty() && got.timestamps.back() == marker;
  }));
  client.Stop();
  const std::vector<std::string> r = camera.Requests(0);
  ASSERT_GE(r.size(), 4u);
  EXPECT_EQ(r[3], "OPTIONS " + camera.Url() + " RTSP/1.0\r\nCSeq: 4\r\nSession: 0123ABCD\r\n\r\n");
  if (r.size() > 4) EXPECT_EQ(CSeqOf(r[4]), "5");
  std::lock_guard<std::mutex> l(got.lock);
  EXPECT_GE(got.units.size(), 31u);
  for (int64_t ts : got.timestamps)
    EXPECT_NE(ts, int64_t{77} * 1000 / 9);  // the body, taken for media
}

TEST(RtspClientSession, StopReturnsQuicklyWhileWaitingAndWhileStreaming) {
  {
    CameraScript script;
    script.failMethod = "DESCRIBE";
    ScriptedCamera camera(script);
    RtspClient client;  // product timings: 3 s between attempts
    ASSERT_TRUE(client.Start(camera.Url(), nullptr, nullptr, nullptr));
    ASSERT_TRUE(WaitFor([&] { return camera.Requests(0).size() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto t = Clock::now();
    client.Stop();
    EXPECT_LT(MsSince(t), 1000);
    client.Stop();  // idempotent
  }
  {
    CameraScript script;  // silent after PLAY; the product's 10 s receive time-out
    ScriptedCamera camera(script);
    Delivered got;
    RtspClient client;
    ASSERT_TRUE(client.Start(camera.Url(), got.OnAccessUnit(), got.OnState(), nullptr));
    ASSERT_TRUE(WaitFor([&] { return got.StateCount() == 1; }));
    const auto t = Clock::now();
    client.Stop();
    EXPECT_LT(MsSince(t), 2000);
    std::lock_guard<std::mutex> l(got.lock);
    EXPECT_EQ(got.states, (std::vector<bool>{true, false}));
  }
}

TEST(RtspClientSession, LongUrlIsSentWhole) {
  CameraScript script;
  ScriptedCamera camera(script);
  Delivered got;
  RtspClient client;
  client.SetTimingsForTest(Quick());
  const std::string url =
      "rtsp://127.0.0.1:" + std::to_string(camera.Port()) + "/" + std::string(2000, 'a');
  ASSERT_TRUE(client.Start(url, nullptr, got.OnState(), nullptr));
  ASSERT_TRUE(WaitFor([&] { return got.StateCount() >= 1; }));
  client.Stop();
  const std::vector<std::string> r = camera.Requests(0);
  ASSERT_GE(r.size(), 3u);
  EXPECT_EQ(r[0], "DESCRIBE " + url +
                      " RTSP/1.0\r\nCSeq: 1\r\nAccept: application/sdp\r\n"
                      "User-Agent: Orbisfield-Tavik\r\n\r\n");
  EXPECT_EQ(Method(r[2]), "PLAY");
}

TEST(RtspClientSession, UnreachableCameraRetriesSilentlyAndStops) {
  uint16_t port = 0;
  NetStartup();
  NetSocket probe = NetListenLoopback(0, &port);
  NetClose(probe);  // nothing listens there any more: connect is refused
  Delivered got;
  RtspClient client;
  client.SetTimingsForTest(Quick());
  ASSERT_TRUE(client.Start("rtsp://127.0.0.1:" + std::to_string(port) + "/x", got.OnAccessUnit(),
                           got.OnState(), got.OnAudio()));
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  client.Stop();
  EXPECT_EQ(got.StateCount(), 0u);
  EXPECT_EQ(client.GetVideoCodec(), 0);
  EXPECT_FALSE(client.GetAudioFormat().valid);
}

TEST(RtspClientSession, EndlessDescribeHeadersFailTheAttemptAtOnce) {
  // The DESCRIBE answer's header lines never end, and keep coming as fast as
  // they are read, so no receive time-out fires: the client refuses the answer
  // at its header bound, hangs up and tries again, instead of collecting lines
  // until memory runs out.
  constexpr size_t kOffered = size_t{32} << 20;
  auto sent = std::make_shared<std::atomic<size_t>>(0);
  auto hungUp = std::make_shared<std::atomic<bool>>(false);
  CameraScript script;
  script.describe = [sent, hungUp](CameraConnection& c, const std::string& cseq) {
    if (!c.Send("RTSP/1.0 200 OK\r\nCSeq: " + cseq + "\r\n")) return;
    std::string lines;
    for (int i = 0; i < 64; ++i) lines += "X-Padding: " + std::string(987, 'a') + "\r\n";
    while (sent->load() < kOffered) {
      if (!c.Send(lines)) {
        hungUp->store(true);
        return;
      }
      *sent += lines.size();
    }
  };
  ScriptedCamera camera(script);
  Delivered got;
  RtspClient client;
  client.SetTimingsForTest(Quick());
  ASSERT_TRUE(client.Start(camera.Url(), got.OnAccessUnit(), got.OnState(), nullptr));
  ASSERT_TRUE(WaitFor([&] { return camera.Connections() >= 2; }));
  client.Stop();
  EXPECT_TRUE(hungUp->load());
  EXPECT_LT(sent->load(), kOffered / 2);
  EXPECT_EQ(got.StateCount(), 0u);
  EXPECT_EQ(Method(camera.Requests(0).back()), "DESCRIBE");
}

TEST(RtspClientSession, CameraGivenByHostName) {
  // "localhost" is no dotted address: it goes through name resolution.
  CameraScript script;
  script.afterPlay = SendFramesAndHangUp;
  ScriptedCamera camera(script);
  Delivered got;
  RtspClient client;
  client.SetTimingsForTest(Quick());
  const std::string url = camera.Url("localhost");
  ASSERT_TRUE(client.Start(url, got.OnAccessUnit(), got.OnState(), nullptr));
  ASSERT_TRUE(WaitFor([&] { return got.StateCount() >= 2 && got.UnitCount() >= 2; }));
  client.Stop();
  const std::vector<std::string> r = camera.Requests(0);
  ASSERT_GE(r.size(), 3u);
  // The URL goes out as it was given, host name and all.
  EXPECT_EQ(r[0], "DESCRIBE " + url +
                      " RTSP/1.0\r\nCSeq: 1\r\nAccept: application/sdp\r\n"
                      "User-Agent: Orbisfield-Tavik\r\n\r\n");
  EXPECT_EQ(r[2].substr(0, r[2].find(" RTSP/1.0")), "PLAY " + url);
  std::lock_guard<std::mutex> l(got.lock);
  EXPECT_TRUE(got.states[0]);
}
