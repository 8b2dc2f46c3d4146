#include "rtsp/rtsp_client.h"

#include <algorithm>
#include <chrono>
#include <system_error>

#include "rtsp/sdp.h"
#include "rtsp/stream_reader.h"

namespace {

constexpr char kUserAgent[] = "User-Agent: Orbisfield-Tavik\r\n";

uint64_t NowMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

// Sends one request and reads its response; true only for status 200.
bool Exchange(ByteStream& stream, StreamReader& reader, const std::string& request,
              RtspResponse& response) {
  if (!SendAll(stream, request)) return false;
  if (!ReadResponse(reader, response)) return false;
  return response.status == 200;
}

}  // namespace

bool ParseRtspUrl(const std::string& url, std::string& host, uint16_t& port) {
  static const std::string kScheme = "rtsp://";
  if (url.compare(0, kScheme.size(), kScheme) != 0) return false;
  std::string rest = url.substr(kScheme.size());
  std::string hostPort = rest.substr(0, rest.find('/'));
  size_t colon = hostPort.find(':');
  if (colon == std::string::npos) {
    host = hostPort;
    port = 554;
    return true;
  }
  host = hostPort.substr(0, colon);
  // Like a decimal integer conversion: optional sign, leading digits, 0 without digits;
  // the result is cut to 16 bits.
  size_t i = colon + 1;
  bool negative = false;
  if (i < hostPort.size() && (hostPort[i] == '+' || hostPort[i] == '-'))
    negative = hostPort[i++] == '-';
  uint32_t value = 0;
  for (; i < hostPort.size() && hostPort[i] >= '0' && hostPort[i] <= '9'; ++i)
    value = value * 10u + static_cast<uint32_t>(hostPort[i] - '0');
  port = static_cast<uint16_t>(negative ? 0u - value : value);
  return true;
}

std::string ResolveControlUrl(const std::string& url, const std::string& control, bool video) {
  if (control.compare(0, 7, "rtsp://") == 0) return control;
  if (video && (control.empty() || control == "*")) return url;
  return url + "/" + control;
}

RtspClient::~RtspClient() {
  Stop();
}

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
    return false;  // no thread: the client stays un-started and Stop has nothing to join
  }
  return true;
}

void RtspClient::Stop() {
  stopRequested.store(true);
  CloseSocket();  // a blocked connect, send or recv on the session thread fails at once
  if (worker.joinable()) worker.join();
}

void RtspClient::SetTimingsForTest(const RtspTimings& timings) {
  const RtspTimings product;
  timings_.socketTimeoutMs = std::clamp(timings.socketTimeoutMs, 1, product.socketTimeoutMs);
  timings_.keepAliveMs = std::clamp(timings.keepAliveMs, 0, product.keepAliveMs);
  timings_.reconnectDelayMs = std::clamp(timings.reconnectDelayMs, 0, product.reconnectDelayMs);
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

// The socket field owns the handle: whoever takes a valid handle out closes it.
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
  std::string host;
  uint16_t port = 0;
  if (!ParseRtspUrl(url, host, port)) return;

  NetSocket s = NetCreateTcpSocket();
  if (s == kInvalidNetSocket) return;
  socket.exchange(s);
  // Stop sets its flag before it empties the field: if it ran just before the
  // exchange above, the flag is visible here and the attempt ends at once.
  if (stopRequested.load()) {
    CloseSocket();
    return;
  }
  NetSetTimeouts(s, timings_.socketTimeoutMs);
  NetSetNoDelay(s);
  uint32_t address = 0;
  if (!NetResolveIpv4(host, &address)) {
    CloseSocket();
    return;
  }
  // A Stop during the name resolution has taken the handle out and closed it; the
  // number may already belong to another connection, so it is not touched again.
  if (socket.load() != s || !NetConnect(s, address, port)) {
    CloseSocket();
    return;
  }

  SocketByteStream stream(s, &socket);
  StreamReader reader;
  reader.stream = &stream;
  RtspResponse response;
  int cseq = 1;

  // DESCRIBE: the body of the answer is the SDP.
  std::string request = "DESCRIBE " + url + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq++) +
                        "\r\nAccept: application/sdp\r\n" + kUserAgent + "\r\n";
  SdpInfo sdp;
  if (!Exchange(stream, reader, request, response) || !ParseSdp(response.body, sdp)) {
    CloseSocket();
    return;
  }
  videoCodec.exchange(sdp.codec);
  if (sdp.hasAudio && !sdp.audioControl.empty() && sdp.audioClockRate >= 1) {
    std::lock_guard<std::mutex> lock(audioLock);
    audioValid = true;
    audioSampleRate = sdp.audioClockRate;
    audioChannels = sdp.audioChannels > 0 ? sdp.audioChannels : 1;
    audioSpecificConfig = sdp.audioSpecificConfig;
  }

  // Video SETUP; the channels are the ones asked for (0-1 video, 2-3 audio).
  request = "SETUP " + ResolveControlUrl(url, sdp.videoControl, true) +
            " RTSP/1.0\r\nCSeq: " + std::to_string(cseq++) +
            "\r\nTransport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n" + kUserAgent + "\r\n";
  if (!Exchange(stream, reader, request, response)) {
    CloseSocket();
    return;
  }
  std::string sessionId = FindHeaderValue(response.headers, "Session");
  sessionId = sessionId.substr(0, sessionId.find(';'));

  bool audioReady = false;
  if (onAudioFrame && sdp.hasAudio && !sdp.audioControl.empty()) {
    request = "SETUP " + ResolveControlUrl(url, sdp.audioControl, false) +
              " RTSP/1.0\r\nCSeq: " + std::to_string(cseq++) + "\r\nSession: " + sessionId +
              "\r\nTransport: RTP/AVP/TCP;unicast;interleaved=2-3\r\n" + kUserAgent + "\r\n";
    audioReady = Exchange(stream, reader, request, response);
  }

  request = "PLAY " + url + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq++) +
            "\r\nSession: " + sessionId + "\r\nRange: npt=now-\r\n" + kUserAgent + "\r\n";
  if (!Exchange(stream, reader, request, response)) {
    CloseSocket();
    return;
  }

  if (onConnectionState) onConnectionState(true);
  uint64_t lastKeepAlive = NowMs();
  MediaState media;
  ResetMediaState(media, sdp, audioReady);
  const uint64_t keepAliveMs = static_cast<uint64_t>(timings_.keepAliveMs);
  while (!stopRequested.load()) {
    uint64_t now = NowMs();
    if (now - lastKeepAlive > keepAliveMs) {
      lastKeepAlive = now;
      request = "OPTIONS " + url + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq++) +
                "\r\nSession: " + sessionId + "\r\n\r\n";
      if (!SendAll(stream, request)) break;  // the answer is skipped like any other message
    }
    InterleavedFrame frame;
    const StreamItem item = ReadStreamItem(reader, frame);
    if (item == StreamItem::kMessage) continue;
    if (item != StreamItem::kFrame) break;
    HandleInterleavedFrame(media, frame.channel, frame.data, frame.length, onAccessUnit,
                           onAudioFrame);
  }

  if (onConnectionState) onConnectionState(false);
  CloseSocket();
}
