// Added latency of the RTSP client: a scripted camera on 127.0.0.1 in this
// process answers DESCRIBE / SETUP / PLAY and then sends 1080p-sized H.264
// access units as FU-A fragments at a steady frame rate. For every access unit
// it notes the time just before the send() of the unit's final RTP packet; the
// client's onAccessUnit notes when it is entered and when it returns (it hands
// the unit to a locked queue as a tile does). Prints p50 / p99 / max of both
// differences in microseconds and, as the reference, the same figure for a bare
// receive loop fed the same bytes; RESULT lines for tools/bench.sh.
//
//   latency_bench [--seconds 20] [--fps 30]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "rtsp/net_socket.h"
#include "rtsp/rtsp_client.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

constexpr uint32_t kClockRate = 90000;

// 127.0.0.1 in network byte order.
uint32_t LoopbackAddress() {
  const uint8_t bytes[4] = {127, 0, 0, 1};
  uint32_t value = 0;
  std::memcpy(&value, bytes, 4);
  return value;
}
constexpr size_t kFragmentBody = 1398;  // 1400-byte FU-A payloads

struct Run {
  int fps = 30;
  int units = 600;
  std::vector<int64_t> sentNs, enteredNs, returnedNs;
  std::atomic<int> received{0};
  std::atomic<bool> serverDone{false};
  bool handshake = true;  // false: media at once, for the bare receiver
  // What a tile does with a unit: a locked append to its queue.
  std::mutex queueLock;
  std::deque<std::vector<uint8_t>> queue;
};

bool SendAllBytes(NetSocket s, const uint8_t* data, size_t size) {
  while (size > 0) {
    const long long n = NetSend(s, data, size);
    if (n < 1) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool SendText(NetSocket s, const std::string& text) {
  return SendAllBytes(s, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// Reads one request (up to its empty line; these requests carry no body) and
// returns its CSeq value, or -1 when the connection ended.
int ReadRequest(NetSocket s, std::string& pending, std::string& method) {
  size_t end;
  while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
    uint8_t buffer[2048];
    const long long n = NetReceive(s, buffer, sizeof buffer);
    if (n < 1) return -1;
    pending.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(n));
  }
  const std::string request = pending.substr(0, end);
  pending.erase(0, end + 4);
  method = request.substr(0, request.find(' '));
  const size_t cseq = request.find("CSeq:");
  return cseq == std::string::npos ? 0 : std::atoi(request.c_str() + cseq + 5);
}

void AppendRtp(std::vector<uint8_t>& out, const uint8_t* payload, size_t size, bool marker,
               uint16_t sequence, uint32_t timestamp) {
  const size_t length = 12 + size;
  const uint8_t header[16] = {'$',
                              0,
                              static_cast<uint8_t>(length >> 8),
                              static_cast<uint8_t>(length),
                              0x80,
                              static_cast<uint8_t>(96 | (marker ? 0x80 : 0)),
                              static_cast<uint8_t>(sequence >> 8),
                              static_cast<uint8_t>(sequence),
                              static_cast<uint8_t>(timestamp >> 24),
                              static_cast<uint8_t>(timestamp >> 16),
                              static_cast<uint8_t>(timestamp >> 8),
                              static_cast<uint8_t>(timestamp),
                              1,
                              2,
                              3,
                              4};
  out.insert(out.end(), header, header + 16);
  out.insert(out.end(), payload, payload + size);
}

void ServeCamera(NetSocket listener, Run& run) {
  NetSocket s = NetAccept(listener);
  if (s == kInvalidNetSocket) return;
  NetSetNoDelay(s);
  std::string pending, method;
  if (!run.handshake) method = "PLAY";
  const std::string sdp =
      "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=bench\r\nt=0 0\r\nm=video 0 RTP/AVP 96\r\n"
      "a=rtpmap:96 H264/90000\r\na=fmtp:96 packetization-mode=1;"
      "sprop-parameter-sets=Z2QAKKzZQHgCJ+XARAAAAwAEAAADAPA8YMZY,aOvjyyLA\r\na=control:stream="
      "0\r\n";
  while (method != "PLAY") {
    const int cseq = ReadRequest(s, pending, method);
    if (cseq < 0) break;
    std::string answer = "RTSP/1.0 200 OK\r\nCSeq: " + std::to_string(cseq) + "\r\n";
    if (method == "DESCRIBE") {
      answer += "Content-Type: application/sdp\r\nContent-Length: " + std::to_string(sdp.size()) +
                "\r\n\r\n" + sdp;
    } else if (method == "SETUP") {
      answer += "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\nSession: 42;timeout=60\r\n\r\n";
    } else {
      answer += "Session: 42\r\n\r\n";
    }
    if (!SendText(s, answer)) break;
  }

  // Pictures: an IDR of 160 kB each second, P pictures of 20 kB.
  uint32_t seed = 1;
  uint16_t sequence = 0;
  std::vector<uint8_t> nal, fragment(kFragmentBody + 2), packets;
  const auto start = Clock::now();
  for (int i = 0; i < run.units; ++i) {
    std::this_thread::sleep_until(start + std::chrono::microseconds(1000000LL * i / run.fps));
    const bool idr = i % run.fps == 0;
    nal.resize(idr ? 160000 : 20000);
    nal[0] = idr ? 0x65 : 0x41;
    for (size_t k = 1; k < nal.size(); ++k) {
      seed = seed * 1664525u + 1013904223u;
      nal[k] = static_cast<uint8_t>(seed >> 24);
    }
    const uint32_t timestamp =
        kClockRate / static_cast<uint32_t>(run.fps) * static_cast<uint32_t>(i);
    bool failed = false;
    for (size_t offset = 1; offset < nal.size() && !failed; offset += kFragmentBody) {
      const size_t n = std::min(kFragmentBody, nal.size() - offset);
      const bool first = offset == 1, last = offset + n == nal.size();
      fragment[0] = static_cast<uint8_t>((nal[0] & 0xE0) | 28);
      fragment[1] = static_cast<uint8_t>((first ? 0x80 : 0) | (last ? 0x40 : 0) | (nal[0] & 0x1F));
      std::memcpy(fragment.data() + 2, nal.data() + offset, n);
      packets.clear();
      AppendRtp(packets, fragment.data(), n + 2, last, sequence++, timestamp);
      // One send per packet, as a camera sends them.
      if (last) run.sentNs[static_cast<size_t>(i)] = NowNs();
      failed = !SendAllBytes(s, packets.data(), packets.size());
    }
    if (failed) break;
  }
  run.serverDone.store(true);
  // Hold the connection until the client closes it.
  uint8_t sink[4096];
  while (NetReceive(s, sink, sizeof sink) > 0) {}
  NetClose(s);
}

struct Percentiles {
  double p50 = 0, p99 = 0, max = 0;
};

Percentiles Summarize(std::vector<double> values) {
  Percentiles p;
  if (values.empty()) return p;
  std::sort(values.begin(), values.end());
  p.p50 = values[values.size() / 2];
  p.p99 = values[std::min(values.size() - 1, values.size() * 99 / 100)];
  p.max = values.back();
  return p;
}

// The reference: the same camera and bytes read by a bare receive loop that
// only finds the frame boundaries and the marker bit (no reader, no
// depacketizer, no callback). What it shows is the cost of loopback TCP and of
// waking a thread on this machine, which any receiver pays.
std::vector<double> MeasureBareReceiver(int units, int fps) {
  Run run;
  run.fps = fps;
  run.units = units;
  run.handshake = false;
  run.sentNs.assign(static_cast<size_t>(units), 0);
  run.enteredNs.assign(static_cast<size_t>(units), 0);
  uint16_t port = 0;
  NetSocket listener = NetListenLoopback(0, &port);
  std::vector<double> delays;
  if (listener == kInvalidNetSocket) return delays;
  std::thread server(ServeCamera, listener, std::ref(run));
  NetSocket s = NetCreateTcpSocket();
  if (NetConnect(s, LoopbackAddress(), port)) {
    std::vector<uint8_t> buffer(1 << 20);
    size_t head = 0, tail = 0;
    int unit = 0;
    while (unit < units) {
      if (buffer.size() - tail < 65536) {
        std::memmove(buffer.data(), buffer.data() + head, tail - head);
        tail -= head;
        head = 0;
      }
      const long long n = NetReceive(s, buffer.data() + tail, 65536);
      if (n < 1) break;
      tail += static_cast<size_t>(n);
      while (tail - head >= 4) {
        const size_t length = size_t{buffer[head + 2]} << 8 | buffer[head + 3];
        if (tail - head < 4 + length) break;
        if (length >= 12 && (buffer[head + 5] & 0x80) != 0) {
          run.enteredNs[static_cast<size_t>(unit++)] = NowNs();
        }
        head += 4 + length;
      }
    }
  }
  NetClose(s);
  server.join();
  NetClose(listener);
  for (int i = fps; i < units; ++i) {
    const size_t k = static_cast<size_t>(i);
    if (run.sentNs[k] != 0 && run.enteredNs[k] != 0) {
      delays.push_back(static_cast<double>(run.enteredNs[k] - run.sentNs[k]) / 1000.0);
    }
  }
  return delays;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 20;
  Run run;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atof(argv[i + 1]);
    if (std::strcmp(argv[i], "--fps") == 0) run.fps = std::max(1, std::atoi(argv[i + 1]));
  }
  run.units = std::max(20, static_cast<int>(seconds * run.fps));
  run.sentNs.assign(static_cast<size_t>(run.units), 0);
  run.enteredNs.assign(static_cast<size_t>(run.units), 0);
  run.returnedNs.assign(static_cast<size_t>(run.units), 0);

  NetStartup();
  uint16_t port = 0;
  NetSocket listener = NetListenLoopback(0, &port);
  if (listener == kInvalidNetSocket) {
    std::fprintf(stderr, "latency_bench: cannot listen on 127.0.0.1\n");
    return 1;
  }
  std::thread server(ServeCamera, listener, std::ref(run));

  const int64_t ticksPer100ns = 10000000LL / run.fps;  // one picture in 100-ns units
  RtspClient client;
  client.Start(
      "rtsp://127.0.0.1:" + std::to_string(port) + "/cam",
      [&run, ticksPer100ns](std::vector<uint8_t>&& unit, int64_t time) {
        const int64_t entered = NowNs();
        const int64_t index = (time + ticksPer100ns / 2) / ticksPer100ns;
        {
          std::lock_guard<std::mutex> lock(run.queueLock);
          run.queue.push_back(std::move(unit));
          if (run.queue.size() > 8) run.queue.pop_front();
        }
        if (index >= 0 && index < run.units) {
          run.enteredNs[static_cast<size_t>(index)] = entered;
          run.returnedNs[static_cast<size_t>(index)] = NowNs();
        }
        run.received.fetch_add(1);
      },
      nullptr, nullptr);

  const auto deadline = Clock::now() + std::chrono::duration<double>(seconds + 30);
  while (Clock::now() < deadline && (!run.serverDone.load() || run.received.load() < run.units)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  client.Stop();
  NetClose(listener);
  server.join();

  // The first second is a warm-up (connection, first allocations).
  std::vector<double> toEntry, toReturn;
  for (int i = run.fps; i < run.units; ++i) {
    const size_t k = static_cast<size_t>(i);
    if (run.sentNs[k] == 0 || run.enteredNs[k] == 0) continue;
    toEntry.push_back(static_cast<double>(run.enteredNs[k] - run.sentNs[k]) / 1000.0);
    toReturn.push_back(static_cast<double>(run.returnedNs[k] - run.sentNs[k]) / 1000.0);
  }
  const Percentiles entry = Summarize(toEntry), done = Summarize(toReturn);
  if (std::getenv("LATENCY_DUMP")) {
    for (int i = 0; i < run.units; ++i) {
      const size_t k = static_cast<size_t>(i);
      std::fprintf(stderr, "%d %lld\n", i,
                   static_cast<long long>(run.returnedNs[k] - run.sentNs[k]) / 1000);
    }
  }
  std::vector<double> idr, p;
  for (int i = run.fps; i < run.units; ++i) {
    const size_t k = static_cast<size_t>(i);
    if (run.sentNs[k] == 0 || run.enteredNs[k] == 0) continue;
    (i % run.fps == 0 ? idr : p)
        .push_back(static_cast<double>(run.returnedNs[k] - run.sentNs[k]) / 1000.0);
  }
  const Percentiles idrOnly = Summarize(idr), pOnly = Summarize(p);
  std::printf("access units measured: %zu of %d (%d fps, 20 kB P / 160 kB IDR, 1400-byte FU-A)\n",
              toEntry.size(), run.units, run.fps);
  std::printf("final send -> onAccessUnit entered:  p50 %8.1f us  p99 %8.1f us  max %8.1f us\n",
              entry.p50, entry.p99, entry.max);
  std::printf("final send -> onAccessUnit returned: p50 %8.1f us  p99 %8.1f us  max %8.1f us\n",
              done.p50, done.p99, done.max);
  std::printf(
      "  IDR pictures only (%zu): p50 %8.1f us  max %8.1f us; P pictures (%zu): p50 %8.1f us  p99 "
      "%8.1f us\n",
      idr.size(), idrOnly.p50, idrOnly.max, p.size(), pOnly.p50, pOnly.p99);
  const Percentiles floor = Summarize(MeasureBareReceiver(run.units, run.fps));
  std::printf(
      "reference, a bare recv loop on the same bytes:  p50 %8.1f us  p99 %8.1f us  max %8.1f us\n",
      floor.p50, floor.p99, floor.max);
  std::printf("RESULT wakeup_p50_us %.1f\nRESULT wakeup_p99_us %.1f\n", floor.p50, floor.p99);
  std::printf("RESULT latency_p50_us %.1f\nRESULT latency_p99_us %.1f\nRESULT latency_units %zu\n",
              done.p50, done.p99, toEntry.size());
  return toEntry.empty() ? 1 : 0;
}
